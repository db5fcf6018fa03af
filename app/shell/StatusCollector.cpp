#include "app/shell/StatusCollector.h"

#include <unistd.h>

#include "app/semantic/IndexingConditions.h"

namespace pallix {

StatusCollector::StatusCollector(TaskRunnerPtr mainRunner, DataDirectories dirs, SourceStatistics& statistics)
    : main_(std::move(mainRunner)),
      dirs_(std::move(dirs)),
      statistics_(statistics),
      started_(statistics.clock().now() - processAge()) {
  // The process had used no CPU when it started.
  cpu_.addSample(started_, 0);
}

void StatusCollector::startSampling() {
  if (timer_.valid()) return;
  timer_ = main_->postDelayed(CpuHistory::kSampleInterval, weak_.wrap([this] { sample(); }));
}

void StatusCollector::stopSampling() {
  timer_.cancel();
  timer_ = TaskHandle();
}

void StatusCollector::sample() {
  cpu_.addSample(statistics_.clock().now(), processCpuSeconds());
  timer_ = main_->postDelayed(CpuHistory::kSampleInterval, weak_.wrap([this] { sample(); }));
}

StatusReport StatusCollector::collect(const std::function<void(StatusReport&)>& live) const {
  StatusReport report;
  report.agentRunning = true;
  // The order in which they are shown: indexes, then the sources that answer queries.
  for (const char* name : {kCatalogSource, kAppsSource, kFilesSource, kClipboardSource, kSemanticFilesSource,
                           kSemanticMessagesSource, kEmojiSource, kMessagesSource}) {
    report.source(name);
  }
  mergeDiskStatus(report, diskStatus(dirs_));
  mergeSourceStatistics(report, statistics_.snapshot());
  AgentStatus agent;
  const MonoTime now = statistics_.clock().now();
  agent.pid = ::getpid();
  agent.uptimeSeconds = toSeconds(now - started_);
  agent.cpuSecondsTotal = processCpuSeconds();
  agent.cpuSecondsLastHour = cpu_.lastHour(now, agent.cpuSecondsTotal);
  agent.residentBytes = static_cast<int64_t>(processResidentMemoryBytes());
  agent.openFiles = processOpenFiles();
  report.agent = agent;
  if (live) live(report);
  return report;
}

}  // namespace pallix
