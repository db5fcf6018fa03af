#include "core/UserDefaults.h"

#include <cstdio>

#include "core/FileUtil.h"
#include "core/Logger.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("UserDefaults");
  return log;
}

constexpr const char* kDateKey = "$date";

// The keys added, changed or removed between two JSON objects.
std::set<std::string> differingKeys(const nlohmann::json& from, const nlohmann::json& to) {
  std::set<std::string> keys;
  for (auto it = to.begin(); it != to.end(); ++it) {
    auto old = from.find(it.key());
    if (old == from.end() || *old != it.value()) keys.insert(it.key());
  }
  for (auto it = from.begin(); it != from.end(); ++it) {
    if (!to.contains(it.key())) keys.insert(it.key());
  }
  return keys;
}

}  // namespace

UserDefaults::UserDefaults() = default;

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
  auto disk = readFile();
  if (disk.ok()) {
    values_ = std::move(disk.value());
    return;
  }
  if (disk.error().domain() != "UserDefaultsError") {
    loadError_ = disk.error();
    logger().error("Cannot read settings file %s: %s", path_.c_str(), disk.error().description().c_str());
    return;
  }
  std::string aside = path_ + ".corrupt";
  std::rename(path_.c_str(), aside.c_str());
  loadError_ = Error("UserDefaultsError", 1,
                     disk.error().description() + "; it was moved to " + aside + " and the settings start fresh");
  logger().error("%s", loadError_->description().c_str());
}

bool UserDefaults::contains(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.contains(key);
}

std::optional<nlohmann::json> UserDefaults::rawValue(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

std::optional<bool> UserDefaults::boolValue(const std::string& key) const {
  auto v = rawValue(key);
  if (!v || !v->is_boolean()) return std::nullopt;
  return v->get<bool>();
}

std::optional<int64_t> UserDefaults::integerValue(const std::string& key) const {
  auto v = rawValue(key);
  if (!v) return std::nullopt;
  if (v->is_number_integer()) return v->get<int64_t>();
  return std::nullopt;
}

std::optional<double> UserDefaults::doubleValue(const std::string& key) const {
  auto v = rawValue(key);
  if (!v || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

std::optional<std::string> UserDefaults::stringValue(const std::string& key) const {
  auto v = rawValue(key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<std::vector<std::string>> UserDefaults::stringArrayValue(const std::string& key) const {
  auto v = rawValue(key);
  if (!v || !v->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& element : *v) {
    if (!element.is_string()) return std::nullopt;
    out.push_back(element.get<std::string>());
  }
  return out;
}

std::optional<nlohmann::json> UserDefaults::dictionaryValue(const std::string& key) const {
  auto v = rawValue(key);
  if (!v || !v->is_object() || v->contains(kDateKey)) return std::nullopt;
  return v;
}

std::optional<Date> UserDefaults::dateValue(const std::string& key) const {
  auto v = rawValue(key);
  if (!v || !v->is_object() || v->size() != 1) return std::nullopt;
  auto it = v->find(kDateKey);
  if (it == v->end() || !it->is_number()) return std::nullopt;
  return dateFromSecondsSince1970(it->get<double>());
}

std::vector<std::string> UserDefaults::keys() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (auto it = values_.begin(); it != values_.end(); ++it) out.push_back(it.key());
  return out;
}

Status UserDefaults::set(const std::string& key, bool value) {
  return setRaw(key, value);
}
Status UserDefaults::set(const std::string& key, int64_t value) {
  return setRaw(key, value);
}
Status UserDefaults::set(const std::string& key, double value) {
  return setRaw(key, value);
}
Status UserDefaults::set(const std::string& key, const std::string& value) {
  return setRaw(key, value);
}
Status UserDefaults::set(const std::string& key, const std::vector<std::string>& value) {
  return setRaw(key, value);
}
Status UserDefaults::setDictionary(const std::string& key, const nlohmann::json& object) {
  if (!object.is_object()) return Error("UserDefaultsError", 2, "Value for " + key + " is not a dictionary");
  return setRaw(key, object);
}
Status UserDefaults::setDate(const std::string& key, Date value) {
  return setRaw(key, nlohmann::json{{kDateKey, secondsSince1970(value)}});
}

Status UserDefaults::setRaw(const std::string& key, nlohmann::json value) {
  // `edit` may run twice (on the file's values, then on memory when saving fails): copy.
  return modify([&](nlohmann::json& values) { values[key] = value; });
}

Status UserDefaults::remove(const std::string& key) {
  return modify([&](nlohmann::json& values) { values.erase(key); });
}

Result<nlohmann::json> UserDefaults::readFile() const {
  if (!fileExists(path_)) return nlohmann::json::object();
  PALLIX_ASSIGN_OR_RETURN(std::string text, readFileToString(path_));
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    return Error("UserDefaultsError", 1, "The settings file " + path_ + " is not a JSON object");
  }
  return parsed;
}

Result<std::vector<std::string>> UserDefaults::reload() {
  if (path_.empty()) return std::vector<std::string>{};
  auto disk = readFile();
  if (!disk.ok()) {
    logger().error("Cannot reload the settings, keeping the current ones: %s", disk.error().description().c_str());
    return disk.error();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<std::string> changed = differingKeys(values_, disk.value());
  changed.merge(absorbedKeys_);
  absorbedKeys_.clear();
  values_ = std::move(disk.value());
  return std::vector<std::string>(changed.begin(), changed.end());
}

Status UserDefaults::modify(const std::function<void(nlohmann::json&)>& edit) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (path_.empty()) {
    edit(values_);
    return okStatus();
  }
  // A value that cannot be saved still lives on in this process's memory.
  auto failed = [&](const Error& error) {
    edit(values_);
    logger().error("Cannot save settings: %s", error.description().c_str());
    return error;
  };
  auto slash = path_.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    Status dir = createDirectories(path_.substr(0, slash));
    if (!dir.ok()) return failed(dir.error());
  }
  auto fileLock = ExclusiveFileLock::lock(path_ + ".lock");
  if (!fileLock.ok()) return failed(fileLock.error());
  nlohmann::json values;
  auto disk = readFile();
  if (disk.ok()) {
    values = std::move(disk.value());
  } else if (disk.error().domain() == "UserDefaultsError") {
    // Damaged by hand or by another program: keep it for the user and write
    // the values this process knows.
    std::string aside = path_ + ".corrupt";
    std::rename(path_.c_str(), aside.c_str());
    logger().error("%s; it was moved to %s and the known settings are written instead",
                   disk.error().description().c_str(), aside.c_str());
    values = values_;
  } else {
    return failed(disk.error());
  }
  const nlohmann::json before = disk.ok() ? values : nlohmann::json();
  edit(values);
  if (values != before) {
    Status status = writeFileAtomically(path_, values.dump(2) + "\n");
    if (!status.ok()) return failed(status.error());
  }
  if (disk.ok()) {
    // What another process changed and this edit kept is taken in now; the
    // next reload reports it, since this process never saw it change.
    for (const std::string& key : differingKeys(values_, before)) {
      auto kept = values.find(key);
      auto theirs = before.find(key);
      const bool stillTheirs =
          kept == values.end() ? theirs == before.end() : theirs != before.end() && *kept == *theirs;
      if (stillTheirs) absorbedKeys_.insert(key);
    }
  }
  values_ = std::move(values);
  return okStatus();
}

}  // namespace pallix
