// ContactSearchDataSource: the address book (identifier `contacts`), a local
// source over a ContactStore (on Linux the vCard folder). A query finds
// contacts by name (given, middle and family names and the card's own name,
// each query word the start of a name word, in any order, ignoring case and
// diacritics; a name written without spaces, as CJK names often are, also
// matches the family and given names run together), nickname, organisation,
// phone number (the digits of the query within the number's digits,
// punctuation ignored; a whole number also across country prefixes) and
// e-mail address. At most three, best first: names before numbers, numbers
// before organisations and addresses.
//
// shouldHandle() answers from an in-memory index of every contact's folded
// keys, read on the worker at construction, after each search, and when a
// query comes more than kIndexRefreshInterval after the last read (so an
// import shows from the next keystrokes on); a query arriving before the
// first read builds the index at once.
//
// Threading: called on the main runner. Store reads and searches run on
// `worker`; answers hop back to the main runner. One search is in flight at a
// time. Nothing here ever asks for permission by itself.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/platform/ContactStore.h"
#include "core/Logger.h"

namespace pallix {

// What one contact is searched by: its keys folded once (case, diacritics).
struct ContactSearchKeys {
  std::vector<std::string> nameWords;     // card name, given, middle, family names and nickname
  std::vector<std::string> compactNames;  // family+given, given+family and the card name without spaces
  std::vector<std::string> organizationWords;
  std::vector<std::string> emailAddresses;
  std::vector<std::string> phoneDigits;

  static ContactSearchKeys of(const ContactRecord& contact);
};

// The contacts and their keys, as one read of the store saw them. Immutable once built.
struct ContactSearchIndex {
  ContactsAuthorizationStatus status = ContactsAuthorizationStatus::notDetermined;
  std::vector<ContactRecord> contacts;
  std::vector<ContactSearchKeys> keys;  // parallel to `contacts`

  static std::shared_ptr<const ContactSearchIndex> build(ContactsAuthorizationStatus status,
                                                         std::vector<ContactRecord> contacts);
};

// A query taken apart once for matching against every contact.
struct ContactQuery {
  std::optional<std::string> phoneDigits;  // set for a query of phone-number characters
  std::string text;                        // folded
  std::vector<std::string> words;          // of `text`
  std::string compact;                     // `text` without separators
  bool matchesNothing = true;              // empty, or a single Latin letter

  static ContactQuery of(const std::string& query);
};

// How a contact matched a query, best first.
enum class ContactMatchKind { name, phoneNumber, organization, emailAddress, none };

struct ContactMatch {
  ContactMatchKind kind = ContactMatchKind::none;
  std::string matchedValue;  // the phone number, address or organisation that matched ("" for names)
};

class ContactSearchDataSource final : public PermissionedSource {
 public:
  static constexpr int kMaxResults = 3;
  static constexpr Duration kIndexRefreshInterval = std::chrono::seconds(5);
  static constexpr const char* kUnknownContactName = "Unknown Contact";

  struct Dependencies {
    std::shared_ptr<ContactStore> store;
    TaskRunnerPtr worker;
    TaskRunnerPtr mainRunner;
  };

  explicit ContactSearchDataSource(Dependencies dependencies);
  ~ContactSearchDataSource() override;

  // VCRDataSource
  VCRDataSourceIdentifier identifier() const override { return VCRDataSourceIdentifier::contacts; }
  bool shouldHandle(const std::string& query) override;
  void performSearch(const std::string& query, SearchCompletion completion) override;
  void cancelActiveQuery() override { inFlight_.cancel(); }
  void reset() override { inFlight_.cancel(); }

  // PermissionedSource
  PermissionStatus authorizationStatus() const override;
  void requestAuthorization(std::function<void(bool granted)> completion) override;

  // Pure parts, for tests and the command line.
  static ContactMatch match(const ContactSearchKeys& keys, const ContactRecord& contact, const ContactQuery& query);
  static std::vector<ContactSearchResult> search(const ContactSearchIndex& index, const std::string& query,
                                                 size_t limit = kMaxResults);
  static ContactSearchResult resultFor(const ContactRecord& contact, const ContactMatch& match);

 private:
  // Reads the store on the worker and installs the new index on the main runner.
  void refreshIndex();
  void installIndex(std::shared_ptr<const ContactSearchIndex> index);

  Dependencies deps_;
  TaskHandle inFlight_;
  std::shared_ptr<const ContactSearchIndex> index_;  // null until the first read; main runner only
  MonoTime indexReadAt_{};                           // when index_ was asked for
  bool refreshing_ = false;                          // a read is on the worker
  Logger logger_{"ContactSearchDataSource"};
  WeakGuard weak_;
};

}  // namespace pallix
