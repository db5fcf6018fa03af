// The encyclopedia source against hand-written instant-answer replies: which
// answers become an article, the request it sends, failures and
// cancellation.
#include "app/sources/WikipediaDataSource.h"
#include "tests/sources/SourcesTestSupport.h"

namespace pallix {
namespace {

using namespace testing_support;

class WikipediaDataSourceTest : public SourcesFixture {
 protected:
  // Searches `query` with `replies` and returns what the source answered (nullopt: never called back).
  std::optional<std::optional<WikipediaArticle>> ask(const std::string& query, std::vector<Route> replies) {
    route(*http, std::move(replies));
    std::optional<std::optional<WikipediaArticle>> answer;
    source.search(query, [&](std::optional<WikipediaArticle> a) { answer = std::move(a); });
    settle();
    return answer;
  }
  WikipediaDataSource source{
      http,
      env.mainRunner(),
      {.baseURL = "http://127.0.0.1:9/", .webOrigin = "https://ddg.example", .maxBodyBytes = 4096}};
};

TEST_F(WikipediaDataSourceTest, AnswersBecomeArticlesOnlyFromWikipedia) {
  struct Case {
    const char* name;
    std::string body;
    std::optional<WikipediaArticle> expected;
  };
  const std::vector<Case> cases = {
      {"main abstract, relative image on the web origin", sourceFixture("instant-answer-article.json"),
       WikipediaArticle{
           "Ada Lovelace",
           "Augusta Ada King, Countess of Lovelace was an English mathematician and writer, chiefly known "
           "for her work on Charles Babbage's proposed mechanical general-purpose computer, the Analytical "
           "Engine.",
           "https://en.wikipedia.org/wiki/Ada_Lovelace", "https://ddg.example/i/ada-lovelace.jpg", "ada lovelace"}},
      {"disambiguation with a Wikipedia related topic, absolute icon",
       sourceFixture("instant-answer-disambiguation.json"),
       WikipediaArticle{
           "Mercury_(planet)", "Mercury (planet) - The smallest planet in the Solar System and the closest to the Sun.",
           "https://en.wikipedia.org/wiki/Mercury_(planet)", "https://upload.example/mercury.png", "ada lovelace"}},
      {"another source and no Wikipedia topic", sourceFixture("instant-answer-other-source.json"), std::nullopt},
      {"every field missing", "{}", std::nullopt},
      {"a Wikipedia abstract without heading", R"({"Type":"A","AbstractSource":"Wikipedia","AbstractText":"x",
         "AbstractURL":"https://en.wikipedia.org/wiki/X"})",
       std::nullopt},
  };
  for (const Case& c : cases) {
    auto answer = ask("  ada lovelace ", {ok("/?q=", c.body)});
    ASSERT_TRUE(answer) << c.name;
    EXPECT_EQ(*answer, c.expected) << c.name;
  }
  EXPECT_TRUE(errorsReported(telemetry, "WikipediaDataSource.searchFailed").empty());
}

TEST_F(WikipediaDataSourceTest, RequestCarriesTheTrimmedQueryAndAOneCharacterQuerySendsNothing) {
  auto answer = ask(" a ", {ok("/", "{}")});
  ASSERT_TRUE(answer);
  EXPECT_FALSE(*answer);
  ask("  ada lovelace ", {ok("/", "{}")});
  EXPECT_EQ(http->urls(),
            std::vector<std::string>{"http://127.0.0.1:9/?q=ada%20lovelace&format=json&no_html=1&skip_disambig=1"});
}

TEST_F(WikipediaDataSourceTest, FailuresGiveNothingAndAreReportedOnce) {
  struct Case {
    const char* name;
    Route reply;
    const char* message;  // in the reported signal
  };
  const std::vector<Case> cases = {
      {"non-200", status("/", 503), "DuckDuckGo API returned non-200 status"},
      {"malformed JSON", ok("/", "{\"Heading\": \"Ada"), "malformed JSON"},
      {"huge body", ok("/", std::string(5000, ' ') + "{}"), "larger than 4096 bytes"},
      {"network error", {"/", Result<HttpResponse>(httpError(HttpErrorCode::connectionFailed, "refused"))}, "refused"},
  };
  for (const Case& c : cases) {
    telemetry.sink().clear();
    auto answer = ask("ada lovelace", {c.reply});
    ASSERT_TRUE(answer) << c.name;
    EXPECT_FALSE(*answer) << c.name;
    auto failures = errorsReported(telemetry, "WikipediaDataSource.searchFailed");
    ASSERT_EQ(failures.size(), 1u) << c.name;
    EXPECT_NE(failures[0].message.find(c.message), std::string::npos) << c.name << ": " << failures[0].message;
    EXPECT_TRUE(failures[0].parameters.count("errorDomain") && failures[0].parameters.count("errorCode")) << c.name;
  }
}

TEST_F(WikipediaDataSourceTest, NewerSearchCancelsTheSlowOne) {
  route(*http, {silent("q=slow"), ok("q=ada", sourceFixture("instant-answer-article.json"))});
  int slowAnswers = 0;
  std::optional<WikipediaArticle> fast;
  source.search("slow topic", [&](std::optional<WikipediaArticle>) { ++slowAnswers; });
  env.advanceBy(std::chrono::seconds(1));
  EXPECT_EQ(http->pendingCount(), 1u);
  source.search("ada lovelace", [&](std::optional<WikipediaArticle> a) { fast = std::move(a); });
  settle();
  http->deliverCancellations();
  settle();
  ASSERT_TRUE(fast);
  EXPECT_EQ(fast->title, "Ada Lovelace");
  EXPECT_EQ(slowAnswers, 0);
  EXPECT_EQ(http->pendingCount(), 0u) << "the slow request was cancelled";
  EXPECT_TRUE(errorsReported(telemetry, "WikipediaDataSource.searchFailed").empty()) << "a cancellation is no failure";
}

}  // namespace
}  // namespace pallix
