// StatusCollector: the agent's side of `pallix status` and of the settings
// window's Status page. It samples the process's CPU time every minute (for
// the last hour's figure) and assembles a StatusReport from the data
// directory, the process's SourceStatistics and what the agent adds live
// (items in memory, pause inputs).
//
// Threading: created, used and destroyed on the main runner, which runs the
// sampling timer once startSampling() was called (the resident agents do;
// tests of the delegate leave the queue empty).
#pragma once

#include <functional>

#include "app/shell/StatusReport.h"
#include "core/TaskRunner.h"

namespace pallix {

class StatusCollector {
 public:
  StatusCollector(TaskRunnerPtr mainRunner, DataDirectories dirs,
                  SourceStatistics& statistics = SourceStatistics::process());
  void startSampling();
  void stopSampling();

  // `live` adds what only the running agent knows to the report.
  StatusReport collect(const std::function<void(StatusReport&)>& live) const;

 private:
  void sample();

  TaskRunnerPtr main_;
  DataDirectories dirs_;
  SourceStatistics& statistics_;
  MonoTime started_;
  CpuHistory cpu_;
  TaskHandle timer_;
  WeakGuard weak_;
};

}  // namespace pallix
