#include "app/sources/WikipediaDataSource.h"

#include <nlohmann/json.hpp>

#include "app/intelligence/IntelligenceText.h"
#include "core/Telemetry.h"

namespace pallix {

namespace {

std::string stringField(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// An "Image" or icon value as a URL: absolute values as they are, paths on the web origin.
std::optional<std::string> imageURL(const std::string& value, const std::string& webOrigin) {
  if (value.empty()) return std::nullopt;
  if (value.rfind("http", 0) == 0) return value;
  std::string origin = webOrigin;
  while (!origin.empty() && origin.back() == '/') origin.pop_back();
  return origin + (value.front() == '/' ? "" : "/") + value;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The last path component of a URL, percent-decoded.
std::string lastPathComponent(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  while (!path.empty() && path.back() == '/') path.pop_back();
  const std::string raw = path.substr(path.rfind('/') + 1);
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size() && hexValue(raw[i + 1]) >= 0 && hexValue(raw[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(raw[i + 1]) * 16 + hexValue(raw[i + 2])));
      i += 2;
    } else {
      out.push_back(raw[i]);
    }
  }
  return out;
}

}  // namespace

WikipediaDataSource::WikipediaDataSource(std::shared_ptr<HttpClient> http, TaskRunnerPtr mainRunner,
                                         Configuration configuration)
    : http_(std::move(http)), main_(std::move(mainRunner)), configuration_(std::move(configuration)) {}

WikipediaDataSource::~WikipediaDataSource() {
  cancelActiveQuery();
}

bool WikipediaDataSource::shouldHandle(const std::string& query) {
  return intelligence::trimmed(query).size() >= kMinimumQueryLength;
}

void WikipediaDataSource::cancelActiveQuery() {
  activeTask_.cancel();
  activeTransfer_.cancel();
  activeTask_ = TaskHandle();
  activeTransfer_ = TaskHandle();
}

Result<std::string> WikipediaDataSource::requestURL(const std::string& baseURL, const std::string& trimmedQuery) {
  auto url =
      buildURL(baseURL, "/", {{"q", trimmedQuery}, {"format", "json"}, {"no_html", "1"}, {"skip_disambig", "1"}});
  if (!url.ok()) return Error(kErrorDomain, 1, "Failed to construct DuckDuckGo API URL");
  return url;
}

Result<std::optional<WikipediaArticle>> WikipediaDataSource::parseAnswer(std::string_view body,
                                                                         const std::string& query,
                                                                         const std::string& webOrigin) {
  nlohmann::json answer = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded() || !answer.is_object()) {
    return Error(kErrorDomain, 3, "The DuckDuckGo API answer could not be decoded (malformed JSON)");
  }
  const std::string heading = stringField(answer, "Heading");
  const std::string text = stringField(answer, "AbstractText");
  const std::string url = stringField(answer, "AbstractURL");
  if (stringField(answer, "Type") == "A" && stringField(answer, "AbstractSource") == "Wikipedia" && !heading.empty() &&
      !text.empty() && isWebURL(url)) {
    return std::optional<WikipediaArticle>(
        WikipediaArticle{heading, text, url, imageURL(stringField(answer, "Image"), webOrigin), query});
  }
  auto topics = answer.find("RelatedTopics");
  if (topics != answer.end() && topics->is_array()) {
    for (const auto& topic : *topics) {
      if (!topic.is_object()) continue;
      const std::string firstURL = stringField(topic, "FirstURL");
      const std::string topicText = stringField(topic, "Text");
      if (firstURL.find("wikipedia.org") == std::string::npos || topicText.empty() || !isWebURL(firstURL)) continue;
      std::optional<std::string> thumbnail;
      if (auto icon = topic.find("Icon"); icon != topic.end() && icon->is_object()) {
        thumbnail = imageURL(stringField(*icon, "URL"), webOrigin);
      }
      return std::optional<WikipediaArticle>(
          WikipediaArticle{lastPathComponent(firstURL), topicText, firstURL, thumbnail, query});
    }
  }
  return std::optional<WikipediaArticle>();
}

void WikipediaDataSource::fail(const Error& error) {
  logger_.error("Wikipedia search failed: %s", error.description().c_str());
  TelemetryService::errorOccurred("WikipediaDataSource.searchFailed", "WikipediaDataSource", error.description(),
                                  errorTelemetryParameters(error));
}

void WikipediaDataSource::search(const std::string& query,
                                 std::function<void(std::optional<WikipediaArticle>)> completion) {
  const std::string text = intelligence::trimmed(query);
  if (text.size() < kMinimumQueryLength) {
    completion(std::nullopt);
    return;
  }
  cancelActiveQuery();
  auto url = requestURL(configuration_.baseURL, text);
  if (!url.ok()) {
    fail(url.error());
    completion(std::nullopt);
    return;
  }
  TaskHandle task = TaskHandle::make();
  activeTask_ = task;
  HttpRequest request;
  request.url = url.value();
  request.headers = {{"Accept", "application/json"}};
  request.timeout = configuration_.timeout;
  request.maxBodyBytes = configuration_.maxBodyBytes;
  auto finish = weak_.wrap([this, task, text, completion](Result<HttpResponse> response) {
    if (task.isCancelled()) return;
    activeTask_ = TaskHandle();
    activeTransfer_ = TaskHandle();
    if (!response.ok()) {
      if (!isHttpCancellation(response.error())) fail(response.error());
      completion(std::nullopt);
      return;
    }
    if (response->statusCode != 200) {
      fail(Error(kErrorDomain, 2, "DuckDuckGo API returned non-200 status"));
      completion(std::nullopt);
      return;
    }
    auto article = parseAnswer(response->body, text, configuration_.webOrigin);
    if (!article.ok()) {
      fail(article.error());
      completion(std::nullopt);
      return;
    }
    completion(std::move(article).value());
  });
  activeTransfer_ = http_->get(std::move(request), [main = main_, finish](Result<HttpResponse> response) mutable {
    main->post([finish, response = std::move(response)]() mutable { finish(std::move(response)); });
  });
}

void WikipediaDataSource::performSearch(const std::string& query, SearchCompletion completion) {
  search(query, [completion = std::move(completion)](std::optional<WikipediaArticle> article) {
    completion(article ? std::optional<VCRDataSourceResult>(*article) : std::nullopt);
  });
}

}  // namespace pallix
