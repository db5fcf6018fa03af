// Console: the line printer of the similarity engine.
//
// The engine reports recoverable conditions ("Failed to deserialize HNSW,
// rebuilding: ...", "Embeddings must have the same length") as printed
// lines. They go to standard output unless a handler is installed; tests
// install one to assert on them, the CLI routes them to stderr. Thread-safe.
#pragma once

#include <functional>
#include <string>

namespace pallix::simkit {

using LineHandler = std::function<void(const std::string&)>;

void printLine(const std::string& line);
// Installs `handler` (nullptr restores standard output); returns the previous one.
LineHandler setLineHandler(LineHandler handler);

}  // namespace pallix::simkit
