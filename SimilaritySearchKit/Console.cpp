#include "SimilaritySearchKit/Console.h"

#include <cstdio>
#include <mutex>

namespace pallix::simkit {
namespace {

std::mutex& handlerMutex() {
  static std::mutex m;
  return m;
}

LineHandler& currentHandler() {
  static LineHandler handler;
  return handler;
}

}  // namespace

void printLine(const std::string& line) {
  std::lock_guard guard(handlerMutex());
  if (currentHandler()) {
    currentHandler()(line);
  } else {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
}

LineHandler setLineHandler(LineHandler handler) {
  std::lock_guard guard(handlerMutex());
  LineHandler previous = std::move(currentHandler());
  currentHandler() = std::move(handler);
  return previous;
}

}  // namespace pallix::simkit
