// Logger: one per component, named by the component's type ("IndexingService").
//
// Messages go to the process's LogSink (stderr by default, filtered by the
// PALLIX_LOG environment variable: debug, info, error or off; default error),
// one line per record, escaped with escapeForTerminal.
// Tests install a RecordingLogSink to assert on log lines. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ThreadAnnotations.h"

namespace pallix {

enum class LogLevel { debug = 0, info = 1, error = 2, off = 3 };

struct LogRecord {
  LogLevel level;
  std::string category;
  std::string message;
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogRecord& record) = 0;
};

class Logger {
 public:
  explicit Logger(std::string category) : category_(std::move(category)) {}
  const std::string& category() const { return category_; }

  void debug(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void log(LogLevel level, const std::string& message) const;

  // Replaces the process's sink; returns the previous one. nullptr restores stderr.
  static std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);
  // Messages below this level are dropped before formatting.
  static void setThreshold(LogLevel level);
  static LogLevel threshold();

 private:
  std::string category_;
};

// Keeps every record, for tests.
class RecordingLogSink final : public LogSink {
 public:
  void write(const LogRecord& record) override;
  std::vector<LogRecord> records() const;
  std::vector<std::string> messages() const;
  // True when some message contains `needle`.
  bool contains(const std::string& needle) const;
  void clear();

 private:
  mutable Mutex mutex_;
  std::vector<LogRecord> records_ GUARDED_BY(mutex_);
};

}  // namespace pallix
