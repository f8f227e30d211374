#include "LineFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> drain(LineFramer& framer) {
  std::vector<std::string> lines;
  std::string_view line;
  for (LineFramer::Next next; (next = framer.nextLine(line)) != LineFramer::Next::none;) {
    lines.emplace_back(next == LineFramer::Next::line ? std::string(line) : "<too long>");
  }
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

TEST(LineFramer, LineOverTheLimitIsDroppedAsItArrivesAndReportedOnce) {
  LineFramer framer(10);
  framer.append("0123456789\n");  // exactly the limit
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"0123456789"}));
  // Whole in one piece, and followed by lines in the same piece.
  framer.append("0123456789A\nok\n");
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"<too long>", "ok"}));
  // Arriving in pieces: reported when it passes the limit, and nothing of it
  // is held after that, however much more comes.
  framer.append("before\n0123");
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"before"}));
  framer.append("456789AB");
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"<too long>"}));
  EXPECT_EQ(framer.pendingBytes(), 0u);
  for (int i = 0; i < 1000; ++i) {
    framer.append(std::string(1000, 'x'));
    EXPECT_TRUE(drain(framer).empty());
    EXPECT_EQ(framer.pendingBytes(), 0u);
  }
  framer.append("still the long line\nnext\npart");
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"next"}));
  EXPECT_EQ(framer.pendingBytes(), 4u);
  // Given up from outside: the rest of that line goes too.
  framer.dropPartialLine();
  framer.append("ial\nafter\n");
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"after"}));
}

}  // namespace
