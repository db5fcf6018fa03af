#include "app/platform/HttpClient.h"

namespace pallix {

namespace {

ErrorCode canonicalCode(HttpErrorCode code) {
  switch (code) {
    case HttpErrorCode::invalidURL:
      return ErrorCode::invalidArgument;
    case HttpErrorCode::cancelled:
      return ErrorCode::cancelled;
    case HttpErrorCode::connectionFailed:
    case HttpErrorCode::timedOut:
    case HttpErrorCode::transferFailed:
    case HttpErrorCode::fileWriteFailed:
      return ErrorCode::unavailable;
    case HttpErrorCode::bodyTooLarge:
      return ErrorCode::invalidArgument;
  }
  return ErrorCode::internal;
}

}  // namespace

Error httpError(HttpErrorCode code, std::string description) {
  return Error(kHttpClientErrorDomain, static_cast<int>(code), std::move(description), canonicalCode(code));
}

bool isHttpCancellation(const Error& error) {
  return error.domain() == kHttpClientErrorDomain && error.canonical() == ErrorCode::cancelled;
}

std::string percentEncode(std::string_view text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

bool isWebURL(std::string_view url) {
  return urlOrigin(url).has_value();
}

std::optional<std::string> urlOrigin(std::string_view url) {
  size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  std::string scheme(url.substr(0, schemeEnd));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  const size_t hostStart = schemeEnd + 3;
  size_t hostEnd = url.find_first_of("/?#", hostStart);
  if (hostEnd == std::string_view::npos) hostEnd = url.size();
  std::string_view host = url.substr(hostStart, hostEnd - hostStart);
  if (host.empty() || host.find_first_of(" \t\r\n") != std::string_view::npos) return std::nullopt;
  return scheme + "://" + std::string(host);
}

Result<std::string> buildURL(std::string_view base, std::string_view path, const std::vector<QueryItem>& items) {
  std::string root(base);
  while (!root.empty() && root.back() == '/') root.pop_back();
  if (!isWebURL(root)) {
    return httpError(HttpErrorCode::invalidURL, "\"" + std::string(base) + "\" is not an http or https address");
  }
  std::string url = root;
  if (!path.empty() && path.front() != '/') url += '/';
  url += path;
  for (size_t i = 0; i < items.size(); ++i) {
    url += i == 0 ? '?' : '&';
    url += percentEncode(items[i].name) + "=" + percentEncode(items[i].value);
  }
  return url;
}

}  // namespace pallix
