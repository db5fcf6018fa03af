// HttpClient: the one way Pallix talks to web services (forecasts, place
// search, the instant-answer API, model downloads).
//
// A request is a GET with a connect time-out, a whole-transfer time-out and a
// cap on the body kept in memory; a download writes the body to a file
// instead. Cancelling the returned handle aborts the transfer.
//
// Threading: get() may be called from any thread. The completion is called
// exactly once, on a thread of the client (callers hop to their own runner);
// progress is called on that thread as bytes arrive. CurlHttpClient (linux/)
// is the real client; FakeHttpClient answers from the test's script in
// virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Clock.h"
#include "core/Error.h"
#include "core/TaskRunner.h"

namespace pallix {

struct HttpRequest {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  Duration connectTimeout = std::chrono::seconds(2);
  // The whole transfer; zero means none (downloads stop on a stalled connection instead).
  Duration timeout = std::chrono::seconds(8);
  // A body larger than this fails with bodyTooLarge (in-memory answers only).
  size_t maxBodyBytes = 4u << 20;
  // Non-empty: the body is written to this file (created or truncated) and not kept in memory.
  std::string destinationPath;
  // Aborts the transfer as cancelling the returned handle does (for callers
  // whose own handle exists before the request is sent).
  CancellationToken cancellation;
};

struct HttpResponse {
  int statusCode = 0;
  std::string body;  // empty for downloads
  std::string contentType;
  // The server's Retry-After (seconds, or a date turned into seconds from now), when it sent one.
  std::optional<int64_t> retryAfterSeconds;
};

inline constexpr const char* kHttpClientErrorDomain = "HttpClientError";
enum class HttpErrorCode {
  invalidURL = 1,
  connectionFailed = 2,
  timedOut = 3,
  bodyTooLarge = 4,
  cancelled = 5,
  transferFailed = 6,
  fileWriteFailed = 7,
};
Error httpError(HttpErrorCode code, std::string description);
bool isHttpCancellation(const Error& error);

using HttpCompletion = std::function<void(Result<HttpResponse>)>;
// Bytes received so far and the expected total (-1 when unknown).
using HttpProgress = std::function<void(int64_t received, int64_t expected)>;

class HttpClient {
 public:
  virtual ~HttpClient() = default;
  virtual TaskHandle get(HttpRequest request, HttpCompletion completion, HttpProgress progress = {}) = 0;
};

// One query item of a URL; values are percent-encoded by buildURL.
struct QueryItem {
  std::string name;
  std::string value;
};

// Percent-encodes everything but the unreserved characters A-Z a-z 0-9 - . _ ~.
std::string percentEncode(std::string_view text);
// `base` (scheme and host, optionally a path prefix; a trailing "/" is
// ignored) + `path` + "?" + the encoded items in order. An empty or
// non-http(s) base gives an error naming it.
Result<std::string> buildURL(std::string_view base, std::string_view path, const std::vector<QueryItem>& items);
// "scheme://host[:port]" of an http(s) URL; nullopt for anything else.
std::optional<std::string> urlOrigin(std::string_view url);
// True for an absolute http or https URL with a host.
bool isWebURL(std::string_view url);

}  // namespace pallix
