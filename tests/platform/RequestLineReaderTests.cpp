// Hostile bytes on the instance socket, as the request reader sees them: one
// named case per kind of bad input, and random inputs against the invariants
// the fuzz target checks.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "app/platform/RequestLineReader.h"
#include "core/Utf8.h"
#include "tests/platform/RequestReaderInvariants.h"

namespace pallix {
namespace {

using Kind = RequestEvent::Kind;

std::vector<RequestEvent> readAll(std::string_view bytes, size_t bound = kMaxRequestBytes) {
  return testing::readInPieces(bytes, bound, {bytes.size() + 1}).events;
}

RequestEvent request(std::string text) {
  return {Kind::request, std::move(text)};
}

void expectOneRefusal(std::string_view bytes, const std::string& mentions) {
  auto events = readAll(bytes);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::refusal);
  EXPECT_NE(events[0].text.find(mentions), std::string::npos) << events[0].text;
  EXPECT_TRUE(testing::encodesStrictly(events[0].text)) << "the refusal echoes bytes that are not UTF-8";
}

TEST(RequestLineReader, LinesAreRequestsWhicheverWayTheBytesArrive) {
  const std::string bytes = "index\n  toggle é 漢 😀 \r\n\n{\"toggle\":\"emoji\"}\n";
  const std::vector<RequestEvent> expected = {request("index"), request("toggle é 漢 😀"),
                                              request("{\"toggle\":\"emoji\"}")};
  EXPECT_EQ(readAll(bytes), expected);
  EXPECT_EQ(testing::readInPieces(bytes, kMaxRequestBytes, {1}).events, expected);
  EXPECT_EQ(testing::readInPieces(bytes, kMaxRequestBytes, {3, 1, 7}).events, expected);
}

TEST(RequestLineReader, AByteThatIsNotUtf8IsRefusedWithoutEchoingIt) {
  expectOneRefusal("\xff\n", "byte 0xff");
}

TEST(RequestLineReader, ACharacterCutShortIsRefused) {
  expectOneRefusal("caf\xc3\n", "byte 0xc3 at offset 3");
  expectOneRefusal("\xe6\xbc\n", "byte 0xe6");
  expectOneRefusal("\xf0\x9f\x98\n", "byte 0xf0");
}

TEST(RequestLineReader, OverlongSurrogateAndOutOfRangeFormsAreRefused) {
  expectOneRefusal("\xc0\xaf\n", "byte 0xc0");
  expectOneRefusal("\xe0\x80\xaf\n", "byte 0xe0");
  expectOneRefusal("\xed\xa0\x80\n", "byte 0xed");
  expectOneRefusal("\xf4\x90\x80\x80\n", "byte 0xf4");
  expectOneRefusal("ok \x80 stray continuation\n", "byte 0x80 at offset 3");
}

TEST(RequestLineReader, ControlCharactersAreRefused) {
  expectOneRefusal("index\x1b]0;title\x07\n", "control character 0x1b");
  expectOneRefusal(std::string("in\0dex\n", 7), "control character 0x00");
}

TEST(RequestLineReader, ARefusedLineLeavesTheNextOneReadable) {
  auto events = readAll("\xff\nindex\n");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Kind::refusal);
  EXPECT_EQ(events[1], request("index"));
}

TEST(RequestLineReader, AHugeLineIsRefusedAsSoonAsItPassesTheBoundAndNothingMoreIsKept) {
  RequestLineReader reader;
  const std::string chunk(1000, 'a');
  std::vector<RequestEvent> events;
  for (int i = 0; i < 40 && events.empty(); ++i) {
    events = reader.feed(chunk);
    EXPECT_LE(reader.buffered(), kMaxRequestBytes);
  }
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::refusal);
  EXPECT_NE(events[0].text.find("longer than 16384 bytes"), std::string::npos) << events[0].text;
  EXPECT_TRUE(reader.done());
  EXPECT_EQ(reader.buffered(), 0u);
  EXPECT_TRUE(reader.feed("index\n").empty());
  EXPECT_FALSE(reader.finish());
}

TEST(RequestLineReader, ALineOfExactlyTheBoundIsServed) {
  const std::string line(kMaxRequestBytes, 'x');
  EXPECT_EQ(readAll(line + "\n"), std::vector<RequestEvent>{request(line)});
  auto over = readAll(line + "x\n");
  ASSERT_EQ(over.size(), 1u);
  EXPECT_EQ(over[0].kind, Kind::refusal);
}

TEST(RequestLineReader, APartialLineLeftByAClientThatWentAwayIsRefused) {
  RequestLineReader reader;
  EXPECT_TRUE(reader.feed("ind").empty());
  auto last = reader.finish();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->kind, Kind::refusal);
  EXPECT_NE(last->text.find("3 bytes"), std::string::npos) << last->text;
  EXPECT_FALSE(RequestLineReader().finish()) << "a client that sent nothing has nothing refused";
}

TEST(RequestLineReader, RefusalsEncodeWhateverTheyQuote) {
  auto decoded = nlohmann::json::parse(encodeRequestRefusal("unknown request \"caf\xc3\""));
  EXPECT_EQ(decoded.value("refused", ""), "unknown request \"caf\xef\xbf\xbd\"");
}

TEST(RequestLineReader, TruncationNeverSplitsACharacter) {
  const std::string text = "a漢😀";  // 1 + 3 + 4 bytes
  const std::string_view expected[] = {"", "a", "a", "a", "a漢", "a漢", "a漢", "a漢", "a漢😀", "a漢😀"};
  for (size_t max = 0; max < std::size(expected); ++max) EXPECT_EQ(truncateUtf8(text, max), expected[max]) << max;
  EXPECT_EQ(utf8CharacterCount(text), 3u);
  EXPECT_EQ(utf8CharacterCount(truncateUtf8(text, 5)), 2u);
  EXPECT_EQ(utf8CharacterCount(""), 0u);
}

TEST(RequestLineReader, RandomBytesKeepTheInvariants) {
  std::mt19937 random(22);
  const std::string alphabet[] = {"a",
                                  " ",
                                  "\n",
                                  "\r",
                                  "\t",
                                  "\x1b",
                                  "\xff",
                                  "\xc3",
                                  "\xa9",
                                  "é",
                                  "漢",
                                  "😀",
                                  "\xed\xa0\x80",
                                  "\xf4\x90\x80\x80",
                                  std::string(1, '\0')};
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    const int length = std::uniform_int_distribution<int>(0, 120)(random);
    for (int i = 0; i < length; ++i) bytes += alphabet[random() % std::size(alphabet)];
    std::string failure = testing::checkRequestReaderInvariants(bytes, 32);
    ASSERT_EQ(failure, "") << ::testing::PrintToString(bytes);
  }
}

}  // namespace
}  // namespace pallix
