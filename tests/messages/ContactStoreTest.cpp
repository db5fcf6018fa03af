// The contacts seam: vCard reading, what "matches" means, and the folder
// store (authorisation from what is there, reloads, imports).
#include <gtest/gtest.h>

#include <filesystem>

#include "app/platform/VCard.h"
#include "app/platform/VCardContactStore.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using testing::TempDir;

TEST(VCardTest, ReadsCardsOfEveryVersion) {
  const std::string text =
      "\xEF\xBB\xBF"
      "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Alice\r\n  Adams\r\nN:Adams;Alice;;Dr.;\r\n"
      "item1.TEL;TYPE=CELL,VOICE:+1 (555) 010-0001\r\nEMAIL;TYPE=INTERNET,WORK:alice@example.org\r\n"
      "ORG:Adams\\, Berg & Co;Research\r\nNICKNAME:Ali,Al\r\nUID:urn:uuid:1\r\n"
      "PHOTO;ENCODING=b;TYPE=PNG:iVBO\r\n Rw==\r\nEND:VCARD\r\n"
      "BEGIN:VCARD\nVERSION:4.0\nFN:Bob\nTEL;VALUE=uri;TYPE=\"home,voice\":tel:+44-20-7946-0958\n"
      "PHOTO:data:image/jpeg;base64,/9j/\nEND:VCARD\n"
      "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=\r\nens\r\n"
      "TEL;CELL:0170 1234567\r\nEND:VCARD\r\n";
  VCardParseResult parsed = parseVCards(text, "book.vcf");
  EXPECT_TRUE(parsed.problems.empty()) << parsed.problems.front();
  ASSERT_EQ(parsed.contacts.size(), 3u);
  const ContactRecord& alice = parsed.contacts[0];
  EXPECT_EQ(alice.identifier, "urn:uuid:1");
  EXPECT_EQ(alice.formattedName, "Alice Adams");  // folded line: the leading space goes, the next one stays
  EXPECT_EQ(alice.namePrefix, "Dr.");
  EXPECT_EQ(alice.phoneNumbers, (std::vector<LabeledValue>{{"cell", "+1 (555) 010-0001"}}));
  EXPECT_EQ(alice.emailAddresses, (std::vector<LabeledValue>{{"work", "alice@example.org"}}));
  EXPECT_EQ(alice.organizationName, "Adams, Berg & Co");
  EXPECT_EQ(alice.departmentName, "Research");
  EXPECT_EQ(alice.nickname, "Ali");
  EXPECT_EQ(alice.thumbnailImageData, std::string("\x89PNG", 4));
  EXPECT_EQ(parsed.contacts[1].identifier, "book.vcf#2");
  EXPECT_EQ(parsed.contacts[1].phoneNumbers[0].value, "+44-20-7946-0958");
  EXPECT_EQ(parsed.contacts[1].phoneNumbers[0].label, "home");
  EXPECT_EQ(parsed.contacts[1].thumbnailImageData, std::string("\xff\xd8\xff", 3));
  EXPECT_EQ(parsed.contacts[2].familyName, "M\xc3\xbcller");
  EXPECT_EQ(parsed.contacts[2].givenName, "Jens");
}

