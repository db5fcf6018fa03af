#include "core/UserDefaults.h"

#include <array>
#include <cstdio>

#include "core/FileUtil.h"
#include "core/Logger.h"
#include "core/Strings.h"

namespace pallix {
namespace {

const Logger& logger() {
  static const Logger log("UserDefaults");
  return log;
}

constexpr const char* kDateKey = "$date";
constexpr const char* kBytesKey = "$bytes";
constexpr const char* kDomain = "UserDefaultsError";

Error defaultsError(UserDefaultsErrorCode code, std::string description) {
  return Error(kDomain, static_cast<int>(code), std::move(description));
}

bool isDefaultsError(const Error& error, UserDefaultsErrorCode code) {
  return error.domain() == kDomain && error.code() == static_cast<int>(code);
}

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(std::string_view bytes) {
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t n = (uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                 (uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) | static_cast<unsigned char>(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) out += kBase64Alphabet[(n >> shift) & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (rest == 2) n |= uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    out += kBase64Alphabet[(n >> 18) & 63];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Strict: padded, no whitespace, as base64Encode writes it.
std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::array<int, 256> value;
  value.fill(-1);
  for (size_t i = 0; i < kBase64Alphabet.size(); ++i) value[static_cast<unsigned char>(kBase64Alphabet[i])] = int(i);
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (padding == 1 && text[i + 2] == '=') return std::nullopt;
    uint32_t n = 0;
    for (int k = 0; k < 4; ++k) {
      int v = k >= 4 - padding ? 0 : value[static_cast<unsigned char>(text[i + k])];
      if (v < 0) return std::nullopt;
      n = (n << 6) | static_cast<uint32_t>(v);
    }
    out += static_cast<char>((n >> 16) & 0xFF);
    if (padding < 2) out += static_cast<char>((n >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(n & 0xFF);
  }
  return out;
}

// The deepest nesting of arrays and objects in JSON `text`, counted without
// parsing it (a parser's own recursion is what a deep file would exhaust);
// stops counting past `limit`.
int nestingDepth(std::string_view text, int limit) {
  int depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) return deepest;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// The value as the store hands it out: {"$bytes": ...} back to its bytes.
// `value` comes from a file no deeper than kMaximumDepth.
void decodeStoredForm(nlohmann::json& value) {
  if (value.is_object()) {
    if (value.size() == 1) {
      auto it = value.find(kBytesKey);
      if (it != value.end() && it->is_string()) {
        if (auto bytes = base64Decode(it->get_ref<const std::string&>())) {
          value = std::move(*bytes);
          return;
        }
      }
    }
    for (auto it = value.begin(); it != value.end(); ++it) decodeStoredForm(*it);
  } else if (value.is_array()) {
    for (auto& element : value) decodeStoredForm(element);
  }
}

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

Result<nlohmann::json> UserDefaults::storedForm(const nlohmann::json& value, int level) {
  auto tooDeep = [] {
    return defaultsError(
        UserDefaultsErrorCode::tooDeep,
        "The value nests deeper than " + std::to_string(kMaximumDepth) + " levels, more than the settings file holds");
  };
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (isValidUtf8(text)) return value;
    if (level > kMaximumDepth) return tooDeep();
    return nlohmann::json{{kBytesKey, base64Encode(text)}};
  }
  if (!value.is_structured()) return value;
  if (level > kMaximumDepth) return tooDeep();
  if (value.is_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& element : value) {
      PALLIX_ASSIGN_OR_RETURN(nlohmann::json stored, storedForm(element, level + 1));
      out.push_back(std::move(stored));
    }
    return out;
  }
  nlohmann::json out = nlohmann::json::object();
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (!isValidUtf8(it.key())) {
      return defaultsError(UserDefaultsErrorCode::keyNotUtf8,
                           "The key " +
                               nlohmann::json(it.key()).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) +
                               " is not UTF-8; settings keys must be");
    }
    PALLIX_ASSIGN_OR_RETURN(nlohmann::json stored, storedForm(it.value(), level + 1));
    out[it.key()] = std::move(stored);
  }
  return out;
}

UserDefaults::UserDefaults() = default;

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
  auto disk = readFile();
  if (disk.ok()) {
    values_ = std::move(disk.value());
    return;
  }
  if (disk.error().domain() != kDomain || isDefaultsError(disk.error(), UserDefaultsErrorCode::tooDeep)) {
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
  MutexLock lock(mutex_);
  return values_.contains(key);
}

std::optional<nlohmann::json> UserDefaults::rawValue(const std::string& key) const {
  MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
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
  if (!object.is_object()) {
    return defaultsError(UserDefaultsErrorCode::notADictionary, "Value for " + key + " is not a dictionary");
  }
  return setRaw(key, object);
}
Status UserDefaults::setDate(const std::string& key, Date value) {
  return setRaw(key, nlohmann::json{{kDateKey, secondsSince1970(value)}});
}

Status UserDefaults::setRaw(const std::string& key, nlohmann::json value) {
  // Refused before anything changes: a value the file cannot hold does not
  // live on in memory either.
  PALLIX_RETURN_IF_ERROR(storedForm(nlohmann::json{{key, value}}));
  // `edit` may run twice (on the file's values, then on memory when saving fails): copy.
  return modify([&](nlohmann::json& values) { values[key] = value; });
}

Status UserDefaults::remove(const std::string& key) {
  return modify([&](nlohmann::json& values) { values.erase(key); });
}

Result<nlohmann::json> UserDefaults::readFile() const {
  if (!fileExists(path_)) return nlohmann::json::object();
  PALLIX_ASSIGN_OR_RETURN(std::string text, readRegularFile(path_, kMaximumFileSize));
  if (nestingDepth(text, kMaximumDepth) > kMaximumDepth) {
    return defaultsError(UserDefaultsErrorCode::tooDeep,
                         "The settings file " + path_ + " nests deeper than " + std::to_string(kMaximumDepth) +
                             " levels; it is left as it is and not read. Repair or remove it");
  }
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    return defaultsError(UserDefaultsErrorCode::notAnObject, "The settings file " + path_ + " is not a JSON object");
  }
  decodeStoredForm(parsed);
  return parsed;
}

Result<std::vector<std::string>> UserDefaults::reload() {
  if (path_.empty()) return std::vector<std::string>{};
  auto disk = readFile();
  if (!disk.ok()) {
    logger().error("Cannot reload the settings, keeping the current ones: %s", disk.error().description().c_str());
    return disk.error();
  }
  MutexLock lock(mutex_);
  std::set<std::string> changed = differingKeys(values_, disk.value());
  changed.merge(absorbedKeys_);
  absorbedKeys_.clear();
  values_ = std::move(disk.value());
  return std::vector<std::string>(changed.begin(), changed.end());
}

Status UserDefaults::modify(const std::function<void(nlohmann::json&)>& edit) {
  MutexLock lock(mutex_);
  if (path_.empty()) {
    edit(values_);
    return okStatus();
  }
  // A value that cannot be saved still lives on in this process's memory.
  auto failed = [&](const Error& error) REQUIRES(mutex_) {
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
  } else if (isDefaultsError(disk.error(), UserDefaultsErrorCode::notAnObject)) {
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
    auto stored = storedForm(values);
    if (!stored.ok()) return failed(stored.error());
    Status status = writeFileAtomically(path_, stored.value().dump(2) + "\n");
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
