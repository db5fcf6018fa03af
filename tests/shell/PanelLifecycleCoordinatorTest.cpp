// Panel lifecycle and work modes, driven in virtual time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/shell/PanelLifecycleCoordinator.h"
#include "core/Telemetry.h"
#include "testing/FakeSystemConditions.h"
#include "testing/VirtualTime.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using std::chrono::seconds;

class PanelLifecycleTest : public ::testing::Test {
 protected:
  // A coordinator over the fake conditions; `record` registers the mode and visibility recorders.
  std::unique_ptr<PanelLifecycleCoordinator> make(bool record = true) {
    auto c = std::make_unique<PanelLifecycleCoordinator>(env_.mainRunner(), conditions_);
    env_.runUntilIdle();
    if (record) {
      c->registerWorkModeHandler([this](WorkMode m) { modes_.push_back(m); });
      recordVisibility(*c);
    }
    return c;
  }
  // Registers a visibility handler that appends its events to `events_`.
  UUID recordVisibility(PanelLifecycleCoordinator& c, const std::string& tag = "") {
    return c.registerVisibilityHandler(
        [this, tag] { events_.push_back(tag + "show"); }, [this, tag] { events_.push_back(tag + "hide"); },
        [this, tag] { events_.push_back(tag + "delayedHide"); }, [this, tag] { events_.push_back(tag + "memory"); });
  }
  std::vector<std::string> reasons() const {
    std::vector<std::string> out;
    for (const auto& e : telemetry_.sink().named("PanelLifecycle.workModeChanged")) {
      out.push_back(e.parameters.at("from") + ">" + e.parameters.at("to") + ":" + e.parameters.at("reason"));
    }
    return out;
  }
  size_t count(const std::string& event) const { return std::count(events_.begin(), events_.end(), event); }

  mutable ScopedTelemetryRecorder telemetry_;
  VirtualTimeEnvironment env_;
  FakeSystemConditions conditions_;
  std::vector<WorkMode> modes_;
  std::vector<std::string> events_;
};

// --- Construction and resolution ---------------------------------------------

TEST_F(PanelLifecycleTest, StartsHiddenAndIdleOrInDeepIdleUnderLowPowerOrSeriousHeat) {
  struct Case {
    bool lowPower;
    ThermalState thermal;
    WorkMode mode;
  };
  for (Case k :
       {Case{false, ThermalState::nominal, WorkMode::idle}, Case{false, ThermalState::fair, WorkMode::idle},
        Case{true, ThermalState::nominal, WorkMode::deepIdle}, Case{false, ThermalState::serious, WorkMode::deepIdle},
        Case{false, ThermalState::critical, WorkMode::deepIdle}}) {
    SCOPED_TRACE(static_cast<int>(k.thermal) + (k.lowPower ? 10 : 0));
    telemetry_.sink().clear();
    conditions_.setLowPowerMode(k.lowPower);
    conditions_.setThermalState(k.thermal);
    auto c = make();
    EXPECT_FALSE(c->isPanelVisible());
    EXPECT_FALSE(c->lastHiddenDate().has_value());
    EXPECT_EQ(c->workMode(), k.mode);
    EXPECT_EQ(reasons(), k.mode == WorkMode::deepIdle ? std::vector<std::string>{"idle>deepIdle:init"}
                                                      : std::vector<std::string>{});
    c->panelWillShow();
    EXPECT_EQ(c->workMode(), WorkMode::active);
    env_.runUntilIdle();
  }
}

// --- Show and hide -----------------------------------------------------------

// --- Timers ------------------------------------------------------------------

