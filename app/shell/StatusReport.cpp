#include "app/shell/StatusReport.h"

#include <sys/resource.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/clipboard/ClipboardStore.h"
#include "app/platform/PersistentStore.h"
#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/semantic/FileEmbeddingStore.h"
#include "app/semantic/MessageEmbeddingStore.h"
#include "core/HeapSize.h"

namespace pallix {

SourceStatus* StatusReport::find(const std::string& name) {
  for (SourceStatus& s : sources) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

SourceStatus& StatusReport::source(const std::string& name) {
  if (SourceStatus* found = find(name)) return *found;
  sources.push_back(SourceStatus{.name = name});
  return sources.back();
}

namespace {

double asMilliseconds(Duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

template <typename T>
void putOptional(nlohmann::json& out, const char* key, const std::optional<T>& value) {
  if (value) out[key] = *value;
}

template <typename T>
std::optional<T> optionalMember(const nlohmann::json& in, const char* key) {
  auto it = in.find(key);
  if (it == in.end() || it->is_null()) return std::nullopt;
  return it->get<T>();
}

}  // namespace

std::string encodeStatusReport(const StatusReport& report) {
  nlohmann::json out = {{"agentRunning", report.agentRunning}};
  if (report.agent) {
    const AgentStatus& a = *report.agent;
    out["agent"] = {{"pid", a.pid},
                    {"uptimeSeconds", a.uptimeSeconds},
                    {"cpuSecondsTotal", a.cpuSecondsTotal},
                    {"cpuSecondsLastHour", a.cpuSecondsLastHour},
                    {"residentBytes", a.residentBytes},
                    {"openFiles", a.openFiles},
                    {"workMode", a.workMode}};
  }
  nlohmann::json sources = nlohmann::json::array();
  for (const SourceStatus& s : report.sources) {
    nlohmann::json j = {{"name", s.name}};
    putOptional(j, "items", s.items);
    putOptional(j, "diskBytes", s.diskBytes);
    if (s.memoryBytes) {
      j["memoryBytes"] = *s.memoryBytes;
      j["memoryMeasure"] = s.memoryMeasure;
    }
    if (s.lastPass) {
      j["lastPass"] = {{"kind", s.lastPass->kind},
                       {"finishedAt", secondsSince1970(s.lastPass->finishedAt)},
                       {"durationSeconds", toSeconds(s.lastPass->duration)},
                       {"outcome", s.lastPass->outcome}};
    }
    nlohmann::json latency = {{"queries", s.queries}, {"kept", s.keptQueries}};
    if (s.p50) latency["p50Ms"] = asMilliseconds(*s.p50);
    if (s.p95) latency["p95Ms"] = asMilliseconds(*s.p95);
    j["latency"] = latency;
    nlohmann::json requests = nlohmann::json::array();
    for (const auto& [host, count] : s.requestsToday) requests.push_back({{"host", host}, {"count", count}});
    j["requestsToday"] = requests;
    if (s.paused) {
      j["paused"] = *s.paused;
      j["pauseReasons"] = s.pauseReasons;
    }
    sources.push_back(std::move(j));
  }
  out["sources"] = std::move(sources);
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<StatusReport> decodeStatusReport(const std::string& line) {
  nlohmann::json in = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (in.is_discarded() || !in.is_object() || !in.contains("sources") || !in["sources"].is_array()) {
    if (in.is_object() && in.contains("refused")) {
      return Error("AgentRequestError", 2, "The Pallix agent refused: " + in.value("refused", std::string()));
    }
    return Error("AgentRequestError", 1, "The Pallix agent answered without a status: " + line.substr(0, 80));
  }
  try {
    StatusReport report;
    report.agentRunning = in.value("agentRunning", false);
    if (auto a = in.find("agent"); a != in.end() && a->is_object()) {
      AgentStatus agent;
      agent.pid = a->value("pid", int64_t{0});
      agent.uptimeSeconds = a->value("uptimeSeconds", 0.0);
      agent.cpuSecondsTotal = a->value("cpuSecondsTotal", 0.0);
      agent.cpuSecondsLastHour = a->value("cpuSecondsLastHour", 0.0);
      agent.residentBytes = a->value("residentBytes", int64_t{0});
      agent.openFiles = a->value("openFiles", int64_t{0});
      agent.workMode = a->value("workMode", std::string());
      report.agent = agent;
    }
    for (const nlohmann::json& j : in["sources"]) {
      SourceStatus s;
      s.name = j.value("name", std::string());
      s.items = optionalMember<int64_t>(j, "items");
      s.diskBytes = optionalMember<int64_t>(j, "diskBytes");
      s.memoryBytes = optionalMember<int64_t>(j, "memoryBytes");
      s.memoryMeasure = j.value("memoryMeasure", std::string());
      if (auto p = j.find("lastPass"); p != j.end() && p->is_object()) {
        s.lastPass = PassRecord{p->value("kind", std::string()), dateFromSecondsSince1970(p->value("finishedAt", 0.0)),
                                seconds(p->value("durationSeconds", 0.0)), p->value("outcome", std::string())};
      }
      if (auto l = j.find("latency"); l != j.end() && l->is_object()) {
        s.queries = l->value("queries", uint64_t{0});
        s.keptQueries = l->value("kept", size_t{0});
        if (auto p50 = optionalMember<double>(*l, "p50Ms")) s.p50 = pallix::milliseconds(*p50);
        if (auto p95 = optionalMember<double>(*l, "p95Ms")) s.p95 = pallix::milliseconds(*p95);
      }
      if (auto r = j.find("requestsToday"); r != j.end() && r->is_array()) {
        for (const nlohmann::json& h : *r) s.requestsToday[h.value("host", std::string())] = h.value("count", 0ull);
      }
      s.paused = optionalMember<bool>(j, "paused");
      if (auto reasons = j.find("pauseReasons"); reasons != j.end() && reasons->is_array()) {
        for (const nlohmann::json& r : *reasons) {
          if (r.is_string()) s.pauseReasons.push_back(r.get<std::string>());
        }
      }
      report.sources.push_back(std::move(s));
    }
    return report;
  } catch (const nlohmann::json::exception& e) {
    return Error("AgentRequestError", 1, std::string("The Pallix agent's status is unreadable: ") + e.what());
  }
}

PauseState pauseState(BackgroundWork work, const PauseInputs& in) {
  PauseState state;
  const bool hot = in.thermal == ThermalState::serious || in.thermal == ThermalState::critical;
  const char* heat = in.thermal == ThermalState::critical ? "heat: the thermal state is critical"
                                                          : "heat: the thermal state is serious";
  switch (work) {
    case BackgroundWork::catalogScans:
      // Deep idle comes from power saving, heat or two minutes hidden; the
      // open panel (active) wins over all of them.
      state.paused = in.mode == WorkMode::deepIdle;
      if (!state.paused) break;
      if (in.lowPower) state.reasons.push_back("battery: power saving is on");
      if (hot) state.reasons.push_back(heat);
      if (state.reasons.empty()) state.reasons.push_back("work mode: deep idle (the panel has been hidden 2 minutes)");
      break;
    case BackgroundWork::semanticIndexing:
      if (in.mode == WorkMode::active) state.reasons.push_back("work mode: active (the panel is open)");
      if (hot) state.reasons.push_back(heat);
      state.paused = !state.reasons.empty();
      break;
  }
  return state;
}

void CpuHistory::addSample(MonoTime at, double cpuSeconds) {
  samples_.emplace_back(at, cpuSeconds);
  // One sample at or before the window's start stays: it is the baseline.
  while (samples_.size() > 1 && samples_[1].first <= at - kWindow) samples_.pop_front();
}

double CpuHistory::lastHour(MonoTime now, double cpuSecondsNow) const {
  for (const auto& [at, cpu] : samples_) {
    if (at >= now - kWindow) return std::max(0.0, cpuSecondsNow - cpu);
  }
  // Every sample is older than the window: the newest is the closest baseline.
  return samples_.empty() ? cpuSecondsNow : std::max(0.0, cpuSecondsNow - samples_.back().second);
}

double processCpuSeconds() {
  struct rusage usage {};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  auto secs = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return secs(usage.ru_utime) + secs(usage.ru_stime);
}

Duration processAge() {
  std::ifstream in("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The fields after the command name, which is in parentheses and may hold spaces.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return Duration::zero();
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  // State is field 3; the start time (clock ticks after boot) is field 22.
  for (int i = 3; i < 22 && fields >> field; ++i) {
  }
  unsigned long long startTicks = 0;
  if (!(fields >> startTicks)) return Duration::zero();
  timespec boot{};
  if (::clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return Duration::zero();
  const double age =
      double(boot.tv_sec) + double(boot.tv_nsec) / 1e9 - double(startTicks) / double(::sysconf(_SC_CLK_TCK));
  return age > 0 ? seconds(age) : Duration::zero();
}

int64_t processOpenFiles() {
  std::error_code ec;
  int64_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++count;
  // The iterator's own descriptor is among them.
  return count > 0 ? count - 1 : 0;
}

namespace {

namespace fs = std::filesystem;

// The bytes of the entries of `dir` whose names start with `prefix`, folders counted whole.
std::optional<int64_t> bytesNamed(const std::string& dir, const std::string& prefix) {
  std::error_code ec;
  std::optional<int64_t> total;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind(prefix, 0) != 0) continue;
    int64_t bytes = 0;
    if (it->is_directory(ec)) {
      for (fs::recursive_directory_iterator f(it->path(), ec), fend; !ec && f != fend; f.increment(ec)) {
        if (f->is_regular_file(ec)) bytes += static_cast<int64_t>(f->file_size(ec));
      }
    } else if (it->is_regular_file(ec)) {
      bytes = static_cast<int64_t>(it->file_size(ec));
    }
    total = total.value_or(0) + bytes;
  }
  return total;
}

}  // namespace

int64_t heapBytesOf(const std::vector<ClipboardItem>& history) {
  int64_t bytes = static_cast<int64_t>(history.capacity() * sizeof(ClipboardItem));
  for (const ClipboardItem& item : history) {
    for (const auto* text : {&item.contentHash, &item.sourceAppBundleIdentifier, &item.sourceAppName, &item.primaryText,
                             &item.normalizedSearchText, &item.detectedURLString}) {
      bytes += heapBytes(*text);
    }
    bytes += static_cast<int64_t>(item.representations.capacity() * sizeof(ClipboardRepresentation));
    for (const ClipboardRepresentation& r : item.representations) {
      bytes += heapBytes(r.typeIdentifier) + heapBytes(r.data) + heapBytes(r.stringValue);
    }
  }
  return bytes;
}

std::vector<SourceStatus> diskStatus(const DataDirectories& dirs) {
  StatusReport out;
  const std::string store = fs::path(dirs.storePath()).filename().string();
  out.source(kCatalogSource).diskBytes = bytesNamed(dirs.data, store);
  out.source(kSemanticFilesSource).diskBytes = bytesNamed(dirs.data, FileEmbeddingStore::kIndexName);
  out.source(kSemanticMessagesSource).diskBytes = bytesNamed(dirs.data, MessageEmbeddingStore::kIndexName);
  std::error_code ec;
  if (fs::is_regular_file(dirs.storePath(), ec)) {
    PersistentStore::OpenOptions options;
    options.verifyIntegrity = false;
    auto opened = PersistentStore::openForReading(dirs.storePath(), catalogMigrationSteps(), options);
    if (opened.ok()) {
      CatalogStore catalog(*opened.value());
      if (auto all = catalog.count(); all.ok()) out.source(kCatalogSource).items = all.value();
      if (auto apps = catalog.count(IndexedItem::ItemType::app); apps.ok())
        out.source(kAppsSource).items = apps.value();
      if (auto files = catalog.count(IndexedItem::ItemType::file); files.ok()) {
        out.source(kFilesSource).items = files.value();
      }
      ClipboardStore clipboard(*opened.value());
      SourceStatus& history = out.source(kClipboardSource);
      if (auto count = clipboard.count(); count.ok()) history.items = count.value();
      if (auto bytes = clipboard.payloadBytes(); bytes.ok()) history.diskBytes = bytes.value();
    }
  }
  return std::move(out.sources);
}

void mergeDiskStatus(StatusReport& report, const std::vector<SourceStatus>& from) {
  for (const SourceStatus& disk : from) {
    SourceStatus& s = report.source(disk.name);
    if (disk.items && !s.items) s.items = disk.items;
    if (disk.diskBytes) s.diskBytes = disk.diskBytes;
  }
}

void mergeSourceStatistics(StatusReport& report, const std::vector<SourceStatistics::Source>& recorded) {
  for (const SourceStatistics::Source& r : recorded) {
    SourceStatus& s = report.source(r.name);
    s.queries = r.queries;
    s.keptQueries = r.keptQueries;
    if (r.keptQueries > 0) {
      s.p50 = r.p50;
      s.p95 = r.p95;
    }
    if (r.lastPass) s.lastPass = r.lastPass;
    s.requestsToday = r.requestsToday;
    if (r.footprint && !s.memoryBytes) {
      s.memoryBytes = r.footprint->bytes;
      s.memoryMeasure = r.footprint->measure;
    }
    if (r.footprint && r.footprint->items && !s.items) s.items = r.footprint->items;
  }
}

}  // namespace pallix
