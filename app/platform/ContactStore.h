// ContactStore: the user's address book, as the message search, the message
// chunk indexer and the contacts data source read it.
//
// An authorisation status says whether contacts can be read at all; the
// fetches return whole records (names, phone numbers, e-mail addresses,
// organisation, thumbnail). VCardContactStore reads vCard files from the data
// directory; FakeContactStore (FakeContactStore.h) holds records in memory for
// tests. Both answer the fetches through ContactMatcher, so "matches" means the
// same everywhere. Implementations are safe for concurrent use.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.h"

namespace pallix {

// The platform's contacts authorisation states, persisted by their raw names.
enum class ContactsAuthorizationStatus { notDetermined, restricted, denied, authorized };
const char* rawValue(ContactsAuthorizationStatus status);

struct LabeledValue {
  std::string label;  // "cell", "work", ... (may be empty)
  std::string value;
  friend bool operator==(const LabeledValue&, const LabeledValue&) = default;
};

struct ContactRecord {
  std::string identifier;
  std::string formattedName;  // the card's own display name (vCard FN)
  std::string namePrefix;
  std::string givenName;
  std::string middleName;
  std::string familyName;
  std::string nameSuffix;
  std::string nickname;
  std::string organizationName;
  std::string departmentName;
  std::vector<LabeledValue> phoneNumbers;
  std::vector<LabeledValue> emailAddresses;
  std::vector<std::string> urlAddresses;
  std::optional<std::string> thumbnailImageData;  // image bytes (JPEG, PNG, ...)
  friend bool operator==(const ContactRecord&, const ContactRecord&) = default;
};

// The full-name formatter: the card's display name, else prefix, given,
// middle and family names and suffix joined by spaces, else the
// organisation. nullopt when the record names nobody.
std::optional<std::string> formattedFullName(const ContactRecord& contact);

class ContactStore {
 public:
  virtual ~ContactStore() = default;
  virtual ContactsAuthorizationStatus authorizationStatus() const = 0;
  // Asks for access where the platform asks the user; returns whether access
  // is granted afterwards. Never blocks on a person here.
  virtual bool requestAccess() = 0;
  // Contacts whose name matches `name` (ContactMatcher::matchesName).
  virtual Result<std::vector<ContactRecord>> contactsMatchingName(std::string_view name) = 0;
  virtual Result<std::vector<ContactRecord>> contactsMatchingPhoneNumber(std::string_view phoneNumber) = 0;
  virtual Result<std::vector<ContactRecord>> contactsMatchingEmailAddress(std::string_view emailAddress) = 0;
  virtual Result<std::vector<ContactRecord>> allContacts() = 0;
};

// What matching means for every ContactStore. Pure functions.
struct ContactMatcher {
  // Every word of `query` begins a word of one of the contact's names
  // (display name, given, middle, family, nickname), ignoring case. An empty
  // query matches nothing.
  static bool matchesName(const ContactRecord& contact, std::string_view query);
  // Same digits, or, when both numbers have at least 10 digits, the same last
  // 10 digits ("+1 (555) 010-2000" is "5550102000"). Numbers without digits
  // match nothing.
  static bool matchesPhoneNumber(std::string_view a, std::string_view b);
  // Equal ignoring ASCII case and surrounding spaces.
  static bool matchesEmailAddress(std::string_view a, std::string_view b);
  // The digits of `number`, in order.
  static std::string digits(std::string_view number);

  static std::vector<ContactRecord> byName(const std::vector<ContactRecord>& all, std::string_view query);
  static std::vector<ContactRecord> byPhoneNumber(const std::vector<ContactRecord>& all, std::string_view number);
  static std::vector<ContactRecord> byEmailAddress(const std::vector<ContactRecord>& all, std::string_view email);
};

}  // namespace pallix