// Panel events, system readings and probes on one virtual timeline, in milliseconds from the start.
TEST_F(PanelLifecycleTest, TimersFollowTheLastHideAndDieWithAShowAndSystemReadingsOverrideThem) {
  struct Probe {
    int at;
    WorkMode mode;
    size_t delayedHides;
  };
  struct Case {
    const char* name;
    // S show, H hide, I initial hidden state, L/l low power on/off, T/t heat serious/fair, W wall clock +200 s
    std::vector<std::pair<int, char>> events;
    std::vector<Probe> probes;
    std::vector<std::string> handlerCalls;
    bool remembersAHide = true;
    std::vector<std::string> reasons = {};
  };
  using enum WorkMode;
  const Case cases[] = {
      {"a hide while hidden and repeated shows and hides change nothing; the delayed hide comes 5 s after",
       {{0, 'H'}, {1, 'S'}, {1, 'S'}, {2, 'H'}, {2, 'H'}},
       {{1, active, 0}, {5001, idle, 0}, {5002, idle, 1}},
       {"show", "hide", "delayedHide"}},
      {"a show within 5 s cancels idle timers and the delayed hide",
       {{0, 'S'}, {0, 'H'}, {3000, 'S'}},
       {{603000, active, 0}},
       {"show", "hide", "show"},
       false},
      {"a show between 5 and 30 s still cancels idle timers",
       {{0, 'S'}, {0, 'H'}, {10000, 'S'}},
       {{9999, idle, 1}, {310000, active, 1}},
       {},
       false},
      {"hide, show, hide within 5 s: one delayed hide after the second",
       {{0, 'S'}, {0, 'H'}, {2000, 'S'}, {3000, 'H'}},
       {{5000, idle, 0}, {7999, idle, 0}, {8000, idle, 1}, {122999, idle, 1}, {123000, deepIdle, 1}},
       {}},
      {"deep idle counts from the last hide",
       {{0, 'S'}, {0, 'H'}, {100000, 'S'}, {105000, 'H'}},
       {{224999, idle, 2}, {225000, deepIdle, 2}},
       {}},
      {"initial hidden state: delayed hide, no hide handler, deep idle at 120 s",
       {{0, 'I'}},
       {{5000, idle, 1}, {119999, idle, 1}, {120000, deepIdle, 1}},
       {"delayedHide"}},
      {"initial hidden state is ignored while visible", {{0, 'S'}, {0, 'I'}}, {{300000, active, 0}}, {"show"}, false},
      {"low power hides straight to deep idle and a show still gives active",
       {{0, 'S'}, {0, 'L'}, {1, 'H'}, {2, 'S'}},
       {{0, active, 0}, {1, deepIdle, 0}, {2, active, 0}},
       {},
       false,
       {"idle>active:panelWillShow", "active>deepIdle:panelDidHide", "deepIdle>active:panelWillShow"}},
      {"leaving low power or heat returns to idle only when hidden less than 120 s",
       {{0, 'S'}, {0, 'H'}, {0, 'L'}, {60000, 'l'}, {60001, 'T'}, {150000, 't'}},
       {{0, deepIdle, 0}, {60000, idle, 1}, {60001, deepIdle, 1}, {150000, deepIdle, 1}},
       {},
       true,
       {"idle>active:panelWillShow", "active>idle:panelDidHide", "idle>deepIdle:lowPowerMode",
        "deepIdle>idle:lowPowerMode", "idle>deepIdle:thermalState"}},
      {"the 30 s re-evaluation picks up the deep idle a wall-clock jump gives",
       {{0, 'S'}, {0, 'H'}, {10000, 'W'}},
       {{29999, idle, 1}, {30000, deepIdle, 1}},
       {},
       true,
       {"idle>active:panelWillShow", "active>idle:panelDidHide", "idle>deepIdle:idleDelay"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    events_.clear();
    telemetry_.sink().clear();
    VirtualTimeEnvironment env;
    FakeSystemConditions conditions;
    PanelLifecycleCoordinator c(env.mainRunner(), conditions);
    recordVisibility(c);
    size_t next = 0;
    int now = 0;
    auto runEventsUntil = [&](int t) {
      for (; next < k.events.size() && k.events[next].first <= t; ++next) {
        env.advanceBy(std::chrono::milliseconds(k.events[next].first - now));
        now = k.events[next].first;
        const char e = k.events[next].second;
        if (e == 'S') c.panelWillShow();
        if (e == 'H') c.panelDidHide();
        if (e == 'I') c.enterInitialHiddenState();
        if (e == 'L' || e == 'l') conditions.setLowPowerMode(e == 'L');
        if (e == 'T' || e == 't') conditions.setThermalState(e == 'T' ? ThermalState::serious : ThermalState::fair);
        if (e == 'W') env.clock().setWallNow(env.clock().wallNow() + seconds(200));
      }
      env.advanceBy(std::chrono::milliseconds(t - now));
      now = t;
    };
    for (const Probe& p : k.probes) {
      runEventsUntil(p.at);
      EXPECT_EQ(c.workMode(), p.mode) << "at " << p.at << " ms";
      EXPECT_EQ(count("delayedHide"), p.delayedHides) << "at " << p.at << " ms";
    }
    if (!k.handlerCalls.empty()) {
      EXPECT_EQ(events_, k.handlerCalls);
    }
    EXPECT_EQ(c.lastHiddenDate().has_value(), k.remembersAHide);
    if (!k.reasons.empty()) {
      EXPECT_EQ(reasons(), k.reasons);
    }
  }
}

TEST_F(PanelLifecycleTest, HandlersRunInAPostedTaskAndAHiddenPanelHasOneTimerLeftAfterAShowAndNoneAfterDeepIdle) {
  auto c = make();
  c->panelWillShow();
  EXPECT_EQ(c->workMode(), WorkMode::active);
  EXPECT_TRUE(modes_.empty()) << "handlers run in a posted task";
  env_.runUntilIdle();
  EXPECT_EQ(events_, std::vector<std::string>{"show"});
  env_.clock().advance(seconds(3));
  Date hiddenAt = env_.clock().wallNow();
  c->panelDidHide();
  EXPECT_EQ(c->lastHiddenDate(), hiddenAt);
  EXPECT_TRUE(c->hasPendingDelayedHide());
  env_.advanceBy(seconds(3));
  c->panelWillShow();
  env_.runUntilIdle();
  // Only the delayed-hide task is left; it is not cancelled by a show.
  EXPECT_EQ(env_.pendingTaskCount(), 1u);
  EXPECT_EQ(env_.nextTaskDelay(), seconds(2));
  env_.advanceBy(seconds(2));
  EXPECT_FALSE(c->hasPendingDelayedHide());
  c->panelDidHide();
  env_.advanceBy(seconds(120));
  EXPECT_EQ(modes_, (std::vector<WorkMode>{WorkMode::active, WorkMode::idle, WorkMode::active, WorkMode::idle,
                                           WorkMode::deepIdle}));
  // The 30 s re-evaluation changed nothing and so sent nothing.
  EXPECT_EQ(reasons(), (std::vector<std::string>{"idle>active:panelWillShow", "active>idle:panelDidHide",
                                                 "idle>active:panelWillShow", "active>idle:panelDidHide",
                                                 "idle>deepIdle:deepIdleDelay"}));
  EXPECT_EQ(env_.pendingTaskCount(), 0u);
}

// --- System conditions -------------------------------------------------------

TEST_F(PanelLifecycleTest, WorkModeHandlerNeverSeesTheCurrentMode) {
  auto c = make(false);
  WorkMode last = c->workMode();
  int calls = 0;
  c->registerWorkModeHandler([&](WorkMode m) {
    EXPECT_NE(m, last);
    last = m;
    ++calls;
  });
  // A sequence of inputs, several of which leave the mode unchanged.
  conditions_.setLowPowerMode(false);
  conditions_.setThermalState(ThermalState::fair);  // changes the field, not the mode
  env_.runUntilIdle();
  EXPECT_EQ(calls, 0);
  c->panelWillShow();
  conditions_.setLowPowerMode(true);
  env_.runUntilIdle();
  c->panelDidHide();
  env_.runUntilIdle();
  conditions_.setThermalState(ThermalState::critical);
  conditions_.setLowPowerMode(false);
  env_.runUntilIdle();
  conditions_.setThermalState(ThermalState::nominal);
  env_.runUntilIdle();
  env_.advanceBy(seconds(200));
  c->updateWorkMode("idleDelay");
  env_.runUntilIdle();
  EXPECT_EQ(calls, 4);  // active, deepIdle, idle, deepIdle
  EXPECT_EQ(last, WorkMode::deepIdle);
  EXPECT_EQ(reasons().size(), 4u) << "unchanged modes are not signalled";
}

TEST_F(PanelLifecycleTest, MemoryPressureRunsPressureHandlersThenVisibilityHandlersUntilTheCoordinatorIsGone) {
  auto c = make(false);
  std::vector<std::string> order;
  c->registerVisibilityHandler([] {}, [] {}, {}, [&] { order.push_back("visibility"); });
  c->registerVisibilityHandler([] {}, [] {});  // no memory-pressure action
  c->registerMemoryPressureHandler([&](uint32_t e) { order.push_back("pressure" + std::to_string(e)); });
  conditions_.signalMemoryPressure(kMemoryPressureCritical);
  EXPECT_TRUE(order.empty());
  env_.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"pressure2", "visibility"}));
  // Destroying the coordinator cancels its timers and observers.
  recordVisibility(*c);
  c->panelWillShow();
  c->panelDidHide();
  c.reset();
  conditions_.setLowPowerMode(true);
  conditions_.signalMemoryPressure(kMemoryPressureWarning);
  env_.advanceBy(seconds(300));
  EXPECT_EQ(count("delayedHide"), 0u);
  EXPECT_EQ(count("memory"), 0u);
  EXPECT_EQ(order.size(), 2u);
}

