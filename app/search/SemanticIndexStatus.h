// SemanticIndexStatus: what the panel shows for a semantic index (files or
// messages), as the embedding stores report it.
#pragma once

namespace pallix {

enum class SemanticIndexStatus { unavailable, initializing, rebuilding, empty, ready };

constexpr const char* semanticIndexStatusName(SemanticIndexStatus status) {
  switch (status) {
    case SemanticIndexStatus::unavailable:
      return "unavailable";
    case SemanticIndexStatus::initializing:
      return "initializing";
    case SemanticIndexStatus::rebuilding:
      return "rebuilding";
    case SemanticIndexStatus::empty:
      return "empty";
    case SemanticIndexStatus::ready:
      return "ready";
  }
  return "unavailable";
}

}  // namespace pallix
