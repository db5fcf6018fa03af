// Workspace: launching applications and handing files and URLs to the
// desktop (the Linux counterpart of the platform workspace).
//
// LinuxWorkspace (linux/) runs desktop entries and xdg-open through a
// CommandRunner; RecordingWorkspace records requests for tests of the code
// that activates results. Calls may block briefly (a D-Bus round trip when
// revealing); callers that mind run them off the main thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/Error.h"

namespace pallix {

// What activation knows about an application: its catalog path (a .desktop
// file, an executable, or a bundle folder) and bundle identifier (the
// desktop-file ID on Linux), either of which may be empty.
struct ApplicationReference {
  std::string path;
  std::string bundleIdentifier;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual Status launchApplication(const ApplicationReference& app) = 0;
  // Opens `path` with its default application.
  virtual Status openFile(const std::string& path) = 0;
  // Shows `path` selected in the file manager (or at least its folder).
  virtual Status revealInFileManager(const std::string& path) = 0;
  virtual Status openURL(const std::string& url) = 0;
};

}  // namespace pallix
