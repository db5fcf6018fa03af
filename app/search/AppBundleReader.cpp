#include "app/search/AppBundleReader.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>

#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {

namespace {

std::optional<std::string> stringFor(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(node, &value);
  if (!value) return std::nullopt;
  std::string out(value);
  std::free(value);
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace

std::string AppBundleInfo::nameForBundleAt(const std::string& bundlePath) const {
  if (displayName) return *displayName;
  if (bundleName) return *bundleName;
  std::string_view path = bundlePath;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (endsWith(last, ".app")) last.remove_suffix(4);
  return std::string(last);
}

Result<AppBundleInfo> parseInfoPlist(const std::string& data, const std::string& sourcePath) {
  if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max()) {
    return Error("AppBundleError", 2, "Info.plist at " + sourcePath + " is empty or too large");
  }
  plist_t root = nullptr;
  const uint32_t length = static_cast<uint32_t>(data.size());
  if (plist_is_binary(data.data(), length)) {
    plist_from_bin(data.data(), length, &root);
  } else {
    plist_from_xml(data.data(), length, &root);
  }
  if (!root) return Error("AppBundleError", 3, "Info.plist at " + sourcePath + " is not a valid property list");
  if (plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return Error("AppBundleError", 4, "Info.plist at " + sourcePath + " is not a dictionary");
  }
  AppBundleInfo info;
  info.bundleIdentifier = stringFor(root, "CFBundleIdentifier");
  info.displayName = stringFor(root, "CFBundleDisplayName");
  info.bundleName = stringFor(root, "CFBundleName");
  info.shortVersionString = stringFor(root, "CFBundleShortVersionString");
  info.bundleVersion = stringFor(root, "CFBundleVersion");
  plist_free(root);
  return info;
}

Result<AppBundleInfo> readAppBundle(const std::string& bundlePath) {
  for (const char* relative : {"/Contents/Info.plist", "/Info.plist"}) {
    std::string path = bundlePath + relative;
    if (!fileExists(path)) continue;
    auto data = readRegularFile(path, uint64_t{16} << 20);  // real ones take kilobytes
    if (!data.ok()) return data.error();
    return parseInfoPlist(data.value(), path);
  }
  return Error("AppBundleError", 1, "no Info.plist in " + bundlePath);
}

}  // namespace pallix
