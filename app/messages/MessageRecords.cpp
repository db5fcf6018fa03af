#include "app/messages/MessageRecords.h"

#include <cstring>

namespace pallix {
namespace {

// Characters a URL query may hold as they are (RFC 3986), without '#' and '%'
// which would change what the GUID means.
bool isQueryCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("-._~!$&'()*+,;=:@/?", c) != nullptr && c != 0;
}

bool isUnreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

std::string conversationURL(const std::string& messageGUID) {
  bool plain = !messageGUID.empty();
  for (unsigned char c : messageGUID) plain = plain && isQueryCharacter(c);
  if (plain) return "sms://open?message-guid=" + messageGUID;
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : messageGUID) {
    if (isUnreserved(c)) {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return "messages://open?guid=" + encoded;
}

}  // namespace pallix
