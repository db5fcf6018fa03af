#include "cli/AgentPass.h"

#include <poll.h>

#include <atomic>
#include <iostream>
#include <memory>

#include "app/platform/linux/LockFileSingleInstance.h"
#include "cli/Command.h"
#include "cli/StopSignal.h"

namespace pallix::cli {

int followAgentPass(const AgentPassFollow& follow, AgentPassView first) {
  std::cerr << "pallix: the running Pallix agent keeps " << follow.index
            << "; it runs the pass. Ctrl-C stops waiting, not the pass.\n";
  // The signal's thread only sets the flag; this thread polls the agent.
  auto interrupted = std::make_shared<std::atomic<bool>>(false);
  (void)installStopSignalHandler([interrupted] { interrupted->store(true); });
  const auto waitEnds = std::chrono::steady_clock::now() + follow.waitLimit;
  const std::string poll = follow.pollRequestPrefix + std::to_string(first.id);
  AgentPassView now = std::move(first);
  bool saidWaiting = false;
  while (!interrupted->load()) {
    if (now.state == RequestedPassState::done) {
      clearProgress();
      return now.finish ? now.finish() : kExitOk;
    }
    if (now.state == RequestedPassState::queued) {
      if (!saidWaiting) {
        clearProgress();
        std::cerr << "pallix: waiting for the agent's own pass to end (at most " << follow.waitLimit.count()
                  << " minutes)...\n";
        saidWaiting = true;
      }
      if (std::chrono::steady_clock::now() > waitEnds) {
        clearProgress();
        printError(
            "the agent's own pass is still running after " + std::to_string(follow.waitLimit.count()) + " minutes",
            "The pass asked for runs after it; '" + follow.statusCommand + "' shows the index.");
        return kExitFailure;
      }
      printProgress("the agent's pass: " + now.progress);
    } else {
      printProgress(now.progress + " (in the agent)");
    }
    ::poll(nullptr, 0, 200);
    auto answer = LockFileSingleInstance::request(follow.socket, poll);
    Result<AgentPassView> next = answer.ok() ? follow.decode(answer.value()) : Result<AgentPassView>(answer.error());
    if (!next.ok()) {
      clearProgress();
      printError("the Pallix agent stopped answering about the pass: " + next.error().description(),
                 "What it indexed is saved; run '" + follow.againCommand + "' again.");
      return kExitUnavailable;
    }
    now = std::move(next).value();
  }
  clearProgress();
  std::cerr << "pallix: stopped waiting; the agent finishes the pass.\n";
  return kExitInterrupted;
}

}  // namespace pallix::cli
