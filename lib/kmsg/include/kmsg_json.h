// kmsg_json: key messages as one-line JSON texts, the form keyd-sim prints
// and reads, so people and test tables can write and read key messages:
//   {"id":1,"seq":5,"tags":[{"id":19,"type":"bytes","value":"0102030405"}]}
// "type" is one of "u8", "u16", "u32", "str", "bytes"; integers are JSON
// numbers, str a JSON string (bytes that are not UTF-8 show as U+FFFD),
// bytes lower-case hex. {"raw":"HEX"} stands for exactly those bytes.
//
// Ownership: every result is a new value owned by the caller.
// Threads: no shared state beyond the codec's sequence counter; any thread.
#ifndef KMSG_KMSG_JSON_H
#define KMSG_KMSG_JSON_H

#include <string>
#include <string_view>
#include <vector>

#include "kmsg.h"

namespace kmsgjson {

using Bytes = std::vector<unsigned char>;

// The message as one compact JSON line (no newline).
std::string toJson(const KMsg& msg);
// A datagram as keyd-sim prints it: the message's line, or
// {"error":"invalid key message","hex":"..."} when it does not parse.
std::string datagramToJson(const unsigned char* data, size_t size);

// The datagrams one line asks for: a message that fits into one datagram
// whole, a longer one in segments of at most KMSG_SEGMENT_SIZE bytes, or
// the raw bytes. "seq" is the sequence number, 0..127 (bit 7 comes only
// from segmentation); without it a line that is not refused takes the
// codec's next number, and only then. `error` is empty on success, else
// says what is wrong with the line.
struct Datagrams {
  std::vector<Bytes> datagrams;
  std::string error;
};
Datagrams fromJson(std::string_view line);

// The datagrams of a message: whole when it fits into KMSG_SEGMENT_SIZE
// bytes, else its segments (made anew in msg); none when it cannot be sent.
std::vector<Bytes> datagramsOf(KMsg& msg);

// The one datagram of a line that must make exactly one (test tables,
// benchmarks); empty when the line is refused or makes several.
Bytes datagramOf(std::string_view line);

}  // namespace kmsgjson

#endif  // KMSG_KMSG_JSON_H
