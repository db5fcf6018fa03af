#include "app/clipboard/ClipboardLinkPreviewStore.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "app/clipboard/Base64.h"
#include "core/ContentDigest.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace fs = std::filesystem;

double secondsSince2001(Date date) {
  return secondsSince1970(date) - kSecondsFrom1970To2001;
}

ClipboardLinkPreviewStore::ClipboardLinkPreviewStore(std::string baseDirectory, int maxEntries, const Clock& clock)
    : directory_(std::move(baseDirectory) + "/" + kDirectoryName),
      maxEntries_(std::max(1, maxEntries)),
      clock_(clock) {}

std::string ClipboardLinkPreviewStore::canonicalURLString(const std::string& url) {
  return asciiLowercase(trimWhitespace(url));
}

std::string ClipboardLinkPreviewStore::cacheKey(const std::string& url) {
  return sha256Hex(canonicalURLString(url));
}

std::string ClipboardLinkPreviewStore::filePath(const std::string& url) const {
  return directory_ + "/" + cacheKey(url) + ".json";
}

std::string ClipboardLinkPreviewStore::encode(const ClipboardLinkPreviewPayload& payload) {
  // nlohmann::json objects keep their keys sorted.
  nlohmann::json json = {{"urlString", payload.urlString},
                         {"canonicalURLString", payload.canonicalURLString},
                         {"createdAt", payload.createdAt},
                         {"lastAccessedAt", payload.lastAccessedAt}};
  if (payload.title) json["title"] = *payload.title;
  if (payload.iconImageData) json["iconImageData"] = base64Encode(*payload.iconImageData);
  if (payload.previewImageData) json["previewImageData"] = base64Encode(*payload.previewImageData);
  return json.dump();
}

Result<ClipboardLinkPreviewPayload> ClipboardLinkPreviewStore::decode(const std::string& text) {
  auto fail = [](const std::string& why) { return Error(kErrorDomain, 1, "Cannot decode a link preview: " + why); };
  nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return fail("not a JSON object");
  ClipboardLinkPreviewPayload payload;
  auto requiredString = [&](const char* key, std::string& out) {
    auto it = json.find(key);
    if (it == json.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
  };
  auto requiredNumber = [&](const char* key, double& out) {
    auto it = json.find(key);
    if (it == json.end() || !it->is_number()) return false;
    out = it->get<double>();
    return true;
  };
  if (!requiredString("urlString", payload.urlString)) return fail("\"urlString\" is missing");
  if (!requiredString("canonicalURLString", payload.canonicalURLString)) {
    return fail("\"canonicalURLString\" is missing");
  }
  if (!requiredNumber("createdAt", payload.createdAt)) return fail("\"createdAt\" is missing");
  if (!requiredNumber("lastAccessedAt", payload.lastAccessedAt)) return fail("\"lastAccessedAt\" is missing");
  if (auto it = json.find("title"); it != json.end()) {
    if (!it->is_string()) return fail("\"title\" is not a string");
    payload.title = it->get<std::string>();
  }
  for (auto [key, field] :
       {std::pair{"iconImageData", &payload.iconImageData}, std::pair{"previewImageData", &payload.previewImageData}}) {
    auto it = json.find(key);
    if (it == json.end()) continue;
    std::optional<std::string> bytes = it->is_string() ? base64Decode(it->get<std::string>()) : std::nullopt;
    if (!bytes) return fail(std::string("\"") + key + "\" is not Base64");
    *field = std::move(bytes);
  }
  return payload;
}

Result<std::optional<ClipboardLinkPreviewPayload>> ClipboardLinkPreviewStore::loadPreview(const std::string& url) {
  const std::string path = filePath(url);
  if (!fileExists(path)) return std::optional<ClipboardLinkPreviewPayload>();
  PALLIX_ASSIGN_OR_RETURN(std::string text, readFileToString(path));
  auto decoded = decode(text);
  if (!decoded.ok()) return decoded.error().withContext(path);
  ClipboardLinkPreviewPayload payload = std::move(decoded).value();
  payload.lastAccessedAt = secondsSince2001(clock_.wallNow());
  PALLIX_RETURN_IF_ERROR(write(payload));
  pruneIfNeeded();
  return std::optional<ClipboardLinkPreviewPayload>(std::move(payload));
}

Status ClipboardLinkPreviewStore::savePreview(ClipboardLinkPreviewPayload payload) {
  PALLIX_RETURN_IF_ERROR(createDirectories(directory_));
  payload.lastAccessedAt = secondsSince2001(clock_.wallNow());
  PALLIX_RETURN_IF_ERROR(write(payload));
  pruneIfNeeded();
  return okStatus();
}

Status ClipboardLinkPreviewStore::write(const ClipboardLinkPreviewPayload& payload) {
  return writeFileAtomically(filePath(payload.urlString), encode(payload));
}

void ClipboardLinkPreviewStore::pruneIfNeeded() {
  std::error_code error;
  std::vector<std::pair<double, fs::path>> entries;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory_, error)) {
    if (entry.path().extension() != ".json") continue;
    auto text = readFileToString(entry.path().string());
    auto payload = text.ok() ? decode(text.value()) : Result<ClipboardLinkPreviewPayload>(text.error());
    if (!payload.ok()) {
      fs::remove(entry.path(), error);
      continue;
    }
    entries.emplace_back(payload.value().lastAccessedAt, entry.path());
  }
  if (entries.size() <= static_cast<size_t>(maxEntries_)) return;
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (size_t i = static_cast<size_t>(maxEntries_); i < entries.size(); ++i) fs::remove(entries[i].second, error);
}

Status ClipboardLinkPreviewStore::clearAll() {
  std::error_code error;
  if (!fs::exists(directory_, error)) return okStatus();
  fs::remove_all(directory_, error);
  if (error) return Error(kErrorDomain, 2, "Cannot remove " + directory_ + ": " + error.message());
  return okStatus();
}

}  // namespace pallix
