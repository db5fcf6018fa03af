// Captures every log line for the lifetime of the scope (from debug level
// unless told otherwise), then puts back the sink and threshold it found.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Logger.h"

namespace pallix::testing {

class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(LogLevel threshold = LogLevel::debug)
      : sink_(std::make_shared<RecordingLogSink>()),
        previousSink_(Logger::setSink(sink_)),
        previousThreshold_(Logger::threshold()) {
    Logger::setThreshold(threshold);
  }
  ~ScopedLogCapture() {
    Logger::setThreshold(previousThreshold_);
    Logger::setSink(previousSink_);
  }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  RecordingLogSink& sink() { return *sink_; }
  const std::shared_ptr<RecordingLogSink>& sharedSink() const { return sink_; }
  bool contains(const std::string& needle) const { return sink_->contains(needle); }
  std::vector<std::string> messages() const { return sink_->messages(); }

 private:
  std::shared_ptr<RecordingLogSink> sink_;
  std::shared_ptr<LogSink> previousSink_;
  LogLevel previousThreshold_;
};

}  // namespace pallix::testing