TEST(VCardTest, KeepsWhatItCanReadAndSaysWhatItCouldNot) {
  struct Case {
    const char* name;
    std::string text;
    size_t contacts;
    const char* problem;  // "" for none
  };
  const Case cases[] = {
      {"no cards", "hello\nworld\n", 0, ""},
      {"a truncated last card", "BEGIN:VCARD\nFN:Ann\nEND:VCARD\nBEGIN:VCARD\nFN:Bo\nTEL:123", 2, "not terminated"},
      {"a line without a colon", "BEGIN:VCARD\nFN:Ann\ngarbage\nEND:VCARD\n", 1, "no ':'"},
      {"a card naming nobody", "BEGIN:VCARD\nVERSION:3.0\nEND:VCARD\n", 0, "no name"},
      {"bad photo", "BEGIN:VCARD\nFN:Ann\nPHOTO;ENCODING=b:@@@\nEND:VCARD\n", 1, "base64"},
      {"an embedded agent card", "BEGIN:VCARD\nFN:Ann\nAGENT:\nBEGIN:VCARD\nFN:Spy\nEND:VCARD\nEND:VCARD\n", 1, ""},
      {"binary", std::string("\0\xff\xfe BEGIN", 9), 0, ""},
  };
  for (const Case& c : cases) {
    VCardParseResult parsed = parseVCards(c.text, "x.vcf");
    EXPECT_EQ(parsed.contacts.size(), c.contacts) << c.name;
    if (*c.problem) {
      ASSERT_FALSE(parsed.problems.empty()) << c.name;
      EXPECT_NE(parsed.problems.front().find(c.problem), std::string::npos) << c.name << ": " << parsed.problems[0];
    } else {
      EXPECT_TRUE(parsed.problems.empty()) << c.name;
    }
  }
  EXPECT_EQ(parseVCards(cases[5].text, "x").contacts.at(0).formattedName, "Ann");
}

TEST(ContactMatcherTest, MatchesNamesNumbersAndAddressesAsPeopleWriteThem) {
  const ContactRecord c{
      .formattedName = "Chloé Dubois-Martin", .givenName = "Chloé", .familyName = "Dubois-Martin", .nickname = "Clo"};
  EXPECT_TRUE(ContactMatcher::matchesName(c, "chl"));
  EXPECT_TRUE(ContactMatcher::matchesName(c, "CHLOÉ martin"));
  EXPECT_TRUE(ContactMatcher::matchesName(c, "clo"));
  EXPECT_FALSE(ContactMatcher::matchesName(c, "hloé"));  // words match from their start
  EXPECT_FALSE(ContactMatcher::matchesName(c, "chloé smith"));
  EXPECT_FALSE(ContactMatcher::matchesName(c, "  "));

  EXPECT_TRUE(ContactMatcher::matchesPhoneNumber("+1 (555) 010-0001", "5550100001"));
  EXPECT_TRUE(ContactMatcher::matchesPhoneNumber("+15550100001", "001 555 010 0001"));
  EXPECT_TRUE(ContactMatcher::matchesPhoneNumber("22395", "22395"));
  EXPECT_FALSE(ContactMatcher::matchesPhoneNumber("22395", "122395"));
  // National forms, with the trunk 0 or without one, against the international form.
  EXPECT_TRUE(ContactMatcher::matchesPhoneNumber("06 12 34 56 78", "+33 6 12 34 56 78"));
  EXPECT_TRUE(ContactMatcher::matchesPhoneNumber("+33612345678", "0612345678"));
  EXPECT_TRUE(ContactMatcher::matchesPhoneNumber("0033 6 12 34 56 78", "06.12.34.56.78"));
  EXPECT_TRUE(ContactMatcher::matchesPhoneNumber("612 345 678", "+34 612 345 678"));
  EXPECT_TRUE(ContactMatcher::matchesPhoneNumber("030 1234567", "+49 30 1234567"));
  EXPECT_FALSE(ContactMatcher::matchesPhoneNumber("06 12 34 56 78", "07 12 34 56 78"));
  EXPECT_FALSE(ContactMatcher::matchesPhoneNumber("06 12 34 56 78", "+3 3333 612 345 678"))
      << "no country code is that long";
  EXPECT_FALSE(ContactMatcher::matchesPhoneNumber("010 2000", "+1 555 010 2000")) << "a local number is too short";
  EXPECT_FALSE(ContactMatcher::matchesPhoneNumber("", ""));
  EXPECT_TRUE(ContactMatcher::matchesEmailAddress(" Bob@Example.com", "bob@example.COM"));
  EXPECT_FALSE(ContactMatcher::matchesEmailAddress("bob@example.com", "bob@example.co"));

  const std::pair<ContactRecord, std::optional<std::string>> names[] = {
      {ContactRecord{.formattedName = " Ann Lee "}, "Ann Lee"},
      {ContactRecord{.namePrefix = "Dr.", .givenName = "Ann", .familyName = "Lee"}, "Dr. Ann Lee"},
      {ContactRecord{.organizationName = "Dentist"}, "Dentist"},
      {ContactRecord{}, std::nullopt}};
  for (const auto& [record, name] : names) EXPECT_EQ(formattedFullName(record), name);
}

