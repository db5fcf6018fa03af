// Following a pass that a command asked the running agent for (a semantic
// file pass, a message catch-up): the command polls the agent for the pass,
// draws its progress and, once it is done, prints its outcome. Ctrl-C stops
// the waiting, not the pass. Runs on the command's main thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "app/shell/RequestedPasses.h"
#include "core/Error.h"

namespace pallix::cli {

// One answer about the pass, as the command shows it.
struct AgentPassView {
  uint64_t id = 0;
  RequestedPassState state = RequestedPassState::queued;
  std::string progress;  // "12/40 files"
  // Prints the outcome of a pass that is done and returns the exit status.
  std::function<int()> finish;
};

struct AgentPassFollow {
  std::string socket;
  std::string pollRequestPrefix;  // the pass's id follows
  std::string index;              // "the semantic index"
  std::string againCommand;       // "pallix semantic index"
  std::string statusCommand;      // "pallix semantic status"
  std::function<Result<AgentPassView>(const std::string& answer)> decode;
  // While the agent's own pass runs before the one asked for.
  std::chrono::minutes waitLimit{10};
};

// Follows the pass that `first` (the agent's answer to the request) names
// until it is done, the wait ends or the user stops it; returns the exit status.
int followAgentPass(const AgentPassFollow& follow, AgentPassView first);

}  // namespace pallix::cli
