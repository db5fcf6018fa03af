// PanelIntelligenceStore over a scripted client: widget states from streamed
// snapshots, session identifiers (stale answers dropped), deferred widgets,
// pending permissions and ambient highlight copies. The store under the real
// coordinator is tested with the coordinator.
#include <gtest/gtest.h>

#include "app/intelligence/PanelIntelligenceStore.h"
#include "testing/IntelligenceFakes.h"
#include "testing/VirtualTime.h"

namespace pallix {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Id = VCRDataSourceIdentifier;
using Ids = std::set<Id>;
using State = WidgetContentState;

// An IntelligenceClient whose streams the test feeds by hand.
class ScriptedClient final : public IntelligenceClient {
 public:
  struct Call {
    std::string query;
    UUID sessionID;
    ActivationMode mode;
    SnapshotStreamHandlers handlers;
  };
  void setLocationAuthorizationDidChange(std::function<void(LocationAuthorizationStatus)> cb) override {
    authorizationCallback = std::move(cb);
  }
  TaskHandle snapshots(const std::string& query, const UUID& sessionID, ActivationMode mode,
                       SnapshotStreamHandlers handlers) override {
    calls.push_back(Call{query, sessionID, mode, std::move(handlers)});
    return TaskHandle::make();
  }
  void cancelActiveQuery(bool resetResults) override { cancels.push_back(resetResults); }
  PermissionStatus currentContactAuthorizationStatus() override { return contactStatus; }
  void requestContactAuthorizationIfNeeded(std::function<void(bool)> completion) override {
    requests.push_back("contacts");
    contactStatus = PermissionStatus::authorized;
    completion(true);
  }
  PermissionStatus currentCalendarAuthorizationStatus() override { return calendarStatus; }
  void requestCalendarAuthorizationIfNeeded(std::function<void(bool)> completion) override {
    requests.push_back("calendar");
    calendarStatus = PermissionStatus::denied;
    completion(false);
  }
  bool needsLocationAuthorization() override { return locationNeeded; }
  void requestLocationAccessIfNeeded(std::function<void()> completion) override {
    requests.push_back("location");
    locationNeeded = false;
    completion();
  }
  uint64_t ambientHighlightsStream(HighlightsObserver observer) override {
    observer(highlights);
    this->observer = std::move(observer);
    return 7;
  }
  void removeAmbientHighlightsObserver(uint64_t token) override { removedTokens.push_back(token); }
  void refreshAmbientHighlights(bool force) override { ambientRefreshes.push_back(force); }
  void handleDataSourcePreferencesChange() override { ++preferenceChanges; }
  void fetchCalendarLocationHighlights(const CalendarSearchResult&,
                                       std::function<void(std::optional<CalendarLocationHighlights>)> c) override {
    c(std::nullopt);
  }
  void warmRouterIfNeeded() override {}
  void onPanelShow() override {}
  void onPanelHide() override {}

  void send(size_t call, const Snapshot& snapshot) { calls.at(call).handlers.onSnapshot(snapshot); }

  std::vector<Call> calls;
  std::vector<bool> cancels;
  std::vector<std::string> requests;
  std::vector<bool> ambientRefreshes;
  std::vector<uint64_t> removedTokens;
  int preferenceChanges = 0;
  PermissionStatus contactStatus = PermissionStatus::authorized;
  PermissionStatus calendarStatus = PermissionStatus::authorized;
  bool locationNeeded = false;
  Highlights highlights;
  HighlightsObserver observer;
  std::function<void(LocationAuthorizationStatus)> authorizationCallback;
};

Snapshot snapshotFor(const std::string& query, Ids selected, Ids active) {
  Snapshot s;
  s.query = query;
  s.selectedIdentifiers = std::move(selected);
  s.activeIdentifiers = std::move(active);
  return s;
}

class PanelIntelligenceStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_shared<PanelIntelligenceStore>(env.mainRunner(), calculator);
    store->configure(client, switches);
    store->setChangeHandler([this] { ++changes; });
  }
  VirtualTimeEnvironment env;
  std::shared_ptr<FakeCalculator> calculator = std::make_shared<FakeCalculator>(env.mainRunner());
  std::shared_ptr<ScriptedClient> client = std::make_shared<ScriptedClient>();
  std::shared_ptr<MutableDataSourceSwitches> switches = std::make_shared<MutableDataSourceSwitches>();
  std::shared_ptr<PanelIntelligenceStore> store;
  int changes = 0;
};

