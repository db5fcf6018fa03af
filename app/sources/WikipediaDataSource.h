// WikipediaDataSource: the encyclopedia source (identifier `wikipedia`). It
// asks the instant-answer web API for a query and keeps only answers that
// come from Wikipedia: the main abstract, or else the first related topic
// that links to Wikipedia.
//
// The API's root and the web origin that relative image paths hang off are
// configuration ("WikipediaDataSource.baseURL", "WikipediaDataSource.webOrigin").
//
// Threading: called on the main runner; HTTP answers hop back to it. At most
// one lookup is in flight: a new search cancels the previous one.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/intelligence/DataSource.h"
#include "app/platform/HttpClient.h"
#include "core/Logger.h"

namespace pallix {

class WikipediaDataSource final : public VCRDataSource {
 public:
  static constexpr const char* kBaseURLKey = "WikipediaDataSource.baseURL";
  static constexpr const char* kDefaultBaseURL = "https://api.duckduckgo.com";
  static constexpr const char* kWebOriginKey = "WikipediaDataSource.webOrigin";
  static constexpr const char* kDefaultWebOrigin = "https://duckduckgo.com";
  static constexpr size_t kMinimumQueryLength = 2;
  static constexpr const char* kErrorDomain = "WikipediaDataSourceError";

  struct Configuration {
    std::string baseURL = kDefaultBaseURL;
    std::string webOrigin = kDefaultWebOrigin;
    Duration timeout = std::chrono::seconds(6);
    size_t maxBodyBytes = 1u << 20;
  };

  WikipediaDataSource(std::shared_ptr<HttpClient> http, TaskRunnerPtr mainRunner, Configuration configuration);
  ~WikipediaDataSource() override;

  VCRDataSourceIdentifier identifier() const override { return VCRDataSourceIdentifier::wikipedia; }
  bool shouldHandle(const std::string& query) override;
  void performSearch(const std::string& query, SearchCompletion completion) override;
  void cancelActiveQuery() override;
  void reset() override { cancelActiveQuery(); }

  // The article for `query`, or none (short query, no Wikipedia answer, failure, cancellation).
  void search(const std::string& query, std::function<void(std::optional<WikipediaArticle>)> completion);

  // The request URL for a trimmed query: the root, "/", then q, format, no_html, skip_disambig.
  static Result<std::string> requestURL(const std::string& baseURL, const std::string& trimmedQuery);
  // The article an answer body holds, if any; malformed JSON is an error.
  static Result<std::optional<WikipediaArticle>> parseAnswer(std::string_view body, const std::string& query,
                                                             const std::string& webOrigin);

 private:
  void fail(const Error& error);

  std::shared_ptr<HttpClient> http_;
  TaskRunnerPtr main_;
  Configuration configuration_;
  TaskHandle activeTask_;
  TaskHandle activeTransfer_;
  Logger logger_{"WikipediaDataSource"};
  WeakGuard weak_;
};

}  // namespace pallix
