// VCRDataSource: the interface every intelligence data source implements,
// the richer interfaces of the sources the coordinator and the ambient
// highlights talk to specifically, and DataSourceSwitches (which sources the
// user switched on).
//
// Threading: the coordinator and the ambient service call every method on the
// main runner. performSearch and the other asynchronous operations must
// return at once; their completion may be called on any runner (the caller
// hops back to the main runner) at most once, and may be dropped after
// cancelActiveQuery() or reset(). BlockingDataSource adapts a synchronous
// search function by running it on a background runner.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/intelligence/IntelligenceTypes.h"
#include "app/intelligence/WeatherQueryAnalyzer.h"
#include "core/TaskRunner.h"

namespace pallix {

struct Location;

class VCRDataSource {
 public:
  using SearchCompletion = std::function<void(std::optional<VCRDataSourceResult>)>;
  virtual ~VCRDataSource() = default;

  virtual VCRDataSourceIdentifier identifier() const = 0;
  // Cheap local test whether the source applies to `query`.
  virtual bool shouldHandle(const std::string& query) = 0;
  // Searches; no result means nothing to show.
  virtual void performSearch(const std::string& query, SearchCompletion completion) = 0;
  // Abandons work in flight.
  virtual void cancelActiveQuery() = 0;
  // Abandons work in flight and forgets any cached result.
  virtual void reset() = 0;
};

// The calculator: its synchronous calculation decides the short-circuit.
class CalculatorSource : public VCRDataSource {
 public:
  virtual std::optional<CalculatorAnswer> calculate(const std::string& query) = 0;
};

// Contacts and calendar ask for permission before they can search.
class PermissionedSource : public VCRDataSource {
 public:
  virtual PermissionStatus authorizationStatus() const = 0;
  virtual void requestAuthorization(std::function<void(bool granted)> completion) = 0;
};

class CalendarSource : public PermissionedSource {
 public:
  // Events starting within `lookaheadSeconds` from now, at most `limit`.
  virtual void upcomingEvents(double lookaheadSeconds, int limit,
                              std::function<void(std::vector<CalendarSearchResult>)> completion) = 0;
};

using LocationCompletion = std::function<void(std::optional<Location>)>;
// Resolves the device's current location (or none) asynchronously.
using CurrentLocationProvider = std::function<void(LocationCompletion)>;

class WeatherSource : public VCRDataSource {
 public:
  virtual WeatherLocationPreference locationPreference() const = 0;
  virtual void setLocationPreference(WeatherLocationPreference preference) = 0;
  virtual void setCurrentLocationProvider(CurrentLocationProvider provider) = 0;
  virtual void cancelPendingReverseGeocoding() = 0;
  // Weather at `coordinate`, or at the current location when none is given.
  virtual void fetchWeather(std::optional<LocationCoordinate> coordinate,
                            std::function<void(std::optional<WeatherSnapshot>)> completion) = 0;
};

class MapSource : public VCRDataSource {
 public:
  // The source's last known device location, if it has one.
  virtual std::optional<Location> lastKnownLocation() const = 0;
  virtual void searchPlaces(const std::string& text, std::function<void(std::vector<MapSearchResult>)> completion) = 0;
};

class DictionarySource : public VCRDataSource {
 public:
  // True when a lookup term can be taken from `text` without the fallback lookup.
  virtual bool resolvesLookupCandidate(const std::string& text) = 0;
};

// The user's on/off switch per data source ("DataSourcePreferences.*Enabled").
// Read on the main runner.
class DataSourceSwitches {
 public:
  virtual ~DataSourceSwitches() = default;
  // The switch of one of the seven sources; messages, files and apps are always on.
  virtual bool isEnabled(VCRDataSourceIdentifier identifier) const = 0;
};

// Switches held in memory (tests, and the wiring from DataSourcePreferences:
// the application sets them from the preference object and again on change).
class MutableDataSourceSwitches final : public DataSourceSwitches {
 public:
  bool isEnabled(VCRDataSourceIdentifier identifier) const override;
  void set(VCRDataSourceIdentifier identifier, bool enabled) { switches_[identifier] = enabled; }

 private:
  std::map<VCRDataSourceIdentifier, bool> switches_;  // absent: on
};

// Switches read through a function on every call.
class FunctionDataSourceSwitches final : public DataSourceSwitches {
 public:
  explicit FunctionDataSourceSwitches(std::function<bool(VCRDataSourceIdentifier)> read) : read_(std::move(read)) {}
  bool isEnabled(VCRDataSourceIdentifier identifier) const override;

 private:
  std::function<bool(VCRDataSourceIdentifier)> read_;
};

// A VCRDataSource around a synchronous search function that may block. The
// function runs on `worker`; its answer hops to `replyRunner`. Answers of a
// search that was cancelled or reset meanwhile are dropped.
class BlockingDataSource : public VCRDataSource {
 public:
  using SearchFunction = std::function<std::optional<VCRDataSourceResult>(const std::string&, CancellationToken)>;
  BlockingDataSource(VCRDataSourceIdentifier identifier, std::function<bool(const std::string&)> shouldHandle,
                     SearchFunction search, TaskRunnerPtr worker, TaskRunnerPtr replyRunner);

  VCRDataSourceIdentifier identifier() const override { return identifier_; }
  bool shouldHandle(const std::string& query) override { return shouldHandle_ ? shouldHandle_(query) : false; }
  void performSearch(const std::string& query, SearchCompletion completion) override;
  void cancelActiveQuery() override { inFlight_.cancel(); }
  void reset() override { inFlight_.cancel(); }

 private:
  VCRDataSourceIdentifier identifier_;
  std::function<bool(const std::string&)> shouldHandle_;
  SearchFunction search_;
  TaskRunnerPtr worker_;
  TaskRunnerPtr reply_;
  TaskHandle inFlight_;
};

}  // namespace pallix
