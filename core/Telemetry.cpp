#include "core/Telemetry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

namespace pallix {

TelemetryParameters errorTelemetryParameters(const Error& error) {
  return {{"errorDomain", error.domain()}, {"errorCode", std::to_string(error.code())}};
}
namespace {

Mutex g_mutex;
std::shared_ptr<TelemetrySink>& sinkSlot() {
  static std::shared_ptr<TelemetrySink> sink;
  return sink;
}

void dispatch(TelemetryEvent event) {
  std::shared_ptr<TelemetrySink> sink;
  {
    MutexLock lock(g_mutex);
    sink = sinkSlot();
  }
  if (!sink) return;
  event.time = SystemClock::instance().wallNow();
  sink->record(event);
}

}  // namespace

void TelemetryService::signal(const std::string& name) {
  signal(name, {});
}

void TelemetryService::signal(const std::string& name, const TelemetryParameters& parameters) {
  TelemetryEvent event;
  event.name = name;
  event.parameters = parameters;
  dispatch(std::move(event));
}

void TelemetryService::errorOccurred(const std::string& id, const std::string& category, const std::string& message,
                                     const TelemetryParameters& parameters) {
  TelemetryEvent event;
  event.name = "errorOccurred";
  event.parameters = parameters;
  event.isError = true;
  event.errorId = id;
  event.category = category;
  event.message = message;
  dispatch(std::move(event));
}

std::shared_ptr<TelemetrySink> TelemetryService::install(std::shared_ptr<TelemetrySink> sink) {
  MutexLock lock(g_mutex);
  auto previous = sinkSlot();
  sinkSlot() = std::move(sink);
  return previous;
}

bool TelemetryService::isEnabled() {
  MutexLock lock(g_mutex);
  return sinkSlot() != nullptr;
}

void JsonLinesTelemetrySink::record(const TelemetryEvent& event) {
  nlohmann::json line;
  line["time"] = secondsSince1970(event.time);
  line["signal"] = event.name;
  line["parameters"] = event.parameters;
  if (event.isError) {
    line["errorId"] = event.errorId;
    line["category"] = event.category;
    line["message"] = event.message;
  }
  std::string text = line.dump() + "\n";
  MutexLock lock(mutex_);
  // The file is private to the user whatever the umask.
  int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (::fchmod(fd, 0600) == 0) {
    ssize_t written = ::write(fd, text.data(), text.size());
    (void)written;  // Telemetry never fails the caller.
  }
  ::close(fd);
}

void RecordingTelemetrySink::record(const TelemetryEvent& event) {
  MutexLock lock(mutex_);
  events_.push_back(event);
}

std::vector<TelemetryEvent> RecordingTelemetrySink::events() const {
  MutexLock lock(mutex_);
  return events_;
}

std::vector<std::string> RecordingTelemetrySink::names() const {
  MutexLock lock(mutex_);
  std::vector<std::string> out;
  for (const auto& e : events_) out.push_back(e.name);
  return out;
}

std::vector<TelemetryEvent> RecordingTelemetrySink::named(const std::string& name) const {
  MutexLock lock(mutex_);
  std::vector<TelemetryEvent> out;
  for (const auto& e : events_) {
    if (e.name == name) out.push_back(e);
  }
  return out;
}

void RecordingTelemetrySink::clear() {
  MutexLock lock(mutex_);
  events_.clear();
}

ScopedTelemetryRecorder::ScopedTelemetryRecorder()
    : sink_(std::make_shared<RecordingTelemetrySink>()), previous_(TelemetryService::install(sink_)) {}

ScopedTelemetryRecorder::~ScopedTelemetryRecorder() {
  TelemetryService::install(previous_);
}

}  // namespace pallix
