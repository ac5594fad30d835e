// The bridge's texts about commands: a peer's text made fit for a log line,
// and the outcome documents of the command path (what the bridge writes
// itself, and what it reads from the translator to match a command).
//
// Ownership: every function returns values. Threads: no shared state; any.
#ifndef KEYD_BRIDGE_TEXTS_H
#define KEYD_BRIDGE_TEXTS_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The text with every control character escaped as in a JSON string (a line
// end as \n, others as \u00XX), so a peer's text stays on one log line; a
// text without control characters comes back as it is (cKlog writes every
// line so; this is for texts that go elsewhere too).
std::string shown(std::string_view text);

// What an outcome document says of its command: the command's "command"
// member ("-" when there is none), the application id it carried on the bus,
// and its "RFID" and "state" members when they were strings.
struct CommandFacts {
  std::string command = "-";
  std::string app;
  std::optional<std::string> rfid, state;
};

// The facts of a command text (a payload that is valid UTF-8; `read` false
// leaves the text unread: "-").
CommandFacts factsOf(std::string_view payload, const std::string& app, bool read = true);
// The facts an outcome document names, or nullopt when it is not one.
std::optional<CommandFacts> factsOfOutcome(std::string_view document);
// Whether a translator's outcome names this command: the same command and
// application id, and the same "rfid" and "state" where the outcome has them.
bool names(const CommandFacts& outcome, const CommandFacts& command);

// {"command": ..., "app": ..., ["rfid": ..., "state": ...,] "outcome": OUTCOME
// [, "reason": REASON]} as json_dumps with flags 0 writes it.
std::string outcomeDocument(const CommandFacts& facts, const char* outcome,
                            const char* reason = nullptr);
// The same with "outcome": "queued" and "place": N.
std::string queuedDocument(const CommandFacts& facts, size_t place);

#endif  // KEYD_BRIDGE_TEXTS_H
