// vCards in the character sets phones and older mail programs write: our
// reading of the Shift_JIS and Latin-1 exports in tests/data/platform/vcards
// against Debian's python3-vobject (tests/messages/vcard_reference.py), and
// the charset fallbacks.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "app/platform/CharsetConversion.h"
#include "app/platform/VCard.h"
#include "core/Utf8.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::TempDir;

constexpr const char* kPython = "/usr/bin/python3";

std::string fixture(const std::string& name) {
  return PALLIX_SOURCE_ROOT "/tests/data/platform/vcards/" + name;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> valuesOf(const std::vector<LabeledValue>& values) {
  std::vector<std::string> out;
  for (const LabeledValue& v : values) out.push_back(v.value);
  return out;
}

class VCardReferenceTest : public ::testing::TestWithParam<const char*> {};

TEST_P(VCardReferenceTest, ReadsTheExportAsVobjectDoes) {
  const std::string path = fixture(GetParam());
  TempDir dir;
  const std::string out = dir / "reference.json";
  const std::string command = std::string(kPython) + " '" PALLIX_SOURCE_ROOT "/tests/messages/vcard_reference.py' '" +
                              path + "' > '" + out + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command << " failed; it needs python3-vobject (scripts/setup.sh)";
  const nlohmann::json reference = nlohmann::json::parse(readFile(out)).at(path);

  VCardParseResult parsed = parseVCards(readFile(path), GetParam());
  ASSERT_EQ(parsed.contacts.size(), reference.size());
  for (size_t i = 0; i < reference.size(); ++i) {
    const nlohmann::json& want = reference[i];
    const ContactRecord& card = parsed.contacts[i];
    SCOPED_TRACE(want.dump());
    EXPECT_EQ(card.formattedName, want["fn"].get<std::string>());
    EXPECT_EQ(card.familyName, want["family"].get<std::string>());
    EXPECT_EQ(card.givenName, want["given"].get<std::string>());
    EXPECT_EQ(card.nickname, want["nickname"].get<std::string>());
    const auto org = want["org"].get<std::vector<std::string>>();
    EXPECT_EQ(card.organizationName, org.empty() ? "" : org[0]);
    EXPECT_EQ(card.departmentName, org.size() < 2 ? "" : org[1]);
    EXPECT_EQ(valuesOf(card.phoneNumbers), want["tels"].get<std::vector<std::string>>());
    EXPECT_EQ(valuesOf(card.emailAddresses), want["emails"].get<std::vector<std::string>>());
  }
}

INSTANTIATE_TEST_SUITE_P(Exports, VCardReferenceTest, ::testing::Values("shift_jis_phone.vcf", "latin1_mail.vcf"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

TEST(VCardCharsetTest, ShiftJisNamesStaySeparateFromEachOtherAndFromTheNumber) {
  VCardParseResult parsed = parseVCards(readFile(fixture("shift_jis_phone.vcf")), "phone.vcf");
  EXPECT_TRUE(parsed.problems.empty()) << parsed.problems.front();
  ASSERT_EQ(parsed.contacts.size(), 3u);
  // 能 and ソ end in the byte of a backslash; they must not escape the ';' after them.
  const ContactRecord& sou = parsed.contacts[1];
  EXPECT_EQ(sou.familyName, "能登");
  EXPECT_EQ(sou.givenName, "ソウ");
  EXPECT_EQ(sou.formattedName, "能登 ソウ");
  EXPECT_EQ(sou.organizationName, "表計算株式会社");
  EXPECT_EQ(sou.departmentName, "予算課");
  EXPECT_EQ(sou.nickname, "ソウちゃん");
  EXPECT_EQ(sou.phoneNumbers, (std::vector<LabeledValue>{{"cell", "080-5555-0101"}}));
  EXPECT_EQ(parsed.contacts[2].formattedName, "十文字 花子");  // across a soft line break
  EXPECT_EQ(parsed.contacts[2].phoneNumbers.size(), 1u);
}

TEST(VCardCharsetTest, UnknownCharsetsAndUndeclaredBytesAreReadAsUtf8ThenLatin1) {
  VCardParseResult parsed = parseVCards(readFile(fixture("latin1_mail.vcf")), "mail.vcf");
  ASSERT_EQ(parsed.contacts.size(), 3u);
  EXPECT_EQ(parsed.contacts[1].formattedName, "François Pérez");  // no CHARSET, Latin-1 bytes
  EXPECT_EQ(parsed.contacts[2].formattedName, "Zoë Ångström");    // unknown CHARSET, UTF-8 bytes
  ASSERT_EQ(parsed.problems.size(), 2u);                          // N and FN of the unknown charset
  EXPECT_NE(parsed.problems[0].find("X-UNHEARD-OF"), std::string::npos) << parsed.problems[0];
  EXPECT_NE(parsed.problems[0].find("read as UTF-8"), std::string::npos) << parsed.problems[0];

  const std::string card =
      "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;CHARSET=SHIFT_JIS;ENCODING=QUOTED-PRINTABLE:=81=FF=E9\r\n"
      "TEL:1\r\nEND:VCARD\r\n";
  VCardParseResult broken = parseVCards(card, "x.vcf");
  ASSERT_EQ(broken.contacts.size(), 1u);
  EXPECT_EQ(broken.contacts[0].formattedName, "\u0081\u00FF\u00E9");  // not Shift_JIS, not UTF-8: Latin-1
  ASSERT_EQ(broken.problems.size(), 1u);
  EXPECT_NE(broken.problems[0].find("read as ISO-8859-1"), std::string::npos) << broken.problems[0];
}

TEST(CharsetConversionTest, ConvertsThroughIcuAndNeverReturnsRawBytes) {
  EXPECT_EQ(convertToUtf8("\x8e\x52\x93\x63", "Shift_JIS").utf8, "山田");
  EXPECT_EQ(convertToUtf8("\x8e\x52\x93\x63", "shift-jis").utf8, "山田");
  EXPECT_EQ(convertToUtf8("\xb7s", "BIG5").utf8, "新");
  EXPECT_EQ(convertToUtf8("\x80 \xe9", "windows-1252").utf8, "€ é");
  EXPECT_EQ(convertToUtf8("caf\xc3\xa9", "UTF-8").utf8, "café");
  ConvertedText notUtf8 = convertToUtf8("caf\xe9", "utf-8");
  EXPECT_EQ(notUtf8.utf8, "café");
  EXPECT_TRUE(notUtf8.fellBack);
  EXPECT_EQ(convertToUtf8("caf\xe9", "").readAs, "ISO-8859-1");
  EXPECT_FALSE(convertToUtf8("caf\xe9", "").fellBack);

  std::mt19937 random(7);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(random() % 12, '\0');
    for (char& b : bytes) b = static_cast<char>(random() % 256);
    for (const char* charset : {"", "UTF-8", "Shift_JIS", "EUC-JP", "ISO-2022-JP", "GB18030", "x-nonsense"}) {
      ConvertedText text = convertToUtf8(bytes, charset);
      EXPECT_EQ(firstInvalidUtf8Offset(text.utf8), std::string::npos) << charset;
    }
  }
}

}  // namespace
}  // namespace pallix
