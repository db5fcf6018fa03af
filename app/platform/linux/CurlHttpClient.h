// CurlHttpClient: HttpClient over libcurl. One thread drives every transfer
// through a curl multi handle, so concurrent requests of the remote sources
// share it and a slow server delays nobody else. Only http and https are
// allowed (redirects included); the connect time-out bounds how long an
// unreachable network can hold a source.
//
// Threading: get() may be called from any thread. Completions and progress
// run on the client's thread; keep them short (post to your own runner).
// Destruction cancels the transfers in flight (their completions get
// `cancelled`) and joins the thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/platform/HttpClient.h"

namespace pallix {

class CurlHttpClient final : public HttpClient {
 public:
  // `userAgent` identifies Pallix to the services ("Pallix/0.1.0 (...)").
  explicit CurlHttpClient(std::string userAgent);
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  TaskHandle get(HttpRequest request, HttpCompletion completion, HttpProgress progress = {}) override;

  struct Transfer;

 private:
  void run();

  std::string userAgent_;
  void* multi_ = nullptr;  // CURLM*
  std::mutex mutex_;
  std::vector<std::unique_ptr<Transfer>> incoming_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace pallix
