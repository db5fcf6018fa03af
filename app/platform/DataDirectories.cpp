#include "app/platform/DataDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "core/Strings.h"

namespace pallix {
namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string userHome() {
  std::string home = env("HOME");
  if (!home.empty()) return home;
  if (passwd* pw = getpwuid(getuid())) return pw->pw_dir;
  return "/tmp";
}

std::vector<std::string> systemDirs() {
  std::string dirs = env("XDG_DATA_DIRS");
  if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
  std::vector<std::string> out;
  for (auto& d : splitString(dirs, ':')) {
    if (!d.empty()) out.push_back(d);
  }
  return out;
}

}  // namespace

DataDirectories DataDirectories::forHome(const std::string& home) {
  DataDirectories d;
  d.home = home;
  d.userDataHome = home + "/.local/share";
  d.data = d.userDataHome + "/Pallix";
  d.cache = home + "/.cache/Pallix";
  d.runtime = d.data;
  d.systemDataDirs = systemDirs();
  return d;
}

std::string DataDirectories::socketPath() const {
  if (runtime.empty() || runtime == data) return data + "/pallix.socket";
  // FNV-1a: short, stable across builds, and unique enough per user.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : data) hash = (hash ^ c) * 1099511628211ull;
  return runtime + stringPrintf("/pallix-%016llx.socket", static_cast<unsigned long long>(hash));
}

DataDirectories DataDirectories::fromEnvironment() {
  std::string runtime = env("XDG_RUNTIME_DIR");
  std::string pallixHome = env("PALLIX_HOME");
  if (!pallixHome.empty()) {
    DataDirectories d = forHome(pallixHome);
    if (!runtime.empty()) d.runtime = runtime;
    return d;
  }
  DataDirectories d = forHome(userHome());
  std::string xdgData = env("XDG_DATA_HOME");
  if (!xdgData.empty()) {
    d.userDataHome = xdgData;
    d.data = xdgData + "/Pallix";
  }
  std::string xdgCache = env("XDG_CACHE_HOME");
  if (!xdgCache.empty()) d.cache = xdgCache + "/Pallix";
  d.runtime = runtime.empty() ? d.data : runtime;
  return d;
}

}  // namespace pallix