TEST_F(PanelIntelligenceStoreTest, FullQueryWidgetsGoFromLoadingToReadyOrNoResults) {
  store->setHasActiveQuery(true);
  store->runSettledSearch("population of oslo");
  ASSERT_EQ(client->calls.size(), 1u);
  EXPECT_EQ(client->calls[0].mode, ActivationMode::full);
  EXPECT_EQ(client->calls[0].sessionID, store->intelligenceSessionID());

  client->send(0, snapshotFor("population of oslo", {Id::maps, Id::wikipedia}, {Id::maps, Id::wikipedia}));
  EXPECT_EQ(store->widgetState(Id::maps), State::loading);
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::loading);
  EXPECT_TRUE(store->hasPresentedInitialSnapshot());

  auto withArticle = snapshotFor("population of oslo", {Id::maps, Id::wikipedia}, {Id::maps});
  withArticle.wikipediaArticle = WikipediaArticle{"Oslo", "capital", "u"};
  client->send(0, withArticle);
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::ready);
  EXPECT_EQ(store->widgetState(Id::maps), State::loading);

  auto done = withArticle;
  done.activeIdentifiers.clear();
  client->send(0, done);
  EXPECT_EQ(store->widgetState(Id::maps), State::noResults);
  EXPECT_EQ(store->selectedSourceIdentifiers(), (std::set<std::string>{"maps", "wikipedia"}));
  EXPECT_GT(changes, 0);

  // A new search has a new session: answers of the older one are dropped.
  store->runSettledSearch("beta");
  ASSERT_EQ(client->calls.size(), 2u);
  EXPECT_NE(client->calls[0].sessionID, client->calls[1].sessionID);
  auto stale = snapshotFor("population of oslo", {Id::dictionary}, {});
  stale.dictionaryResult = DictionaryEntry{"alpha", "first letter"};
  client->send(0, stale);
  EXPECT_EQ(store->widgetState(Id::dictionary), State::idle);
  EXPECT_FALSE(store->intelligenceState().dictionaryResult);
  client->send(1, snapshotFor("beta", {Id::wikipedia}, {Id::wikipedia}));
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::loading);

  // Clearing the query resets everything and shows the ambient highlights; the cleared answer no longer lands.
  store->handleClearedQueryState();
  EXPECT_FALSE(store->hasActiveQuery());
  EXPECT_TRUE(store->showsAmbientHighlights());
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::idle);
  EXPECT_EQ(store->intelligenceState(), IntelligencePresentationState{});
  EXPECT_EQ(client->cancels, std::vector<bool>{true});
  EXPECT_EQ(client->ambientRefreshes.size(), 1u);
  client->send(1, snapshotFor("beta", {Id::wikipedia}, {}));
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::idle);
}

// While typing, a remote widget the preview cannot answer keeps what the last settled query showed.
TEST_F(PanelIntelligenceStoreTest, PreviewsLeaveRemoteWidgetsTheyDidNotSelect) {
  store->runSettledSearch("def ennui");
  auto settled = snapshotFor("def ennui", {Id::dictionary, Id::wikipedia}, {});
  settled.dictionaryResult = DictionaryEntry{"ennui", "boredom"};
  settled.wikipediaArticle = WikipediaArticle{"Ennui"};
  client->send(0, settled);
  store->runPreviewSearch("def ennuis");
  ASSERT_EQ(client->calls.size(), 2u);
  EXPECT_EQ(client->calls[1].mode, ActivationMode::nonRouter);
  client->send(1, snapshotFor("def ennuis", {}, {}));
  EXPECT_EQ(store->widgetState(Id::dictionary), State::ready);
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::ready);
  EXPECT_EQ(store->intelligenceState().dictionaryResult, settled.dictionaryResult);
  EXPECT_TRUE(store->isQueryRunning(PanelIntelligenceStore::QueryKind::preview));
  client->calls[1].handlers.onFinish();
  EXPECT_FALSE(store->isQueryRunning(PanelIntelligenceStore::QueryKind::preview));

  // Switching a source off clears its widget.
  switches->set(Id::dictionary, false);
  store->handleDataSourcePreferencesChange();
  EXPECT_EQ(store->widgetState(Id::dictionary), State::idle);
  EXPECT_FALSE(store->intelligenceState().dictionaryResult);
  EXPECT_EQ(store->widgetState(Id::wikipedia), State::ready);
  EXPECT_EQ(client->preferenceChanges, 1);

  // Renewing the preview session drops a preview in flight; so does a settled search.
  store->performIntelligenceQuery("sam", PanelIntelligenceStore::QueryKind::preview);
  const UUID before = store->previewIntelligenceSessionID();
  store->cancelPreviewAndRenewSession();
  EXPECT_NE(store->previewIntelligenceSessionID(), before);
  auto late = snapshotFor("sam", {Id::contacts}, {});
  late.contactResults = {{"1", "Sam", ""}};
  client->send(2, late);
  EXPECT_EQ(store->widgetState(Id::contacts), State::idle);
  store->performIntelligenceQuery("sam", PanelIntelligenceStore::QueryKind::preview);
  store->runSettledSearch("sam");
  client->send(3, late);
  EXPECT_EQ(store->widgetState(Id::contacts), State::idle);
}

