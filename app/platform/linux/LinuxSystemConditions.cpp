#include "app/platform/linux/LinuxSystemConditions.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "core/FileUtil.h"
#include "core/Logger.h"
#include "core/Strings.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("LinuxSystemConditions");
  return log;
}

constexpr int kPowerObserver = 0;
constexpr int kThermalObserver = 1;
constexpr int kMemoryObserver = 2;

constexpr const char* kPsiTriggers[2] = {"some 150000 1000000", "full 100000 1000000"};
constexpr uint32_t kPsiTriggerEvents[2] = {kMemoryPressureWarning, kMemoryPressureCritical};

std::optional<std::string> readTrimmed(const std::string& path) {
  auto text = readFileToString(path);
  if (!text.ok()) return std::nullopt;
  return std::string(trimWhitespace(text.value()));
}

std::optional<long long> readInteger(const std::string& path) {
  auto text = readTrimmed(path);
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text->c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return std::nullopt;
  return v;
}

bool executableInPath(const std::string& tool) {
  const char* pathEnv = std::getenv("PATH");
  if (!pathEnv) return false;
  for (const auto& dir : splitString(pathEnv, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + tool;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
  }
  return false;
}

// The avg10 value of the PSI line starting with `kind` ("some" or "full").
std::optional<double> psiAvg10(const std::string& text, std::string_view kind) {
  for (const auto& line : splitString(text, '\n')) {
    if (!startsWith(line, kind)) continue;
    auto at = line.find("avg10=");
    if (at == std::string::npos) return std::nullopt;
    const char* start = line.c_str() + at + 6;
    char* end = nullptr;
    double v = std::strtod(start, &end);
    if (end == start) return std::nullopt;
    return v;
  }
  return std::nullopt;
}

}  // namespace

struct LinuxSystemConditions::Shared {
  std::mutex mutex;
  Observers observers;
  uint64_t generation = 0;
};

LinuxSystemConditions::LinuxSystemConditions(TaskRunnerPtr mainRunner)
    : LinuxSystemConditions(std::move(mainRunner), Options()) {}

LinuxSystemConditions::LinuxSystemConditions(TaskRunnerPtr mainRunner, Options options)
    : main_(std::move(mainRunner)), options_(std::move(options)), shared_(std::make_shared<Shared>()) {
  lowPower_ = readLowPowerMode().value_or(false);
  thermal_ = static_cast<int>(readThermalState().value_or(ThermalState::nominal));
  lastPressureLevel_ = readMemoryPressureLevel().value_or(kMemoryPressureNone);
}

LinuxSystemConditions::~LinuxSystemConditions() {
  stopObserving();
}

std::string LinuxSystemConditions::path(const std::string& relative) const {
  if (!options_.root.empty() && options_.root.back() == '/') return options_.root + relative;
  return options_.root + "/" + relative;
}

void LinuxSystemConditions::startObserving(Observers observers) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->observers = std::move(observers);
    ++shared_->generation;
  }
  if (options_.pollingThread && !thread_.joinable()) startPollingThread();
}

void LinuxSystemConditions::stopObserving() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->observers = {};
    ++shared_->generation;
  }
  if (thread_.joinable()) {
    stop_ = true;
    uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) logger().error("Cannot wake the polling thread: %s", strerror(errno));
    thread_.join();
    stop_ = false;
  }
  closePsiTriggers();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

void LinuxSystemConditions::post(int which, uint32_t event) {
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    generation = shared_->generation;
  }
  main_->post([shared = shared_, generation, which, event] {
    std::function<void()> call;
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (shared->generation != generation) return;
      const Observers& o = shared->observers;
      if (which == kPowerObserver && o.powerStateChanged) call = o.powerStateChanged;
      if (which == kThermalObserver && o.thermalStateChanged) call = o.thermalStateChanged;
      if (which == kMemoryObserver && o.memoryPressure) call = [f = o.memoryPressure, event] { f(event); };
    }
    if (call) call();
  });
}

std::optional<bool> LinuxSystemConditions::readLowPowerMode() const {
  if (!options_.lowPowerOverrideFile.empty()) {
    if (auto text = readTrimmed(options_.lowPowerOverrideFile)) {
      std::string v = asciiLowercase(*text);
      return v == "1" || v == "on" || v == "true" || v == "low-power" || v == "power-saver";
    }
  }
  if (auto profile = readTrimmed(path("sys/firmware/acpi/platform_profile"))) return *profile == "low-power";
  if (options_.usePowerProfilesCtl && executableInPath("powerprofilesctl")) {
    FILE* pipe = ::popen("powerprofilesctl get 2>/dev/null", "r");
    if (!pipe) return std::nullopt;
    char buffer[128] = {};
    size_t n = std::fread(buffer, 1, sizeof buffer - 1, pipe);
    int status = ::pclose(pipe);
    if (status != 0) return std::nullopt;
    return trimWhitespace(std::string_view(buffer, n)) == "power-saver";
  }
  return std::nullopt;
}

