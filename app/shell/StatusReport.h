// StatusReport: what `pallix status` and the settings window's Status page
// show: for each source and index its items, disk and memory, last pass,
// query latency, today's web requests and whether its background work is
// paused (and why); for the agent its CPU, memory and open files. The agent
// answers the "status" request with one JSON line of it; without an agent
// the command fills in what the disk tells (diskStatus).
//
// Pure data and functions, no threads; CpuHistory belongs to whoever
// samples it (the delegate, on the main runner).
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/clipboard/ClipboardItem.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/SystemConditions.h"
#include "core/Clock.h"
#include "core/Error.h"
#include "core/SourceStatistics.h"
#include "core/WorkMode.h"

namespace pallix {

inline constexpr const char* kAgentStatusRequest = "status";

// Source and index names, as shown.
inline constexpr const char* kCatalogSource = "catalog";
inline constexpr const char* kAppsSource = "apps";
inline constexpr const char* kFilesSource = "files";
inline constexpr const char* kClipboardSource = "clipboard";
inline constexpr const char* kEmojiSource = "emoji";
inline constexpr const char* kMessagesSource = "messages";
inline constexpr const char* kSemanticFilesSource = "semantic files";
inline constexpr const char* kSemanticMessagesSource = "semantic messages";

struct SourceStatus {
  std::string name;
  std::optional<int64_t> items;
  std::optional<int64_t> diskBytes;
  std::optional<int64_t> memoryBytes;
  std::string memoryMeasure;  // how memoryBytes was measured
  std::optional<PassRecord> lastPass;
  uint64_t queries = 0;  // since the agent started
  size_t keptQueries = 0;
  std::optional<Duration> p50, p95;  // of the kept queries
  std::map<std::string, uint64_t> requestsToday;
  std::optional<bool> paused;  // set for background work only
  std::vector<std::string> pauseReasons;
};

struct AgentStatus {
  int64_t pid = 0;
  double uptimeSeconds = 0;
  double cpuSecondsTotal = 0;
  double cpuSecondsLastHour = 0;
  int64_t residentBytes = 0;
  int64_t openFiles = 0;
  std::string workMode;
};

struct StatusReport {
  bool agentRunning = false;
  std::optional<AgentStatus> agent;
  std::vector<SourceStatus> sources;

  SourceStatus* find(const std::string& name);
  // The entry named `name`, added at the end when missing.
  SourceStatus& source(const std::string& name);
};

std::string encodeStatusReport(const StatusReport& report);
Result<StatusReport> decodeStatusReport(const std::string& line);

// What decides whether background work runs, as the work-mode policy sees it.
struct PauseInputs {
  WorkMode mode = WorkMode::idle;
  bool panelVisible = false;
  bool lowPower = false;  // the power-saver profile, as on battery
  ThermalState thermal = ThermalState::nominal;
};
enum class BackgroundWork { catalogScans, semanticIndexing };
struct PauseState {
  bool paused = false;
  std::vector<std::string> reasons;
};
// Full catalog scans wait in deep idle; semantic indexing yields while the
// panel is open and stops when the machine is hot.
PauseState pauseState(BackgroundWork work, const PauseInputs& inputs);

// The process's CPU time, sampled every kSampleInterval for an hour, so
// that the time of the last hour is the newest minus the sample an hour old.
class CpuHistory {
 public:
  static constexpr Duration kSampleInterval = std::chrono::seconds(60);
  static constexpr Duration kWindow = std::chrono::seconds(3600);
  void addSample(MonoTime at, double cpuSeconds);
  // CPU seconds used over the last hour (since the first sample when that is younger).
  double lastHour(MonoTime now, double cpuSecondsNow) const;

 private:
  std::deque<std::pair<MonoTime, double>> samples_;
};

// User and system CPU seconds of this process (getrusage).
double processCpuSeconds();
// How long ago this process started (/proc/self/stat against the boot clock).
Duration processAge();
// Entries of /proc/self/fd.
int64_t processOpenFiles();

// The heap a clipboard history list holds: its items, their texts and representations.
int64_t heapBytesOf(const std::vector<ClipboardItem>& history);

// Items and disk sizes as the data directory holds them (read-only; no
// store is created). Used with and without an agent.
std::vector<SourceStatus> diskStatus(const DataDirectories& dirs);
// Sets what `from` knows (items, disk) on the entries of `report`.
void mergeDiskStatus(StatusReport& report, const std::vector<SourceStatus>& from);
// Adds the statistics the process recorded (latency, passes, requests, heap).
void mergeSourceStatistics(StatusReport& report, const std::vector<SourceStatistics::Source>& recorded);

}  // namespace pallix