TEST_F(PanelIntelligenceStoreTest, DeferredWidgetsWaitForTheFullSnapshot) {
  store->performIntelligenceQuery("weather in oslo", PanelIntelligenceStore::QueryKind::preview);
  auto preview = snapshotFor("weather in oslo", {Id::weather, Id::maps, Id::dictionary}, {Id::weather});
  preview.mapResults = {MapSearchResult{MapItem{"Oslo"}, "Oslo", "Norway"}};
  preview.dictionaryResult = DictionaryEntry{"oslo", "a city"};
  client->send(0, preview);
  EXPECT_EQ(store->widgetState(Id::dictionary), State::ready);
  EXPECT_EQ(store->widgetState(Id::weather), State::idle);
  EXPECT_EQ(store->widgetState(Id::maps), State::idle);
  EXPECT_TRUE(store->intelligenceState().mapResults.empty());
  EXPECT_EQ(store->pendingDeferredWidgetIdentifiers(), (Ids{Id::weather, Id::maps}));
  EXPECT_FALSE(store->hasPresentedInitialSnapshot());

  store->runSettledSearch("weather in oslo");
  client->send(1, preview);
  EXPECT_EQ(store->widgetState(Id::weather), State::loading);
  EXPECT_EQ(store->widgetState(Id::maps), State::ready);
  EXPECT_TRUE(store->pendingDeferredWidgetIdentifiers().empty());
  ASSERT_TRUE(store->pendingFullSnapshot());
  auto done = preview;
  done.activeIdentifiers.clear();
  done.weatherSnapshot = WeatherSnapshot{{"Oslo"}};
  client->send(1, done);
  EXPECT_EQ(store->widgetState(Id::weather), State::ready);
  EXPECT_FALSE(store->pendingFullSnapshot());
}

TEST_F(PanelIntelligenceStoreTest, CalculatorAnswerIsPreservedWhileTyping) {
  store->refreshCalculatorResult("2+2");
  EXPECT_EQ(store->calculatorResultText(), "4");
  EXPECT_EQ(store->widgetState(Id::calculator), State::ready);
  EXPECT_TRUE(store->shouldPreserveCalculator("2+20"));
  EXPECT_FALSE(store->shouldPreserveCalculator("2+2 apples"));
  store->prepareForPendingQuery("2+20", {"calculator"});
  EXPECT_EQ(store->calculatorResultText(), "4");
  store->prepareForPendingQuery("hello", {});
  EXPECT_FALSE(store->calculatorResultText());
  EXPECT_EQ(store->widgetState(Id::calculator), State::idle);
  EXPECT_FALSE(store->shouldPreserveCalculator("2+2"));
  switches->set(Id::calculator, false);
  store->refreshCalculatorResult("2+2");
  EXPECT_FALSE(store->calculatorResultText());
}

TEST_F(PanelIntelligenceStoreTest, PendingPermissionsAreRequestedInOrder) {
  client->contactStatus = PermissionStatus::notDetermined;
  client->calendarStatus = PermissionStatus::notDetermined;
  client->locationNeeded = true;
  store->refreshPendingPermissions();
  EXPECT_EQ(store->pendingPermissions(),
            (std::vector<PendingPermission>{PendingPermission::contacts, PendingPermission::calendar,
                                            PendingPermission::location}));
  switches->set(Id::contacts, false);
  store->refreshPendingPermissions();
  EXPECT_EQ(store->pendingPermissions().front(), PendingPermission::calendar);
  switches->set(Id::contacts, true);
  bool done = false;
  store->requestPendingPermissions([&] { done = true; });
  EXPECT_TRUE(done);
  EXPECT_EQ(client->requests, (std::vector<std::string>{"contacts", "calendar", "location"}));
  EXPECT_TRUE(store->pendingPermissions().empty());
  // A location authorization change refreshes the list.
  client->locationNeeded = true;
  client->authorizationCallback(LocationAuthorizationStatus::notDetermined);
  EXPECT_EQ(store->pendingPermissions(), std::vector<PendingPermission>{PendingPermission::location});
}

TEST_F(PanelIntelligenceStoreTest, AmbientHighlightsAreCopiedIntoTheStore) {
  Highlights h;
  h.upcomingEvents = {CalendarSearchResult{"e1", "Standup"}};
  h.weatherSnapshot = WeatherSnapshot{{"here"}};
  client->observer(h);
  EXPECT_EQ(store->upcomingCalendarEvents().size(), 1u);
  EXPECT_EQ(store->ambientWeatherSnapshot(), h.weatherSnapshot);
  store.reset();
  EXPECT_EQ(client->removedTokens, std::vector<uint64_t>{7});
}

}  // namespace
}  // namespace pallix