std::optional<ThermalState> LinuxSystemConditions::readThermalState() const {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::directory_iterator it(path("sys/class/thermal"), ec);
  if (ec) return std::nullopt;
  std::optional<ThermalState> result;
  for (const auto& entry : it) {
    std::string name = entry.path().filename().string();
    if (!startsWith(name, "thermal_zone")) continue;
    std::string zone = entry.path().string();
    auto temp = readInteger(zone + "/temp");
    if (!temp) continue;
    ThermalState state = ThermalState::nominal;
    for (int i = 0;; ++i) {
      std::string prefix = zone + "/trip_point_" + std::to_string(i);
      auto type = readTrimmed(prefix + "_type");
      if (!type) break;
      auto trip = readInteger(prefix + "_temp");
      if (!trip || *trip <= 0 || *temp < *trip) continue;
      ThermalState reached = ThermalState::nominal;
      if (*type == "critical") reached = ThermalState::critical;
      if (*type == "hot") reached = ThermalState::serious;
      if (*type == "passive") reached = ThermalState::fair;
      if (static_cast<int>(reached) > static_cast<int>(state)) state = reached;
    }
    if (!result || static_cast<int>(state) > static_cast<int>(*result)) result = state;
  }
  return result;
}

std::optional<uint32_t> LinuxSystemConditions::readMemoryPressureLevel() const {
  auto text = readFileToString(path("proc/pressure/memory"));
  if (!text.ok()) return std::nullopt;
  auto some = psiAvg10(text.value(), "some");
  auto full = psiAvg10(text.value(), "full");
  if (!some && !full) return std::nullopt;
  if (full && *full >= 10.0) return kMemoryPressureCritical;
  if (some && *some >= 15.0) return kMemoryPressureWarning;
  return kMemoryPressureNone;
}

void LinuxSystemConditions::pollOnce() {
  std::lock_guard<std::mutex> lock(pollMutex_);
  if (auto lowPower = readLowPowerMode(); lowPower && *lowPower != lowPower_.load()) {
    lowPower_ = *lowPower;
    post(kPowerObserver, 0);
  }
  if (auto thermal = readThermalState(); thermal && static_cast<int>(*thermal) != thermal_.load()) {
    thermal_ = static_cast<int>(*thermal);
    post(kThermalObserver, 0);
  }
  if (!triggersActive_) {
    if (auto level = readMemoryPressureLevel()) {
      if (*level != lastPressureLevel_ && *level != kMemoryPressureNone) post(kMemoryObserver, *level);
      lastPressureLevel_ = *level;
    }
  }
}

void LinuxSystemConditions::openPsiTriggers() {
  std::string file = path("proc/pressure/memory");
  for (int i = 0; i < 2; ++i) {
    int fd = ::open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::write(fd, kPsiTriggers[i], std::strlen(kPsiTriggers[i]) + 1) < 0) {
      logger().debug("PSI trigger \"%s\" unavailable (%s); reading %s periodically", kPsiTriggers[i], strerror(errno),
                     file.c_str());
      if (fd >= 0) ::close(fd);
      closePsiTriggers();
      return;
    }
    triggerFds_[i] = fd;
  }
  triggersActive_ = true;
}

void LinuxSystemConditions::closePsiTriggers() {
  for (int& fd : triggerFds_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  triggersActive_ = false;
}

void LinuxSystemConditions::startPollingThread() {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    logger().error("Cannot create the polling thread's wake-up descriptor: %s", strerror(errno));
    return;
  }
  if (options_.usePsiTriggers) openPsiTriggers();
  thread_ = std::thread([this] { pollingLoop(); });
}

void LinuxSystemConditions::pollingLoop() {
  int timeoutMs =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(options_.pollInterval).count());
  std::chrono::steady_clock::time_point lastTriggerDelivery[2] = {};
  while (!stop_) {
    pollOnce();
    pollfd fds[3];
    int count = 0;
    fds[count++] = {wakeFd_, POLLIN, 0};
    for (int fd : triggerFds_) {
      if (fd >= 0) fds[count++] = {fd, POLLPRI, 0};
    }
    int ready = ::poll(fds, count, timeoutMs);
    if (stop_) break;
    if (ready < 0) {
      if (errno == EINTR) continue;
      logger().error("poll failed: %s", strerror(errno));
      break;
    }
    for (int i = 1; i < count; ++i) {
      if (fds[i].revents & POLLERR) {
        logger().error("PSI trigger failed; reading memory pressure periodically");
        closePsiTriggers();
        break;
      }
      if (fds[i].revents & POLLPRI) {
        // A trigger fires once per window while the stall lasts; deliver at
        // most one event of each kind per poll interval.
        auto now = std::chrono::steady_clock::now();
        if (now - lastTriggerDelivery[i - 1] >= options_.pollInterval) {
          lastTriggerDelivery[i - 1] = now;
          post(kMemoryObserver, kPsiTriggerEvents[i - 1]);
        }
      }
    }
  }
}

}  // namespace pallix
