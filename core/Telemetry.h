// TelemetryService: anonymised usage signals, kept on this machine.
//
// Signals are "Component.event" names with string parameters (booleans as
// "1"/"0"). Nothing is recorded unless a sink was installed at process start
// (enabled by TelemetryPreferences); the JSON-lines sink appends one object
// per signal to a local file and nothing leaves the machine. All calls are
// thread-safe and never block on I/O for long.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Error.h"
#include "core/ThreadAnnotations.h"

namespace pallix {

using TelemetryParameters = std::map<std::string, std::string>;

// The parameters a failure signal carries: "errorDomain" and "errorCode".
TelemetryParameters errorTelemetryParameters(const Error& error);

struct TelemetryEvent {
  std::string name;
  TelemetryParameters parameters;
  Date time;
  // errorOccurred only:
  bool isError = false;
  std::string errorId;
  std::string category;
  std::string message;
};

class TelemetrySink {
 public:
  virtual ~TelemetrySink() = default;
  virtual void record(const TelemetryEvent& event) = 0;
};

class TelemetryService {
 public:
  static void signal(const std::string& name);
  static void signal(const std::string& name, const TelemetryParameters& parameters);
  static void errorOccurred(const std::string& id, const std::string& category, const std::string& message,
                            const TelemetryParameters& parameters = {});

  // Enables telemetry with `sink` (nullptr disables it). Called once at start-up,
  // and by tests around each case. Returns the previous sink.
  static std::shared_ptr<TelemetrySink> install(std::shared_ptr<TelemetrySink> sink);
  static bool isEnabled();
};

// Appends one JSON object per line to a file: {"time":..., "signal":..., "parameters":{...}}.
class JsonLinesTelemetrySink final : public TelemetrySink {
 public:
  explicit JsonLinesTelemetrySink(std::string path) : path_(std::move(path)) {}
  void record(const TelemetryEvent& event) override;

 private:
  Mutex mutex_;
  std::string path_ GUARDED_BY(mutex_);
};

// Keeps every event in memory, for tests.
class RecordingTelemetrySink final : public TelemetrySink {
 public:
  void record(const TelemetryEvent& event) override;
  std::vector<TelemetryEvent> events() const;
  std::vector<std::string> names() const;
  // Events with this name, in order.
  std::vector<TelemetryEvent> named(const std::string& name) const;
  size_t count(const std::string& name) const { return named(name).size(); }
  void clear();

 private:
  mutable Mutex mutex_;
  std::vector<TelemetryEvent> events_ GUARDED_BY(mutex_);
};

// Installs a RecordingTelemetrySink for the lifetime of the scope (tests).
class ScopedTelemetryRecorder {
 public:
  ScopedTelemetryRecorder();
  ~ScopedTelemetryRecorder();
  RecordingTelemetrySink& sink() { return *sink_; }

 private:
  std::shared_ptr<RecordingTelemetrySink> sink_;
  std::shared_ptr<TelemetrySink> previous_;
};

}  // namespace pallix
