// AppBundleReader: reads an application bundle's Info.plist (XML or binary,
// with libplist) from "Contents/Info.plist" or "Info.plist". Stateless and
// thread-safe.
#pragma once

#include <optional>
#include <string>

#include "core/Error.h"

namespace pallix {

struct AppBundleInfo {
  std::optional<std::string> bundleIdentifier;    // CFBundleIdentifier
  std::optional<std::string> displayName;         // CFBundleDisplayName
  std::optional<std::string> bundleName;          // CFBundleName
  std::optional<std::string> shortVersionString;  // CFBundleShortVersionString
  std::optional<std::string> bundleVersion;       // CFBundleVersion

  // Display name, else bundle name, else the bundle's file name without ".app".
  std::string nameForBundleAt(const std::string& bundlePath) const;
};

// Fails when no Info.plist exists or it cannot be parsed as a dictionary.
Result<AppBundleInfo> readAppBundle(const std::string& bundlePath);
// Parses Info.plist bytes (tests feed corrupt input through here).
Result<AppBundleInfo> parseInfoPlist(const std::string& data, const std::string& sourcePath);

}  // namespace pallix
