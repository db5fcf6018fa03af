#include "core/Logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/Strings.h"
#include "core/TerminalText.h"

namespace pallix {
namespace {

class StderrLogSink final : public LogSink {
 public:
  void write(const LogRecord& record) override {
    static const char* const kLevels[] = {"debug", "info", "error", "off"};
    // Messages quote file names and other outside text. Escaped as human
    // output is, a record can neither drive a terminal nor pass for more
    // lines, whether stderr is a terminal or a file.
    const std::string category = escapeForTerminal(record.category);
    const std::string message = escapeForTerminal(record.message);
    MutexLock lock(mutex_);
    std::fprintf(stderr, "[%s] %s: %s\n", kLevels[static_cast<int>(record.level)], category.c_str(), message.c_str());
  }

 private:
  Mutex mutex_;
};

LogLevel levelFromEnvironment() {
  const char* value = std::getenv("PALLIX_LOG");
  if (!value) return LogLevel::error;
  if (!std::strcmp(value, "debug")) return LogLevel::debug;
  if (!std::strcmp(value, "info")) return LogLevel::info;
  if (!std::strcmp(value, "off")) return LogLevel::off;
  return LogLevel::error;
}

Mutex g_sinkMutex;
std::shared_ptr<LogSink>& sinkSlot() {
  static std::shared_ptr<LogSink> sink = std::make_shared<StderrLogSink>();
  return sink;
}
std::atomic<int>& thresholdSlot() {
  static std::atomic<int> level{static_cast<int>(levelFromEnvironment())};
  return level;
}

}  // namespace

void Logger::log(LogLevel level, const std::string& message) const {
  if (static_cast<int>(level) < thresholdSlot().load()) return;
  std::shared_ptr<LogSink> sink;
  {
    MutexLock lock(g_sinkMutex);
    sink = sinkSlot();
  }
  sink->write(LogRecord{level, category_, message});
}

#define PALLIX_LOGGER_METHOD(name, level)                         \
  void Logger::name(const char* format, ...) const {              \
    if (static_cast<int>(level) < thresholdSlot().load()) return; \
    va_list args;                                                 \
    va_start(args, format);                                       \
    std::string message = stringPrintfV(format, args);            \
    va_end(args);                                                 \
    log(level, message);                                          \
  }
PALLIX_LOGGER_METHOD(debug, LogLevel::debug)
PALLIX_LOGGER_METHOD(info, LogLevel::info)
PALLIX_LOGGER_METHOD(error, LogLevel::error)
#undef PALLIX_LOGGER_METHOD

std::shared_ptr<LogSink> Logger::setSink(std::shared_ptr<LogSink> sink) {
  MutexLock lock(g_sinkMutex);
  auto previous = sinkSlot();
  sinkSlot() = sink ? std::move(sink) : std::make_shared<StderrLogSink>();
  return previous;
}

void Logger::setThreshold(LogLevel level) {
  thresholdSlot().store(static_cast<int>(level));
}
LogLevel Logger::threshold() {
  return static_cast<LogLevel>(thresholdSlot().load());
}

void RecordingLogSink::write(const LogRecord& record) {
  MutexLock lock(mutex_);
  records_.push_back(record);
}

std::vector<LogRecord> RecordingLogSink::records() const {
  MutexLock lock(mutex_);
  return records_;
}

std::vector<std::string> RecordingLogSink::messages() const {
  MutexLock lock(mutex_);
  std::vector<std::string> out;
  for (const auto& r : records_) out.push_back(r.message);
  return out;
}

bool RecordingLogSink::contains(const std::string& needle) const {
  MutexLock lock(mutex_);
  for (const auto& r : records_) {
    if (r.message.find(needle) != std::string::npos) return true;
  }
  return false;
}

void RecordingLogSink::clear() {
  MutexLock lock(mutex_);
  records_.clear();
}

}  // namespace pallix