TEST(VCardContactStoreTest, StatusFollowsTheFolderAndReloadsOnChange) {
  TempDir dir;
  const std::string folder = dir / "Contacts";
  VCardContactStore store(folder);
  EXPECT_EQ(store.authorizationStatus(), ContactsAuthorizationStatus::notDetermined);
  EXPECT_TRUE(store.allContacts().value().empty());
  std::filesystem::create_directory(folder);
  dir.write("Contacts/notes.txt", "BEGIN:VCARD\nFN:Ignored\nEND:VCARD\n");
  EXPECT_EQ(store.authorizationStatus(), ContactsAuthorizationStatus::notDetermined);

  dir.write("Contacts/a.vcf", "BEGIN:VCARD\nFN:Ann Lee\nTEL:+1 555 010 0001\nEND:VCARD\n");
  EXPECT_EQ(store.authorizationStatus(), ContactsAuthorizationStatus::authorized);
  EXPECT_EQ(store.contactsMatchingPhoneNumber("+15550100001").value().size(), 1u);
  dir.write("Contacts/b.VCF", "BEGIN:VCARD\nFN:Bo\nEMAIL:bo@x.org\nEND:VCARD\nBEGIN:VCARD\nFN:Cy\nEND:VCARD\n");
  EXPECT_EQ(store.allContacts().value().size(), 3u);
  EXPECT_EQ(store.contactsMatchingEmailAddress("BO@x.org").value().at(0).formattedName, "Bo");
  EXPECT_EQ(store.contactsMatchingName("lee").value().at(0).formattedName, "Ann Lee");
  EXPECT_EQ(store.loadReport().files.size(), 2u);
  std::filesystem::remove(folder + "/a.vcf");
  std::filesystem::remove(folder + "/b.VCF");
  EXPECT_EQ(store.authorizationStatus(), ContactsAuthorizationStatus::notDetermined);
}

TEST(VCardContactStoreTest, ImportCopiesCheckedFilesAndKeepsOthers) {
  TempDir dir;
  const std::string folder = dir / "data/Contacts";
  const std::string one = dir.write("in/family.vcf", "BEGIN:VCARD\nFN:Ann\nEND:VCARD\n");
  auto first = VCardContactStore::importFile(folder, one);
  ASSERT_TRUE(first.ok()) << first.error().description();
  EXPECT_EQ(first->path, folder + "/family.vcf");
  EXPECT_EQ(first->contactCount, 1u);
  EXPECT_TRUE(VCardContactStore::importFile(folder, one)->alreadyPresent);
  const std::string other = dir.write("other/family.vcf", "BEGIN:VCARD\nFN:Bo\nEND:VCARD\n");
  EXPECT_EQ(VCardContactStore::importFile(folder, other)->path, folder + "/family-2.vcf");
  const std::string noExtension = dir.write("in/export", "BEGIN:VCARD\nFN:Cy\nEND:VCARD\n");
  EXPECT_EQ(VCardContactStore::importFile(folder, noExtension)->path, folder + "/export.vcf");
  EXPECT_EQ(VCardContactStore(folder).allContacts().value().size(), 3u);

  EXPECT_TRUE(
      testing::failsWith(VCardContactStore::importFile(folder, dir.write("bad.vcf", "nothing")), "No contacts found"));
  EXPECT_TRUE(testing::failsWith(VCardContactStore::importFile(folder, dir / "absent.vcf"), "Cannot read"));
}

}  // namespace
}  // namespace pallix
