// sources_bench: latency of the local intelligence sources with real
// executors and the real clock (no virtual time), as the panel meets them.
//
//   settled search: from runSettledSearch to the last local widget state
//     (calculator, contacts, calendar, dictionary no longer loading), with
//     1,000 contacts and 5,000 calendar events (4,500 single, 500 weekly,
//     in .ics files read by libical), the dictionary over WordNet and the
//     calculator. Goal: p95 under 30 ms.
//   dictionary look-up: one WordNet definition through the dictionary
//     source. Goal: p95 under 5 ms.
//
// The contacts source is a stand-in (an in-memory name match on its own
// executor) until the vCard contacts source lands.
// Usage: sources_bench [ROUNDS]   (default 20 rounds over the query list)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "app/intelligence/CalculatorSourceAdapter.h"
#include "app/intelligence/IntelligenceCoordinator.h"
#include "app/intelligence/IntelligenceText.h"
#include "app/intelligence/PanelIntelligenceStore.h"
#include "app/platform/linux/IcsCalendarStore.h"
#include "app/platform/linux/WordNetDictionary.h"
#include "app/sources/CalendarSearchDataSource.h"
#include "app/sources/DictionaryDataSource.h"
#include "bench/support/BenchStats.h"
#include "core/RunLoop.h"

using namespace pallix;
using Steady = std::chrono::steady_clock;
using Id = VCRDataSourceIdentifier;

namespace {

const char* const kWords[] = {"standup",   "review", "dentist", "lunch",   "planning", "retro", "dinner",   "yoga",
                              "interview", "demo",   "budget",  "offsite", "sync",     "call",  "workshop", "training"};
const char* const kFirst[] = {"anna", "ben", "carla", "daniel", "elena", "felix", "greta", "hugo", "ines", "jonas"};
const char* const kLast[] = {"smith",  "müller", "garcia", "rossi", "dubois",
                             "nguyen", "kim",    "novak",  "silva", "cohen"};

// Stand-in contacts: 1,000 names matched by word prefix on a worker.
class BenchContacts final : public PermissionedSource {
 public:
  BenchContacts(TaskRunnerPtr worker, TaskRunnerPtr main) : worker_(std::move(worker)), main_(std::move(main)) {
    for (int i = 0; i < 1000; ++i) {
      names_.push_back(std::string(kFirst[i % 10]) + " " + kLast[(i / 10) % 10] + " " + std::to_string(i));
    }
  }
  VCRDataSourceIdentifier identifier() const override { return Id::contacts; }
  bool shouldHandle(const std::string& q) override { return q.size() >= 3 && q.find("def") == std::string::npos; }
  void performSearch(const std::string& query, SearchCompletion completion) override {
    worker_->post([this, query, completion] {
      const std::string folded = intelligence::foldAndLowercase(query);
      std::vector<ContactSearchResult> found;
      for (const auto& n : names_) {
        if (n.rfind(folded, 0) == 0 && found.size() < 3) found.push_back({n, n, ""});
      }
      main_->post([completion, found] {
        completion(found.empty() ? std::nullopt : std::optional<VCRDataSourceResult>(found));
      });
    });
  }
  void cancelActiveQuery() override {}
  void reset() override {}
  PermissionStatus authorizationStatus() const override { return PermissionStatus::authorized; }
  void requestAuthorization(std::function<void(bool)> completion) override { completion(true); }

