#include "app/platform/HttpClient.h"

#include <fstream>

namespace pallix {

Error httpError(HttpErrorCode code, std::string description) {
  return Error(kHttpClientErrorDomain, static_cast<int>(code), std::move(description));
}

bool isHttpCancellation(const Error& error) {
  return error.domain() == kHttpClientErrorDomain && error.code() == static_cast<int>(HttpErrorCode::cancelled);
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

TaskHandle FakeHttpClient::get(HttpRequest request, HttpCompletion completion, HttpProgress progress) {
  std::optional<Result<HttpResponse>> answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    answer = script_ ? script_(request) : std::optional<Result<HttpResponse>>(HttpResponse{404, "", ""});
    ++*pending_;
  }
  TaskHandle handle = TaskHandle::make();
  auto pending = pending_;
  auto done = std::make_shared<bool>(false);
  auto deliver = [pending, done, completion](Result<HttpResponse> result) {
    if (*done) return;
    *done = true;
    --*pending;
    completion(std::move(result));
  };
  if (!answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    hung_.push_back(Hung{handle, request.cancellation, deliver});
    return handle;
  }
  runner_->postDelayed(delay_, [handle, deliver, progress, request, answer = std::move(*answer)]() mutable {
    if (handle.isCancelled() || request.cancellation.isCancelled()) {
      deliver(httpError(HttpErrorCode::cancelled, "The request was cancelled"));
      return;
    }
    if (answer.ok() && !request.destinationPath.empty()) {
      std::ofstream out(request.destinationPath, std::ios::binary | std::ios::trunc);
      out << answer.value().body;
      if (progress)
        progress(static_cast<int64_t>(answer.value().body.size()), static_cast<int64_t>(answer.value().body.size()));
      answer.value().body.clear();
    } else if (answer.ok() && answer.value().body.size() > request.maxBodyBytes) {
      answer = httpError(HttpErrorCode::bodyTooLarge, "The answer from " + request.url + " is larger than " +
                                                          std::to_string(request.maxBodyBytes) + " bytes");
    }
    deliver(std::move(answer));
  });
  return handle;
}

void FakeHttpClient::respondWith(int status, std::string body) {
  setScript([status, body](const HttpRequest&) -> std::optional<Result<HttpResponse>> {
    return Result<HttpResponse>(HttpResponse{status, body, "application/json"});
  });
}

std::vector<std::string> FakeHttpClient::urls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& r : requests_) out.push_back(r.url);
  return out;
}

size_t FakeHttpClient::pendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t cancelledHung = 0;
  for (const auto& h : hung_) cancelledHung += h.cancelled();
  return *pending_ - cancelledHung;
}

void FakeHttpClient::deliverCancellations() {
  std::vector<Hung> cancelled;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = hung_.begin(); it != hung_.end();) {
      if (it->cancelled()) {
        cancelled.push_back(std::move(*it));
        it = hung_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& h : cancelled) h.deliver(httpError(HttpErrorCode::cancelled, "The request was cancelled"));
}

}  // namespace pallix
