#include "protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace w316sim {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Address> FeedAll(RequestParser& p, const Bytes& bytes) {
  return p.Feed(bytes.data(), bytes.size());
}

TEST(RequestParser, WholeRequestGivesItsAddress) {
  RequestParser p;
  const auto got = FeedAll(p, {0xAA, 0x03, 0x02, 0x07, 0x04, 0x55});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (Address{0x02, 0x07}));
  EXPECT_EQ(p.garbage(), 0u);
  EXPECT_EQ(p.pending(), 0u);
}

// Every way of cutting two back-to-back requests into two pieces yields both.
class RequestInTwoPieces : public ::testing::TestWithParam<int> {};

TEST_P(RequestInTwoPieces, IsReassembled) {
  const Bytes stream = {0xAA, 0x03, 0x01, 0x05, 0x04, 0x55, 0xAA, 0x03, 0x01, 0x06, 0x04, 0x55};
  const auto cut = static_cast<std::size_t>(GetParam());
  RequestParser p;
  auto first = p.Feed(stream.data(), cut);
  auto second = p.Feed(stream.data() + cut, stream.size() - cut);
  first.insert(first.end(), second.begin(), second.end());
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], (Address{1, 5}));
  EXPECT_EQ(first[1], (Address{1, 6}));
  EXPECT_EQ(p.garbage(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AllCuts, RequestInTwoPieces, ::testing::Range(0, 13));

TEST(RequestParser, OneByteAtATime) {
  const Bytes stream = {0xAA, 0x03, 0x01, 0x00, 0x04, 0x55};
  RequestParser p;
  for (std::size_t i = 0; i + 1 < stream.size(); ++i) {
    EXPECT_TRUE(p.Feed(&stream[i], 1).empty()) << "after byte " << i;
    EXPECT_EQ(p.pending(), i + 1);
  }
  EXPECT_EQ(p.Feed(&stream.back(), 1).size(), 1u);
}

struct GarbageCase {
  const char* name;
  Bytes stream;
  std::vector<Address> expected;
  uint64_t garbage;
};

class RequestAfterGarbage : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(RequestAfterGarbage, IsFoundAndGarbageCounted) {
  const auto& c = GetParam();
  RequestParser p;
  EXPECT_EQ(FeedAll(p, c.stream), c.expected);
  EXPECT_EQ(p.garbage(), c.garbage);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, RequestAfterGarbage,
    ::testing::Values(
        GarbageCase{
            "LeadingNoise", {0x00, 0x55, 0x13, 0xAA, 0x03, 0x01, 0x00, 0x04, 0x55}, {{1, 0}}, 3},
        // A request cut short by the next one: the broken start is skipped.
        GarbageCase{
            "TruncatedThenWhole", {0xAA, 0x03, 0xAA, 0x03, 0x01, 0x02, 0x04, 0x55}, {{1, 2}}, 2},
        GarbageCase{"WrongCommandByte", {0xAA, 0x04, 0x01, 0x00, 0x04, 0x55}, {}, 6},
        GarbageCase{"WrongTrailer",
                    {0xAA, 0x03, 0x01, 0x00, 0x05, 0x55, 0xAA, 0x03, 0x01, 0x00, 0x04, 0x55},
                    {{1, 0}},
                    6},
        GarbageCase{"WrongEnd", {0xAA, 0x03, 0x01, 0x00, 0x04, 0x56}, {}, 6},
        // 0xAA and 0x55 are ordinary address bytes.
        GarbageCase{
            "FramingBytesAsAddress", {0xAA, 0x03, 0xAA, 0x55, 0x04, 0x55}, {{0xAA, 0x55}}, 0},
        GarbageCase{"EchoedReplyIsIgnored",
                    {0xAA, 0x03, 0x01, 0x00, 0x10, 0x40, 0x7E, 0x42, 0x7E, 0x44, 0x7E,
                     0x46, 0x7E, 0x48, 0x7E, 0x4A, 0x7E, 0x4C, 0x7E, 0x4E, 0x7E, 0x55},
                    {},
                    22}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(RequestParser, KeepsAPossibleStartAndDropsItWhenItFails) {
  RequestParser p;
  EXPECT_TRUE(FeedAll(p, {0x01, 0xAA, 0x03}).empty());
  EXPECT_EQ(p.pending(), 2u);
  EXPECT_EQ(p.garbage(), 1u);
  EXPECT_TRUE(FeedAll(p, {0x07}).empty());  // still possible: address bytes are free
  EXPECT_TRUE(FeedAll(p, {0x00, 0x00}).empty());
  EXPECT_EQ(p.pending(), 0u);  // trailer was wrong: everything dropped
  EXPECT_EQ(p.garbage(), 6u);
}

TEST(Frames, ReplyLayout) {
  ChannelValues values{0x7D10, 1, 2, 3, 4, 5, 0xFFFF, 0};
  const auto r = MakeReply({0x02, 0x07}, values);
  const std::array<uint8_t, 22> expected = {0xAA, 0x03, 0x02, 0x07, 0x10, 0x10, 0x7D, 0x01,
                                            0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 0x05,
                                            0x00, 0xFF, 0xFF, 0x00, 0x00, 0x55};
  EXPECT_EQ(r, expected);
  EXPECT_EQ(MakeRequest({0x01, 0x03}),
            (std::array<uint8_t, 6>{0xAA, 0x03, 0x01, 0x03, 0x04, 0x55}));
}

TEST(Frames, ResizedRepliesKeepTheirFrameBytes) {
  ChannelValues values{};
  values.fill(0x1111);
  const auto r = MakeReply({1, 0}, values);
  const auto shorter = ResizeReply(r, 21);
  ASSERT_EQ(shorter.size(), 21u);
  EXPECT_EQ(shorter.front(), 0xAA);
  EXPECT_EQ(shorter.back(), 0x55);
  EXPECT_TRUE(std::equal(shorter.begin(), shorter.end() - 1, r.begin()));
  const auto longer = ResizeReply(r, 23);
  ASSERT_EQ(longer.size(), 23u);
  EXPECT_TRUE(std::equal(r.begin(), r.end() - 1, longer.begin()));
  EXPECT_EQ(longer[21], 0x00);
  EXPECT_EQ(longer[22], 0x55);
  EXPECT_EQ(ResizeReply(r, 22), Bytes(r.begin(), r.end()));
  EXPECT_EQ(ResizeReply(r, 1), Bytes{0xAA});
}

TEST(Frames, TransmissionTimeIsTenBitsPerByte) {
  EXPECT_EQ(TransmitMicros(22, 9600), 22916);
  EXPECT_EQ(TransmitMicros(22, 1200), 183333);
  EXPECT_EQ(TransmitMicros(6, 115200), 520);
  EXPECT_EQ(TransmitMicros(0, 9600), 0);
}

TEST(Frames, Hex) {
  const uint8_t b[] = {0xAA, 0x03, 0x0F};
  EXPECT_EQ(Hex(b, 3), "AA 03 0F");
  EXPECT_EQ(Hex(b, 0), "");
}

}  // namespace
}  // namespace w316sim
