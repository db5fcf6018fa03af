// The contacts source over an in-memory address book: what a query matches
// (names in any order and by prefix, diacritics, CJK names, nicknames,
// organisations, phone digits, e-mail addresses), the order and limit of the
// answers, what it handles before and after the store changes, permission,
// and failures.
#include "app/sources/ContactSearchDataSource.h"
#include "testing/FakeContactStore.h"
#include "tests/sources/SourcesTestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;
using Names = std::vector<std::string>;

std::vector<ContactRecord> addressBook() {
  return {
      {.identifier = "john",
       .formattedName = "John Doe",
       .givenName = "John",
       .familyName = "Doe",
       .organizationName = "Acme Corp",
       .phoneNumbers = {{"cell", "+1 (555) 010-2000"}},
       .emailAddresses = {{"work", "john.doe@acme.example"}}},
      {.identifier = "jane", .givenName = "Jane", .familyName = "Doe", .emailAddresses = {{"", "jane@example.org"}}},
      {.identifier = "chloe",
       .formattedName = "Chloé Dubois-Martin",
       .givenName = "Chloé",
       .familyName = "Dubois-Martin",
       .nickname = "Clo",
       .phoneNumbers = {{"home", "06 12 34 56 78"}}},
      {.identifier = "taro",
       .formattedName = "山田 太郎",
       .givenName = "太郎",
       .familyName = "山田",
       .phoneNumbers = {{"cell", "090-1234-5678"}}},
      {.identifier = "smith", .formattedName = "ジョン・スミス"},
      {.identifier = "dentist",
       .organizationName = "Bright Smiles Dental",
       .phoneNumbers = {{"work", "020 7946 0958"}}},
  };
}

class ContactSourceTest : public SourcesFixture {
 protected:
  void create() {
    source = std::make_unique<ContactSearchDataSource>(
        ContactSearchDataSource::Dependencies{store, env.makeRunner("contacts"), env.mainRunner()});
    settle();
  }
  std::vector<ContactSearchResult> results(const std::string& query) {
    std::vector<ContactSearchResult> out;
    bool answered = false;
    source->performSearch(query, [&](std::optional<VCRDataSourceResult> r) {
      answered = true;
      if (r) out = std::get<std::vector<ContactSearchResult>>(*r);
    });
    settle();
    EXPECT_TRUE(answered) << query;
    return out;
  }
  Names names(const std::string& query) {
    Names out;
    for (const auto& r : results(query)) out.push_back(r.name);
    return out;
  }

  std::shared_ptr<FakeContactStore> store = std::make_shared<FakeContactStore>(addressBook());
  std::unique_ptr<ContactSearchDataSource> source;
};

TEST_F(ContactSourceTest, NamesMatchInAnyOrderByTheirStartIgnoringCaseAndDiacritics) {
  create();
  for (const char* query : {"john doe", "Doe John", "JOHN", "jo do", " john  doe "}) {
    EXPECT_EQ(names(query), Names{"John Doe"}) << query;
  }
  EXPECT_EQ(names("doe"), (Names{"Jane Doe", "John Doe"}));
  for (const char* query : {"chloe", "CHLOÉ", "martin", "dubois chlo", "clo"}) {
    EXPECT_EQ(names(query), Names{"Chloé Dubois-Martin"}) << query;
  }
  for (const char* query : {"ohn", "john smith", "j", "doe x"}) EXPECT_TRUE(names(query).empty()) << query;
}

TEST_F(ContactSourceTest, CjkNamesMatchWithAndWithoutTheSpace) {
  create();
  for (const char* query : {"山田", "太郎", "山田 太郎", "山田太郎", "太郎山田", "山"}) {
    EXPECT_EQ(names(query), Names{"山田 太郎"}) << query;
  }
  EXPECT_EQ(names("スミス"), Names{"ジョン・スミス"});
  EXPECT_EQ(names("ジョンスミス"), Names{"ジョン・スミス"});
  EXPECT_TRUE(names("田").empty());
}

TEST_F(ContactSourceTest, PhoneDigitsMatchWhateverThePunctuation) {
  create();
  for (const char* query : {"5550102000", "555-010-2000", "(555) 010 2000", "+1 555 010 2000", "010-2000"}) {
    auto found = results(query);
    ASSERT_EQ(found.size(), 1u) << query;
    EXPECT_EQ(found[0].name, "John Doe");
    EXPECT_EQ(found[0].detail, "+1 (555) 010-2000") << "the number that matched";
  }
  // A whole number across the country prefix; its national form has the trunk 0.
  EXPECT_EQ(names("+81 90 1234 5678"), Names{"山田 太郎"});
  EXPECT_EQ(names("+44 20 7946 0958"), Names{"Bright Smiles Dental"});
  for (const char* query : {"555", "12 + 30", "2000 usd"}) EXPECT_TRUE(names(query).empty()) << query;
}

TEST_F(ContactSourceTest, OrganisationsAndAddressesMatchAndSayWhatMatched) {
  create();
  auto acme = results("acme");
  ASSERT_EQ(acme.size(), 1u);
  EXPECT_EQ(acme[0].name, "John Doe");
  EXPECT_EQ(acme[0].detail, "Acme Corp");
  EXPECT_EQ(names("john acme"), Names{"John Doe"});
  auto dentist = results("bright smiles");
  ASSERT_EQ(dentist.size(), 1u);
  EXPECT_EQ(dentist[0].name, "Bright Smiles Dental");  // a card without a person's name goes by its organisation

  auto jane = results("jane@example");
  ASSERT_EQ(jane.size(), 1u);
  EXPECT_EQ(jane[0].detail, "jane@example.org");
  EXPECT_EQ(results("JOHN.DOE@ACME.EXAMPLE").at(0).detail, "john.doe@acme.example");
  EXPECT_TRUE(results("nobody@example.org").empty());

  // A name match shows the phone number, else the address.
  EXPECT_EQ(results("john").at(0).detail, "+1 (555) 010-2000");
  EXPECT_EQ(results("jane").at(0).detail, "jane@example.org");
  EXPECT_EQ(results("jane").at(0).contact.identifier, "jane");
}

