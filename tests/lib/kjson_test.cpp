// kjson: the check that decides whether a text is written as it stands
// between quotes, eight bytes at a time, against its byte-wise definition.
#include <gtest/gtest.h>

#include <string>

#include "kjson.h"

namespace {

bool plainByte(int c) { return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\'; }

TEST(Kjson, PlainTextIsPrintableAsciiWithoutQuoteOrBackslashAtAnyPosition) {
  // Every byte value at every place of texts around the word size.
  for (size_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 24u})
    for (size_t at = 0; at < length; ++at)
      for (int c = 0; c < 256; ++c) {
        std::string text(length, 'a');
        text[at] = static_cast<char>(c);
        ASSERT_EQ(plainJsonText(text), plainByte(c)) << "byte " << c << " at " << at << " of " << length;
      }
  // Every plain byte, next to every other, in every alignment.
  std::string all;
  for (int c = 0x20; c <= 0x7E; ++c)
    if (plainByte(c)) all += static_cast<char>(c);
  for (size_t from = 0; from < 8; ++from) EXPECT_TRUE(plainJsonText(all.substr(from) + all));
  EXPECT_TRUE(plainJsonText(""));
}

}  // namespace
