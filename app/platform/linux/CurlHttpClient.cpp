#include "app/platform/linux/CurlHttpClient.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "core/Strings.h"

namespace pallix {

namespace {

void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long milliseconds(Duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

}  // namespace

struct CurlHttpClient::Transfer {
  HttpRequest request;
  HttpCompletion completion;
  HttpProgress progress;
  TaskHandle handle;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string body;
  std::FILE* file = nullptr;
  bool tooLarge = false;
  bool writeFailed = false;
  int writeErrno = 0;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headers) curl_slist_free_all(headers);
    if (file) std::fclose(file);
  }

  static size_t write(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const size_t bytes = size * count;
    if (t->file) {
      if (std::fwrite(data, 1, bytes, t->file) != bytes) {
        t->writeFailed = true;
        t->writeErrno = errno;
        return 0;
      }
      return bytes;
    }
    if (t->body.size() + bytes > t->request.maxBodyBytes) {
      t->tooLarge = true;
      return 0;
    }
    t->body.append(data, bytes);
    return bytes;
  }

  static int progressed(void* self, curl_off_t expected, curl_off_t received, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(self);
    if (t->cancelled()) return 1;  // aborts the transfer
    if (t->progress && received > 0) t->progress(received, expected > 0 ? expected : -1);
    return 0;
  }

  bool cancelled() const { return handle.isCancelled() || request.cancellation.isCancelled(); }

  void finish(Result<HttpResponse> result) {
    auto done = std::move(completion);
    completion = nullptr;
    if (done) done(std::move(result));
  }
};

CurlHttpClient::CurlHttpClient(std::string userAgent) : userAgent_(std::move(userAgent)) {
  initializeCurlOnce();
  multi_ = curl_multi_init();
  thread_ = std::thread([this] { run(); });
}

CurlHttpClient::~CurlHttpClient() {
  stop_ = true;
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
  thread_.join();
  curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

TaskHandle CurlHttpClient::get(HttpRequest request, HttpCompletion completion, HttpProgress progress) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->completion = std::move(completion);
  transfer->progress = std::move(progress);
  transfer->handle = TaskHandle::make();
  TaskHandle handle = transfer->handle;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    incoming_.push_back(std::move(transfer));
  }
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
  return handle;
}