// --- Registration ------------------------------------------------------------

TEST_F(PanelLifecycleTest, UnregisteredHandlersAreNoLongerCalledAndEveryChangeIsCounted) {
  auto c = make(false);
  UUID a = recordVisibility(*c, "a:");
  UUID w = c->registerWorkModeHandler([](WorkMode) {});
  c->registerMemoryPressureHandler([](uint32_t) {});
  recordVisibility(*c, "b:");
  c->unregister(w);
  c->unregister(a);
  c->unregister(UUID::random());  // unknown: still signalled, counts unchanged
  c->panelWillShow();
  env_.runUntilIdle();
  EXPECT_EQ(events_, std::vector<std::string>{"b:show"});
  auto events = telemetry_.sink().named("PanelLifecycle.observerCountChanged");
  std::vector<std::string> counts;
  for (const auto& e : events) {
    counts.push_back(e.parameters.at("visibility") + e.parameters.at("workMode") + e.parameters.at("memoryPressure"));
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"100", "110", "111", "211", "201", "101", "101"}));
  EXPECT_EQ(c->visibilityHandlerCount(), 1u);
  EXPECT_EQ(c->workModeHandlerCount(), 0u);
  EXPECT_EQ(c->memoryPressureHandlerCount(), 1u);
}

TEST_F(PanelLifecycleTest, ADispatchWorksOnTheTableAsItWasWhenItStarted) {
  auto c = make(false);
  UUID second;
  bool addedCalled = false;
  int secondCalls = 0;
  // Whichever handler runs first unregisters the other and registers a new
  // one; the dispatch still calls the other and not the new one.
  UUID first = c->registerVisibilityHandler(
      [&] {
        if (secondCalls == 0) {
          c->unregister(second);
          c->registerVisibilityHandler([&] { addedCalled = true; }, [] {});
        }
      },
      [] {});
  second = c->registerVisibilityHandler(
      [&] {
        ++secondCalls;
        c->unregister(first);
        c->registerVisibilityHandler([&] { addedCalled = true; }, [] {});
      },
      [] {});
  c->panelWillShow();
  env_.runUntilIdle();
  EXPECT_EQ(secondCalls, 1);
  EXPECT_FALSE(addedCalled);
  // The next dispatch sees the changed table.
  c->panelDidHide();
  c->panelWillShow();
  env_.runUntilIdle();
  EXPECT_TRUE(addedCalled);
}

TEST(PanelLifecycleSharedTest, ConfiguredOnceAndThenShared) {
  VirtualTimeEnvironment env;
  static FakeSystemConditions conditions;  // outlives the never-destroyed shared instance
  ASSERT_TRUE(PanelLifecycleCoordinator::configureShared(env.mainRunner(), conditions).ok());
  EXPECT_TRUE(PanelLifecycleCoordinator::isSharedConfigured());
  PanelLifecycleCoordinator& a = PanelLifecycleCoordinator::shared();
  EXPECT_EQ(&a, &PanelLifecycleCoordinator::shared());
  Status again = PanelLifecycleCoordinator::configureShared(env.mainRunner(), conditions);
  ASSERT_TRUE(testing::failsWith(again, "already"));
}

}  // namespace
}  // namespace pallix