 private:
  TaskRunnerPtr worker_, main_;
  std::vector<std::string> names_;
};

std::string stamp(std::time_t t) {
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", std::gmtime(&t));
  return text;
}

// 5,000 events over three files: 4,500 single ones within half a year of now, 500 weekly.
void writeCalendars(const std::string& folder) {
  std::filesystem::create_directories(folder);
  std::mt19937 random(7);
  const std::time_t now = std::time(nullptr);
  for (int file = 0; file < 3; ++file) {
    std::ofstream out(folder + "/bench-" + std::to_string(file) + ".ics");
    out << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Pallix bench//EN\r\n";
    for (int i = file; i < 5000; i += 3) {
      const bool weekly = i % 10 == 0;
      const std::time_t start =
          now + static_cast<std::time_t>(static_cast<int>(random() % (360 * 24)) - 180 * 24) * 3600;
      out << "BEGIN:VEVENT\r\nUID:bench-" << i
          << "@pallix\r\nDTSTAMP:20260101T000000Z\r\nSUMMARY:" << kWords[random() % 16] << " " << kFirst[random() % 10]
          << "\r\nDTSTART:" << stamp(start) << "\r\nDTEND:" << stamp(start + 1800) << "\r\nLOCATION:Room " << (i % 40)
          << "\r\n";
      if (weekly) out << "RRULE:FREQ=WEEKLY\r\n";
      out << "END:VEVENT\r\n";
    }
    out << "END:VCALENDAR\r\n";
  }
}

void report(const char* name, const std::vector<double>& ms, double goal) {
  std::printf("%-28s n=%-5zu p50 %7.3f ms  p95 %7.3f ms  max %7.3f ms  (goal p95 < %.0f ms: %s)\n", name, ms.size(),
              bench::percentile(ms, 0.5), bench::percentile(ms, 0.95), *std::max_element(ms.begin(), ms.end()), goal,
              bench::percentile(ms, 0.95) < goal ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  auto dictionaryService = std::make_shared<WordNetDictionary>();
  if (!dictionaryService->isAvailable()) {
    std::fprintf(stderr, "sources_bench: WordNet is not installed (Debian package wordnet-base)\n");
    return 3;
  }
  const std::string folder = (std::filesystem::temp_directory_path() / "pallix-sources-bench" / "Calendars").string();
  std::filesystem::remove_all(folder);
  writeCalendars(folder);

  auto main = RunLoop::create();
  auto calendarWorker = SerialExecutor::create("Calendar");
  auto dictionaryWorker = SerialExecutor::create("Dictionary");
  auto contactsWorker = SerialExecutor::create("Contacts");
  auto calculatorWorker = SerialExecutor::create("IntelSources");
  auto routerWorker = SerialExecutor::create("PallixRouter");

  auto calculator =
      std::make_shared<CalculatorSourceAdapter>(std::make_shared<CalculatorDataSource>(), calculatorWorker);
  auto calendar = std::make_shared<CalendarSearchDataSource>(
      CalendarSearchDataSource::Dependencies{std::make_shared<IcsCalendarStore>(folder), calendarWorker, main, ""});
  auto dictionary = std::make_shared<DictionaryDataSource>(dictionaryService, dictionaryWorker, main);
  auto contacts = std::make_shared<BenchContacts>(contactsWorker, main);

  IntelligenceCoordinator::Dependencies deps;
  deps.mainRunner = main;
  deps.routerRunner = routerWorker;
  deps.sources.calculator = calculator;
  deps.sources.contacts = contacts;
  deps.sources.calendar = calendar;
  deps.sources.dictionary = dictionary;
  auto coordinator = std::make_shared<IntelligenceCoordinator>(deps);
  auto store = std::make_shared<PanelIntelligenceStore>(main, calculator);
  store->configure(coordinator, nullptr);

  auto settled = [&] {
    if (!store->hasPresentedInitialSnapshot()) return false;
    for (Id id : {Id::calculator, Id::contacts, Id::calendar, Id::dictionary}) {
      if (store->widgetState(id) == WidgetContentState::loading) return false;
    }
    return true;
  };
  auto runQuery = [&](const std::string& q) {
    store->prepareForPendingQuery(q, {});
    const auto start = Steady::now();
    store->runSettledSearch(q);
    while (!settled()) {
      main->runUntilIdle();
      if (Steady::now() - start > std::chrono::seconds(5)) break;
      std::this_thread::yield();
    }
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
  };

  const std::vector<std::string> queries = {
      "standup tomorrow", "def serendipity",        "anna smith",    "events today",
      "dinner",           "serendipity definition", "2+2",           "ben",
      "calendar",         "yoga next hour",         "def ephemeral", "budget review"};
  // Warm up: the first store read parses the files; the router build settles (none is installed).
  for (int i = 0; i < 3; ++i) {
    for (const auto& q : queries) runQuery(q);
  }
  std::vector<double> settle;
  for (int r = 0; r < rounds; ++r) {
    for (const auto& q : queries) settle.push_back(runQuery(q));
  }

  std::vector<double> lookups;
  const char* const terms[] = {"serendipity", "ephemeral",  "ubiquitous", "cats",     "ice cream",
                               "run",         "laconic",    "house",      "quixotic", "zeitgeist",
                               "petrichor",   "melancholy", "running",    "better"};
  for (int r = 0; r < rounds * 10; ++r) {
    for (const char* t : terms) {
      const auto start = Steady::now();
      auto entry = dictionary->lookUp(t);
      lookups.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
      if (!entry && std::string(t) != "petrichor") std::fprintf(stderr, "no definition of %s\n", t);
    }
  }
  report("settled search, local", settle, 30);
  report("dictionary look-up", lookups, 5);

  store.reset();
  coordinator.reset();
  for (auto* e : {calendarWorker.get(), dictionaryWorker.get(), contactsWorker.get(), calculatorWorker.get(),
                  routerWorker.get()}) {
    e->shutdown();
  }
  std::filesystem::remove_all(std::filesystem::path(folder).parent_path());
  return 0;
}
