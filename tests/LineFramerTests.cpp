#include "LineFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> drain(LineFramer& framer) {
  std::vector<std::string> lines;
  std::string_view line;
  while (framer.nextLine(line)) lines.emplace_back(line);
  framer.compact();
  return lines;
}

TEST(LineFramer, SplitsOnLineFeedsOnlyAndKeepsCarriageReturns) {
  LineFramer framer;
  framer.append("a\r\nb\rc\n\nd");
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"a\r", "b\rc", ""}));
  EXPECT_EQ(framer.pendingBytes(), 1u);
  framer.append("e\n");
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"de"}));
  EXPECT_EQ(framer.pendingBytes(), 0u);
}

TEST(LineFramer, LineArrivingInManyPiecesIsReturnedWholeOnce) {
  LineFramer framer;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    const std::string piece(997, static_cast<char>('a' + i % 26));
    expected += piece;
    framer.append(piece);
    EXPECT_TRUE(drain(framer).empty());
  }
  framer.append("\nnext");
  const auto lines = drain(framer);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], expected);
  EXPECT_EQ(framer.pendingBytes(), 4u);
}

}  // namespace
