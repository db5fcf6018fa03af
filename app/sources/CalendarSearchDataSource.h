// CalendarSearchDataSource: the user's events (identifier `calendar`), a
// local source. A query is split by the calendar analyzer into a text part
// and an interval ("standup tomorrow", "events next hour"); events in the
// interval (from the start of today to 30 days on without one) whose title,
// place or notes hold every word of the text part are answered, at most
// five. The ambient highlights ask for upcoming events.
//
// shouldHandle() is the cheap local test the coordinator needs on every
// query: a calendar keyword, or the text's words in the title of an event of
// the coming weeks (an index of titles refreshed after every store read).
//
// Threading: called on the main runner. Store reads run on `worker` (they
// parse files); answers hop back to the main runner. One search is in flight
// at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/intelligence/DataSource.h"
#include "app/platform/CalendarStore.h"
#include "app/platform/CommandRunner.h"
#include "app/platform/Workspace.h"
#include "core/Logger.h"

namespace pallix {

class CalendarSearchDataSource final : public CalendarSource {
 public:
  static constexpr int kMaxResults = 5;
  static constexpr int kDefaultIntervalDays = 30;
  static constexpr int kTitleIndexDays = 60;

  struct Dependencies {
    std::shared_ptr<CalendarStore> store;
    TaskRunnerPtr worker;
    TaskRunnerPtr mainRunner;
    std::string timeZoneId;  // empty: the process's zone
  };

  explicit CalendarSearchDataSource(Dependencies dependencies);
  ~CalendarSearchDataSource() override;

  // VCRDataSource
  VCRDataSourceIdentifier identifier() const override { return VCRDataSourceIdentifier::calendar; }
  bool shouldHandle(const std::string& query) override;
  void performSearch(const std::string& query, SearchCompletion completion) override;
  void cancelActiveQuery() override { inFlight_.cancel(); }
  void reset() override { inFlight_.cancel(); }

  // PermissionedSource and CalendarSource
  PermissionStatus authorizationStatus() const override;
  void requestAuthorization(std::function<void(bool granted)> completion) override;
  void upcomingEvents(double lookaheadSeconds, int limit,
                      std::function<void(std::vector<CalendarSearchResult>)> completion) override;

  // Reads the titles of the coming weeks again (after an import, and at construction).
  void refreshTitleIndex();

  // Pure parts, for tests and the command line.
  static std::vector<CalendarSearchResult> search(CalendarStore& store, const std::string& query, Date now,
                                                  const std::string& timeZoneId, Error* failure = nullptr);
  static CalendarSearchResult resultFor(const CalendarEvent& event, Date now, const std::string& timeZoneId);
  static std::string relativeDateDescription(Date start, Date now, const std::string& timeZoneId);

 private:
  using TitleIndex = std::vector<std::string>;  // folded titles
  void replaceTitleIndex(std::shared_ptr<const TitleIndex> index) { titles_ = std::move(index); }

  Dependencies deps_;
  TaskHandle inFlight_;
  std::shared_ptr<const TitleIndex> titles_ = std::make_shared<TitleIndex>();
  Logger logger_{"CalendarSearchDataSource"};
  WeakGuard weak_;
};

// Opens an event: its calendar URL when an application handles "ical" URLs
// ("xdg-mime query default x-scheme-handler/ical" names one), else the file
// holding it. An event with neither fails with a message saying so.
Status openCalendarEvent(const CalendarSearchResult& event, Workspace& workspace, CommandRunner& runner,
                         const std::string& timeZoneId = {});

}  // namespace pallix
