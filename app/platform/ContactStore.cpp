#include "app/platform/ContactStore.h"

#include <unicode/unistr.h>

#include <optional>
#include <string_view>

#include "core/Strings.h"

namespace pallix {
namespace {

std::string foldCase(std::string_view text) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
      .foldCase()
      .toUTF8String(out);
  return out;
}

// Splits on ASCII whitespace and common name punctuation.
std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::string current;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '-' || c == '.') {
      if (!current.empty()) out.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

template <typename Match>
std::vector<ContactRecord> filter(const std::vector<ContactRecord>& all, Match match) {
  std::vector<ContactRecord> out;
  for (const ContactRecord& c : all) {
    if (match(c)) out.push_back(c);
  }
  return out;
}

}  // namespace

const char* rawValue(ContactsAuthorizationStatus status) {
  switch (status) {
    case ContactsAuthorizationStatus::notDetermined:
      return "notDetermined";
    case ContactsAuthorizationStatus::restricted:
      return "restricted";
    case ContactsAuthorizationStatus::denied:
      return "denied";
    case ContactsAuthorizationStatus::authorized:
      return "authorized";
  }
  return "notDetermined";
}

std::optional<std::string> formattedFullName(const ContactRecord& contact) {
  std::string fn(trimWhitespace(contact.formattedName));
  if (!fn.empty()) return fn;
  std::vector<std::string> parts;
  for (const std::string* part :
       {&contact.namePrefix, &contact.givenName, &contact.middleName, &contact.familyName, &contact.nameSuffix}) {
    std::string_view piece = trimWhitespace(*part);
    if (!piece.empty()) parts.emplace_back(piece);
  }
  if (!parts.empty()) return joinStrings(parts, " ");
  std::string org(trimWhitespace(contact.organizationName));
  if (!org.empty()) return org;
  return std::nullopt;
}

bool ContactMatcher::matchesName(const ContactRecord& contact, std::string_view query) {
  std::vector<std::string> wanted = words(foldCase(query));
  if (wanted.empty()) return false;
  std::vector<std::string> have;
  for (const std::string* name :
       {&contact.formattedName, &contact.givenName, &contact.middleName, &contact.familyName, &contact.nickname}) {
    for (std::string& w : words(foldCase(*name))) have.push_back(std::move(w));
  }
  for (const std::string& w : wanted) {
    bool found = false;
    for (const std::string& h : have) {
      if (startsWith(h, w)) {
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

std::string ContactMatcher::digits(std::string_view number) {
  std::string out;
  for (char c : number) {
    if (c >= '0' && c <= '9') out.push_back(c);
  }
  return out;
}

namespace {

// The digits of a number written without its country code, as they follow
// the country code in the international form: after the trunk 0 of a
// national form ("06 12 34 56 78" for "+33 6 12 34 56 78"; seven digits at
// least), or all of a number of nine digits or more that has none ("612 345
// 678" for "+34 612 345 678"); shorter ones are local numbers, too ambiguous.
std::optional<std::string_view> nationalSignificantDigits(std::string_view digits) {
  if (digits.starts_with("00")) return std::nullopt;
  if (digits.starts_with("0")) return digits.size() >= 8 ? std::optional(digits.substr(1)) : std::nullopt;
  return digits.size() >= 9 ? std::optional(digits) : std::nullopt;
}

// `international` is a country code of one to three digits followed by `national`.
bool isInternationalFormOf(std::string_view international, std::string_view national) {
  if (international.starts_with("00")) international.remove_prefix(2);
  if (international.empty() || international[0] == '0' || international.size() <= national.size()) return false;
  return international.size() - national.size() <= 3 && international.ends_with(national);
}

}  // namespace

bool ContactMatcher::matchesPhoneNumber(std::string_view a, std::string_view b) {
  std::string da = digits(a), db = digits(b);
  if (da.empty() || db.empty()) return false;
  if (da == db) return true;
  if (da.size() >= 10 && db.size() >= 10 && da.compare(da.size() - 10, 10, db, db.size() - 10, 10) == 0) return true;
  const auto na = nationalSignificantDigits(da), nb = nationalSignificantDigits(db);
  return (na && isInternationalFormOf(db, *na)) || (nb && isInternationalFormOf(da, *nb));
}

bool ContactMatcher::matchesEmailAddress(std::string_view a, std::string_view b) {
  std::string_view ta = trimWhitespace(a), tb = trimWhitespace(b);
  return !ta.empty() && asciiLowercase(ta) == asciiLowercase(tb);
}

std::vector<ContactRecord> ContactMatcher::byName(const std::vector<ContactRecord>& all, std::string_view query) {
  return filter(all, [&](const ContactRecord& c) { return matchesName(c, query); });
}

std::vector<ContactRecord> ContactMatcher::byPhoneNumber(const std::vector<ContactRecord>& all,
                                                         std::string_view number) {
  return filter(all, [&](const ContactRecord& c) {
    for (const LabeledValue& phone : c.phoneNumbers) {
      if (matchesPhoneNumber(phone.value, number)) return true;
    }
    return false;
  });
}

std::vector<ContactRecord> ContactMatcher::byEmailAddress(const std::vector<ContactRecord>& all,
                                                          std::string_view email) {
  return filter(all, [&](const ContactRecord& c) {
    for (const LabeledValue& address : c.emailAddresses) {
      if (matchesEmailAddress(address.value, email)) return true;
    }
    return false;
  });
}

}  // namespace pallix