void CurlHttpClient::run() {
  auto* multi = static_cast<CURLM*>(multi_);
  std::map<CURL*, std::unique_ptr<Transfer>> active;

  auto start = [&](std::unique_ptr<Transfer> t) {
    const HttpRequest& r = t->request;
    if (!isWebURL(r.url)) {
      t->finish(httpError(HttpErrorCode::invalidURL, "\"" + r.url + "\" is not an http or https address"));
      return;
    }
    if (!r.destinationPath.empty()) {
      // Downloads land in the private data folder: 0600 whatever the umask.
      const int fd = ::open(r.destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd >= 0) ::fchmod(fd, 0600);
      t->file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
      if (!t->file && fd >= 0) ::close(fd);
      if (!t->file) {
        t->finish(httpError(HttpErrorCode::fileWriteFailed,
                            "Cannot write " + r.destinationPath + ": " + std::strerror(errno)));
        return;
      }
    }
    CURL* e = curl_easy_init();
    t->easy = e;
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    // A request made over https is never redirected to plain http.
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, startsWith(r.url, "https:") ? "https" : "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(r.connectTimeout));
    if (r.timeout > Duration::zero()) {
      curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, milliseconds(r.timeout));
    } else {
      // No overall limit (large downloads): give up on a connection stalled for 30 s instead.
      curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, 30L);
    }
    bool hasUserAgent = false;
    for (const auto& [name, value] : r.headers) {
      if (strcasecmp(name.c_str(), "User-Agent") == 0) hasUserAgent = true;
      t->headers = curl_slist_append(t->headers, (name + ": " + value).c_str());
    }
    if (!hasUserAgent) curl_easy_setopt(e, CURLOPT_USERAGENT, userAgent_.c_str());
    if (t->headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::write);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Transfer::progressed);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, t.get());
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
    curl_multi_add_handle(multi, e);
    active[e] = std::move(t);
  };

  auto complete = [&](CURL* e, CURLcode code) {
    auto it = active.find(e);
    if (it == active.end()) return;
    std::unique_ptr<Transfer> t = std::move(it->second);
    active.erase(it);
    curl_multi_remove_handle(multi, e);
    if (t->file) {
      if (std::fclose(t->file) != 0 && code == CURLE_OK) {
        t->writeFailed = true;
        t->writeErrno = errno;
      }
      t->file = nullptr;
    }
    const std::string& url = t->request.url;
    const std::string detail = t->errorBuffer[0] ? t->errorBuffer : curl_easy_strerror(code);
    if (t->cancelled() || code == CURLE_ABORTED_BY_CALLBACK) {
      t->finish(httpError(HttpErrorCode::cancelled, "The request to " + url + " was cancelled"));
    } else if (t->tooLarge) {
      t->finish(httpError(HttpErrorCode::bodyTooLarge, "The answer from " + url + " is larger than " +
                                                           std::to_string(t->request.maxBodyBytes) + " bytes"));
    } else if (t->writeFailed) {
      t->finish(httpError(HttpErrorCode::fileWriteFailed,
                          "Cannot write " + t->request.destinationPath + ": " + std::strerror(t->writeErrno)));
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
      t->finish(httpError(HttpErrorCode::timedOut, "The request to " + url + " timed out (" + detail + ")"));
    } else if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
               code == CURLE_COULDNT_RESOLVE_PROXY) {
      t->finish(httpError(HttpErrorCode::connectionFailed, "Could not connect to " + url + ": " + detail));
    } else if (code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL) {
      t->finish(httpError(HttpErrorCode::invalidURL, "\"" + url + "\" cannot be fetched: " + detail));
    } else if (code != CURLE_OK) {
      t->finish(httpError(HttpErrorCode::transferFailed, "The request to " + url + " failed: " + detail));
    } else {
      HttpResponse response;
      long status = 0;
      curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
      response.statusCode = static_cast<int>(status);
      char* type = nullptr;
      if (curl_easy_getinfo(e, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) response.contentType = type;
      curl_off_t retryAfter = 0;
      if (curl_easy_getinfo(e, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK && retryAfter > 0) {
        response.retryAfterSeconds = static_cast<int64_t>(retryAfter);
      }
      response.body = std::move(t->body);
      t->finish(std::move(response));
    }
  };

  while (!stop_) {
    std::vector<std::unique_ptr<Transfer>> arrived;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      arrived.swap(incoming_);
    }
    for (auto& t : arrived) {
      if (t->cancelled()) {
        t->finish(httpError(HttpErrorCode::cancelled, "The request to " + t->request.url + " was cancelled"));
        continue;
      }
      start(std::move(t));
    }
    // Cancelled transfers that curl is not calling back for (waiting on a silent server) end here.
    std::vector<CURL*> cancelled;
    for (auto& [e, t] : active) {
      if (t->cancelled()) cancelled.push_back(e);
    }
    for (CURL* e : cancelled) complete(e, CURLE_ABORTED_BY_CALLBACK);

    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE) complete(message->easy_handle, message->data.result);
    }
    curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  for (auto& [e, t] : active) {
    curl_multi_remove_handle(multi, e);
    t->finish(httpError(HttpErrorCode::cancelled, "The request to " + t->request.url + " was cancelled"));
  }
  std::vector<std::unique_ptr<Transfer>> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(incoming_);
  }
  for (auto& t : left) {
    t->finish(httpError(HttpErrorCode::cancelled, "The request to " + t->request.url + " was cancelled"));
  }
}

}  // namespace pallix