TEST_F(ContactSourceTest, AtMostThreeNamesFirst) {
  std::vector<ContactRecord> many;
  for (const char* given : {"Eve", "Bob", "Dan", "Amy", "Cat"}) {
    many.push_back({.identifier = given, .givenName = given, .familyName = "Lane"});
  }
  many.push_back({.identifier = "firm", .formattedName = "Zed Stone", .organizationName = "Lane & Partners"});
  store->setContacts(many);
  create();
  EXPECT_EQ(names("lane"), (Names{"Amy Lane", "Bob Lane", "Cat Lane"}));
  EXPECT_EQ(names("stone lane"), Names{"Zed Stone"});
  ContactSearchIndex index = *ContactSearchIndex::build(ContactsAuthorizationStatus::authorized, many);
  auto all = ContactSearchDataSource::search(index, "lane", 10);
  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(all.back().name, "Zed Stone") << "an organisation match comes after every name match";
}

TEST_F(ContactSourceTest, HandlesWhatTheAddressBookHoldsAndFollowsItsChanges) {
  create();
  EXPECT_TRUE(source->shouldHandle("john doe"));
  EXPECT_TRUE(source->shouldHandle("555 010 2000"));
  EXPECT_FALSE(source->shouldHandle("firefox"));
  EXPECT_FALSE(source->shouldHandle("weather in paris"));
  EXPECT_FALSE(source->shouldHandle("100 usd to eur"));

  auto added = addressBook();
  added.push_back({.identifier = "ana", .givenName = "Ana", .familyName = "Firefoxova"});
  store->setContacts(added);
  EXPECT_FALSE(source->shouldHandle("firefoxova")) << "the index changes only after a store read";
  EXPECT_EQ(names("firefoxova"), Names{"Ana Firefoxova"}) << "a search reads the store";
  EXPECT_TRUE(source->shouldHandle("firefoxova"));
}

TEST_F(ContactSourceTest, AContactImportedLaterIsHandledWithinTheRefreshInterval) {
  create();
  auto added = addressBook();
  added.push_back({.identifier = "ana", .givenName = "Ana", .familyName = "Firefoxova"});
  store->setContacts(added);
  EXPECT_FALSE(source->shouldHandle("firefoxova"));
  settle();
  EXPECT_FALSE(source->shouldHandle("firefoxova")) << "read at most once an interval";
  env.advanceBy(ContactSearchDataSource::kIndexRefreshInterval);
  EXPECT_FALSE(source->shouldHandle("firefoxova")) << "this query starts the read; it answers from the old index";
  settle();
  EXPECT_TRUE(source->shouldHandle("firefoxova"));
}

TEST_F(ContactSourceTest, AQueryBeforeTheFirstReadReadsTheStoreAtOnce) {
  source = std::make_unique<ContactSearchDataSource>(
      ContactSearchDataSource::Dependencies{store, env.makeRunner("contacts"), env.mainRunner()});
  EXPECT_TRUE(source->shouldHandle("doe"));  // the worker has not run yet
  settle();
  EXPECT_TRUE(source->shouldHandle("doe"));
}

TEST_F(ContactSourceTest, WithoutPermissionNothingIsReadOrAsked) {
  store->setStatus(ContactsAuthorizationStatus::notDetermined);
  create();
  store->clearRequests();
  EXPECT_EQ(source->authorizationStatus(), PermissionStatus::notDetermined);
  EXPECT_FALSE(source->shouldHandle("john"));
  EXPECT_TRUE(results("john").empty());
  EXPECT_TRUE(store->requests().empty()) << "no contact is fetched";
  EXPECT_EQ(store->accessRequests(), 0) << "the source never asks by itself";

  bool granted = false;
  store->setStatus(ContactsAuthorizationStatus::authorized);
  source->requestAuthorization([&](bool g) { granted = g; });
  settle();
  EXPECT_TRUE(granted);
  EXPECT_EQ(store->accessRequests(), 1);
  EXPECT_TRUE(source->shouldHandle("john")) << "granting access reads the contacts";
  store->setStatus(ContactsAuthorizationStatus::denied);
  EXPECT_EQ(source->authorizationStatus(), PermissionStatus::denied);
  EXPECT_TRUE(results("john").empty());
}

TEST_F(ContactSourceTest, AFailedReadIsReportedAndTheLastGoodReadStillAnswers) {
  ScopedTelemetryRecorder recorder;
  create();
  store->failWith(Error("Contacts", 7, "the folder went away"));
  EXPECT_EQ(names("jane"), Names{"Jane Doe"});
  auto reported = errorsReported(recorder, "ContactSearchDataSource.performSearchFailed");
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].parameters.at("domain"), "Contacts");
  EXPECT_EQ(reported[0].parameters.at("code"), "7");
}

TEST_F(ContactSourceTest, ANewerSearchDropsTheOlderAnswer) {
  create();
  int answers = 0;
  source->performSearch("john", [&](std::optional<VCRDataSourceResult>) { ++answers; });
  std::vector<ContactSearchResult> second;
  source->performSearch("jane", [&](std::optional<VCRDataSourceResult> r) {
    ++answers;
    if (r) second = std::get<std::vector<ContactSearchResult>>(*r);
  });
  settle();
  EXPECT_EQ(answers, 1);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].name, "Jane Doe");
}

}  // namespace
}  // namespace pallix
