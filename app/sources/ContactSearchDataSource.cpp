#include "app/sources/ContactSearchDataSource.h"

#include <unicode/unistr.h>

#include <algorithm>

#include "core/DiacriticFolding.h"
#include "core/Strings.h"
#include "core/Telemetry.h"

namespace pallix {
namespace {

// Case and diacritics folded; ASCII takes the short way.
std::string folded(std::string_view text) {
  if (isAsciiText(text)) return asciiLowercase(text);
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::string out;
  withoutDiacritics(u).foldCase().toUTF8String(out);
  return out;
}

// The length of the separator at the start of `text`, or 0. Names are split
// at spaces (the ideographic one too), commas, hyphens, dots and the middle
// dots that join the parts of foreign names written in katakana.
size_t separatorAt(std::string_view text) {
  static constexpr std::string_view kWide[] = {"\u3000", "\u30FB", "\u00B7", "\uFF0C", "\uFF0E"};
  const char c = text.front();
  if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '-' || c == '.' || c == '(' || c == ')' ||
      c == '"' || c == '/' || c == ';') {
    return 1;
  }
  for (std::string_view wide : kWide) {
    if (startsWith(text, wide)) return wide.size();
  }
  return 0;
}

std::vector<std::string> wordsOf(std::string_view text) {
  std::vector<std::string> out;
  std::string current;
  while (!text.empty()) {
    if (size_t n = separatorAt(text)) {
      if (!current.empty()) out.push_back(std::move(current));
      current.clear();
      text.remove_prefix(n);
    } else {
      current.push_back(text.front());
      text.remove_prefix(1);
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

std::string withoutSeparators(std::string_view text) {
  std::string out;
  for (const std::string& w : wordsOf(text)) out += w;
  return out;
}

size_t codePoints(std::string_view text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

bool everyWordBeginsOneOf(const std::vector<std::string>& wanted, const std::vector<std::string>& have) {
  return std::all_of(wanted.begin(), wanted.end(), [&](const std::string& w) {
    return std::any_of(have.begin(), have.end(), [&](const std::string& h) { return startsWith(h, w); });
  });
}

// A query of phone-number characters with at least four digits; a '+' only
// in front, so "12 + 30" stays arithmetic.
std::optional<std::string> phoneQueryDigits(std::string_view query) {
  std::string digits;
  bool seenDigit = false;
  for (char c : query) {
    if (c >= '0' && c <= '9') {
      digits.push_back(c);
      seenDigit = true;
    } else if (c == '+') {
      if (seenDigit) return std::nullopt;
    } else if (c != ' ' && c != '-' && c != '(' && c != ')' && c != '.' && c != '/') {
      return std::nullopt;
    }
  }
  if (digits.size() < 4) return std::nullopt;
  return digits;
}

void reportFailure(const Error& error) {
  TelemetryService::errorOccurred("ContactSearchDataSource.performSearchFailed", "ContactSearchDataSource",
                                  error.description(),
                                  {{"domain", error.domain()}, {"code", std::to_string(error.code())}});
}

PermissionStatus permissionOf(ContactsAuthorizationStatus status) {
  switch (status) {
    case ContactsAuthorizationStatus::notDetermined:
      return PermissionStatus::notDetermined;
    case ContactsAuthorizationStatus::restricted:
      return PermissionStatus::restricted;
    case ContactsAuthorizationStatus::denied:
      return PermissionStatus::denied;
    case ContactsAuthorizationStatus::authorized:
      return PermissionStatus::authorized;
  }
  return PermissionStatus::denied;
}

// Reads the store; keeps `current` when the store holds the same contacts.
std::shared_ptr<const ContactSearchIndex> readIndex(ContactStore& store,
                                                    const std::shared_ptr<const ContactSearchIndex>& current) {
  const ContactsAuthorizationStatus status = store.authorizationStatus();
  std::vector<ContactRecord> contacts;
  if (status == ContactsAuthorizationStatus::authorized) {
    auto all = store.allContacts();
    if (!all.ok()) {
      Logger("ContactSearchDataSource").error("Contact search failed: %s", all.error().description().c_str());
      reportFailure(all.error());
      return current ? current : ContactSearchIndex::build(status, {});
    }
    contacts = std::move(all).value();
  }
  if (current && current->status == status && current->contacts == contacts) return current;
  return ContactSearchIndex::build(status, std::move(contacts));
}

}  // namespace

ContactSearchKeys ContactSearchKeys::of(const ContactRecord& c) {
  ContactSearchKeys keys;
  for (const std::string* name : {&c.formattedName, &c.givenName, &c.middleName, &c.familyName, &c.nickname}) {
    for (std::string& w : wordsOf(folded(*name))) keys.nameWords.push_back(std::move(w));
  }
  const std::string family = withoutSeparators(folded(c.familyName));
  const std::string given = withoutSeparators(folded(c.givenName));
  for (std::string compact : {family + given, given + family, withoutSeparators(folded(c.formattedName))}) {
    if (!compact.empty() &&
        std::find(keys.compactNames.begin(), keys.compactNames.end(), compact) == keys.compactNames.end()) {
      keys.compactNames.push_back(std::move(compact));
    }
  }
  for (const std::string* org : {&c.organizationName, &c.departmentName}) {
    for (std::string& w : wordsOf(folded(*org))) keys.organizationWords.push_back(std::move(w));
  }
  for (const LabeledValue& e : c.emailAddresses) keys.emailAddresses.push_back(asciiLowercase(trimWhitespace(e.value)));
  for (const LabeledValue& p : c.phoneNumbers) keys.phoneDigits.push_back(ContactMatcher::digits(p.value));
  return keys;
}

std::shared_ptr<const ContactSearchIndex> ContactSearchIndex::build(ContactsAuthorizationStatus status,
                                                                    std::vector<ContactRecord> contacts) {
  auto index = std::make_shared<ContactSearchIndex>();
  index->status = status;
  index->keys.reserve(contacts.size());
  for (const ContactRecord& c : contacts) index->keys.push_back(ContactSearchKeys::of(c));
  index->contacts = std::move(contacts);
  return index;
}

ContactQuery ContactQuery::of(const std::string& query) {
  ContactQuery q;
  const std::string_view trimmed = trimWhitespace(query);
  if (trimmed.empty()) return q;
  q.phoneDigits = phoneQueryDigits(trimmed);
  q.text = folded(trimmed);
  q.words = wordsOf(q.text);
  q.compact = withoutSeparators(q.text);
  // One Latin letter would match half the address book.
  q.matchesNothing = q.words.empty() || (codePoints(q.text) < 2 && isAsciiText(q.text));
  return q;
}

ContactMatch ContactSearchDataSource::match(const ContactSearchKeys& keys, const ContactRecord& contact,
                                            const ContactQuery& query) {
  if (query.matchesNothing) return {};
  if (const auto& digits = query.phoneDigits) {
    for (size_t i = 0; i < keys.phoneDigits.size(); ++i) {
      const bool within = keys.phoneDigits[i].find(*digits) != std::string::npos;
      const bool sameNumber = digits->size() >= 7 && ContactMatcher::matchesPhoneNumber(keys.phoneDigits[i], *digits);
      if (within || sameNumber) return {ContactMatchKind::phoneNumber, contact.phoneNumbers[i].value};
    }
    return {};
  }
  const std::string& text = query.text;
  if (text.find('@') != std::string::npos) {
    for (size_t i = 0; i < keys.emailAddresses.size(); ++i) {
      if (keys.emailAddresses[i].find(text) != std::string::npos) {
        return {ContactMatchKind::emailAddress, contact.emailAddresses[i].value};
      }
    }
    return {};
  }
  if (everyWordBeginsOneOf(query.words, keys.nameWords)) return {ContactMatchKind::name, ""};
  for (const std::string& name : keys.compactNames) {
    if (startsWith(name, query.compact)) return {ContactMatchKind::name, ""};
  }
  if (!keys.organizationWords.empty()) {
    std::vector<std::string> both = keys.nameWords;
    both.insert(both.end(), keys.organizationWords.begin(), keys.organizationWords.end());
    if (everyWordBeginsOneOf(query.words, both)) {
      std::string org = contact.organizationName.empty() ? contact.departmentName : contact.organizationName;
      return {ContactMatchKind::organization, org};
    }
  }
  if (query.words.size() == 1 && codePoints(text) >= 3) {
    for (size_t i = 0; i < keys.emailAddresses.size(); ++i) {
      if (startsWith(keys.emailAddresses[i], text)) {
        return {ContactMatchKind::emailAddress, contact.emailAddresses[i].value};
      }
    }
  }
  return {};
}

ContactSearchResult ContactSearchDataSource::resultFor(const ContactRecord& contact, const ContactMatch& match) {
  ContactSearchResult r;
  r.identifier = contact.identifier;
  r.name = formattedFullName(contact).value_or(kUnknownContactName);
  if (!match.matchedValue.empty()) {
    r.detail = match.matchedValue;
  } else if (!contact.phoneNumbers.empty()) {
    r.detail = contact.phoneNumbers.front().value;
  } else if (!contact.emailAddresses.empty()) {
    r.detail = contact.emailAddresses.front().value;
  } else {
    r.detail = contact.organizationName;
  }
  r.contact = contact;
  return r;
}

std::vector<ContactSearchResult> ContactSearchDataSource::search(const ContactSearchIndex& index,
                                                                 const std::string& query, size_t limit) {
  if (index.status != ContactsAuthorizationStatus::authorized) return {};
  struct Found {
    size_t position;
    ContactMatch match;
    std::string sortName;
  };
  const ContactQuery prepared = ContactQuery::of(query);
  if (prepared.matchesNothing) return {};
  std::vector<Found> found;
  for (size_t i = 0; i < index.contacts.size(); ++i) {
    ContactMatch m = match(index.keys[i], index.contacts[i], prepared);
    if (m.kind == ContactMatchKind::none) continue;
    found.push_back({i, std::move(m), folded(formattedFullName(index.contacts[i]).value_or(""))});
  }
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.match.kind != b.match.kind) return a.match.kind < b.match.kind;
    return a.sortName < b.sortName;
  });
  std::vector<ContactSearchResult> results;
  for (const Found& f : found) {
    if (results.size() == limit) break;
    results.push_back(resultFor(index.contacts[f.position], f.match));
  }
  return results;
}

ContactSearchDataSource::ContactSearchDataSource(Dependencies dependencies) : deps_(std::move(dependencies)) {
  refreshIndex();
}

ContactSearchDataSource::~ContactSearchDataSource() {
  inFlight_.cancel();
}

PermissionStatus ContactSearchDataSource::authorizationStatus() const {
  return deps_.store ? permissionOf(deps_.store->authorizationStatus()) : PermissionStatus::restricted;
}

void ContactSearchDataSource::requestAuthorization(std::function<void(bool)> completion) {
  auto store = deps_.store;
  if (!store) return completion(false);
  deps_.worker->post([store, main = deps_.mainRunner, completion = std::move(completion),
                      refresh = weak_.wrap([this] { refreshIndex(); })]() mutable {
    const bool granted = store->requestAccess();
    main->post([completion, refresh, granted]() mutable {
      if (granted) refresh();
      completion(granted);
    });
  });
}

void ContactSearchDataSource::installIndex(std::shared_ptr<const ContactSearchIndex> index) {
  index_ = std::move(index);
  refreshing_ = false;
}

void ContactSearchDataSource::refreshIndex() {
  auto store = deps_.store;
  if (!store) return;
  refreshing_ = true;
  indexReadAt_ = deps_.mainRunner->clock().now();
  deps_.worker->post([store, current = index_, main = deps_.mainRunner,
                      install = weak_.wrap([this](std::shared_ptr<const ContactSearchIndex> index) {
                        installIndex(std::move(index));
                      })]() mutable {
    auto index = readIndex(*store, current);
    main->post([install, index]() mutable { install(index); });
  });
}

bool ContactSearchDataSource::shouldHandle(const std::string& query) {
  if (!deps_.store) return false;
  if (!index_) {
    index_ = readIndex(*deps_.store, nullptr);
    indexReadAt_ = deps_.mainRunner->clock().now();
  } else if (!refreshing_ && deps_.mainRunner->clock().now() - indexReadAt_ >= kIndexRefreshInterval) {
    refreshIndex();
  }
  const ContactSearchIndex& index = *index_;
  if (index.status != ContactsAuthorizationStatus::authorized) return false;
  const ContactQuery prepared = ContactQuery::of(query);
  if (prepared.matchesNothing) return false;
  for (size_t i = 0; i < index.contacts.size(); ++i) {
    if (match(index.keys[i], index.contacts[i], prepared).kind != ContactMatchKind::none) return true;
  }
  return false;
}

void ContactSearchDataSource::performSearch(const std::string& query, SearchCompletion completion) {
  inFlight_.cancel();
  auto store = deps_.store;
  if (!store || authorizationStatus() != PermissionStatus::authorized) {
    completion(std::nullopt);
    return;
  }
  TaskHandle handle = TaskHandle::make();
  inFlight_ = handle;
  indexReadAt_ = deps_.mainRunner->clock().now();
  deps_.worker->post([store, query, handle, current = index_, main = deps_.mainRunner,
                      install = weak_.wrap(
                          [this](std::shared_ptr<const ContactSearchIndex> index) { installIndex(std::move(index)); }),
                      completion = std::move(completion)]() mutable {
    if (handle.isCancelled()) return;
    auto index = readIndex(*store, current);
    auto results = search(*index, query);
    main->post([handle, index, install, results = std::move(results), completion = std::move(completion)]() mutable {
      install(index);
      if (handle.isCancelled()) return;
      completion(results.empty() ? std::nullopt : std::optional<VCRDataSourceResult>(std::move(results)));
    });
  });
}

}  // namespace pallix
