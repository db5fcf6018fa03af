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

}  // namespace

UserDefaults::UserDefaults() = default;

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
  if (!fileExists(path_)) return;
  auto text = readFileToString(path_);
  if (!text.ok()) {
    loadError_ = text.error();
    logger().error("Cannot read settings file %s: %s", path_.c_str(), text.error().description().c_str());
    return;
  }
  nlohmann::json parsed = nlohmann::json::parse(text.value(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    std::string aside = path_ + ".corrupt";
    std::rename(path_.c_str(), aside.c_str());
    loadError_ = Error("UserDefaultsError", 1,
                       "The settings file " + path_ + " is not a JSON object; it was moved to " + aside +
                           " and the settings start fresh");
    logger().error("%s", loadError_->description().c_str());
    return;
  }
  values_ = std::move(parsed);
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

Status UserDefaults::set(const std::string& key, bool value) { return setRaw(key, value); }
Status UserDefaults::set(const std::string& key, int64_t value) { return setRaw(key, value); }
Status UserDefaults::set(const std::string& key, double value) { return setRaw(key, value); }
Status UserDefaults::set(const std::string& key, const std::string& value) { return setRaw(key, value); }
Status UserDefaults::set(const std::string& key, const std::vector<std::string>& value) { return setRaw(key, value); }
Status UserDefaults::setDictionary(const std::string& key, const nlohmann::json& object) {
  if (!object.is_object()) return Error("UserDefaultsError", 2, "Value for " + key + " is not a dictionary");
  return setRaw(key, object);
}
Status UserDefaults::setDate(const std::string& key, Date value) {
  return setRaw(key, nlohmann::json{{kDateKey, secondsSince1970(value)}});
}

Status UserDefaults::setRaw(const std::string& key, nlohmann::json value) {
  std::lock_guard<std::mutex> lock(mutex_);
  return storeLocked(key, std::move(value));
}

Status UserDefaults::remove(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!values_.contains(key)) return okStatus();
  values_.erase(key);
  return flushLocked();
}

Status UserDefaults::storeLocked(const std::string& key, nlohmann::json value) {
  values_[key] = std::move(value);
  return flushLocked();
}

Status UserDefaults::flushLocked() {
  if (path_.empty()) return okStatus();
  auto slash = path_.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    auto dir = createDirectories(path_.substr(0, slash));
    if (!dir.ok()) return dir;
  }
  Status status = writeFileAtomically(path_, values_.dump(2) + "\n");
  if (!status.ok()) logger().error("Cannot save settings: %s", status.error().description().c_str());
  return status;
}

}  // namespace pallix
