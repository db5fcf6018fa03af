// VCard: reads vCard 2.1, 3.0 and 4.0 text into contact records.
//
// One text may hold many cards. Handled: folded lines (a line that begins
// with a space or tab continues the previous one), CRLF or LF line ends, a
// UTF-8 byte-order mark, property groups ("item1.TEL"), quoted parameter
// values, backslash escapes, quoted-printable values with soft line breaks
// (2.1), the CHARSET parameter (any character set ICU converts, applied
// after quoted-printable decoding; an unknown one, or bytes that do not fit
// it, are read as UTF-8 when they are UTF-8 and as Latin-1 otherwise, with a
// problem noted), text without CHARSET that is not UTF-8 (read as Latin-1),
// and the properties FN, N, NICKNAME, ORG, TEL (also "tel:" URIs),
// EMAIL, URL, UID and PHOTO (inline base64 as "ENCODING=b"/"BASE64" or a
// "data:" URI; photos by reference are ignored). Anything else is skipped.
// What could not be read is reported as a problem; the readable cards are
// kept. Pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/ContactStore.h"

namespace pallix {

struct VCardParseResult {
  std::vector<ContactRecord> contacts;
  // Human-readable notes ("line 12: no ':' in the line"), in file order.
  std::vector<std::string> problems;
};

// `sourceName` prefixes identifiers of cards without a UID ("family.vcf#3").
VCardParseResult parseVCards(std::string_view text, const std::string& sourceName);

// Standard base64 (whitespace ignored, padding optional); nullopt on any
// other character.
std::optional<std::string> decodeBase64(std::string_view text);
// Standard base64 with padding.
std::string encodeBase64(std::string_view bytes);

}  // namespace pallix
