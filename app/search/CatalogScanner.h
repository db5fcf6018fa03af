// CatalogScanner: the file-system side of a catalog scan. Walks the file
// directories (files and folders, through the exclusion filter), the app
// directories (".app" bundles, with nested bundles of allowed containers) and
// the XDG application directories (desktop entries), and computes the
// snapshot signature. Also examines single paths for incremental runs.
//
// The exclusion rules apply to the path below each file directory: a folder
// the user chose is walked even when its own path has a name such as "tmp" or
// "build" (a home below /tmp, a user called "build"). Hidden folders and
// listed directory names are not entered; a folder rejected only by its
// extension or base name is left out itself but its contents are filtered one
// by one. File directories are resolved (symbolic links) and one inside
// another is walked once. Symbolic links are never followed: a link stands
// for its target's path when the target itself belongs in the catalog, and
// adds nothing otherwise. A folder that cannot be enumerated is reported in
// `failedDirectories` so that the records below it are kept.
//
// Stateless apart from its borrowed collaborators; one scan runs at a time per
// instance (the indexing service calls it from its background runner). Walking
// uses openat/fstatat on directory descriptors and one reusable path buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/platform/DesktopEntry.h"
#include "app/search/FileExclusionFilter.h"
#include "app/search/IndexCandidate.h"
#include "core/Logger.h"
#include "core/TaskRunner.h"

namespace pallix {

// Where desktop entries come from: the XDG directories in production, a fixed
// tree in tests.
class ApplicationEntrySource {
 public:
  virtual ~ApplicationEntrySource() = default;
  // Applications folders, highest precedence first.
  virtual std::vector<ApplicationDirectory> directories() = 0;
  virtual Result<DesktopEntry> parse(const std::string& path, const std::string& id) = 0;
  // Whether the program behind an entry is there (its TryExec); an entry
  // whose program is missing is not listed.
  virtual bool isInstalled(const DesktopEntry&) { return true; }
};

// desktopApplicationDirectories() and parseDesktopEntry() over `dirs`, for
// `locale`, with TryExec looked up in `searchPath` (as $PATH).
std::unique_ptr<ApplicationEntrySource> makeXdgApplicationEntrySource(const DataDirectories& dirs, DesktopLocale locale,
                                                                      std::string searchPath);
// The same for the environment's messages locale and $PATH.
std::unique_ptr<ApplicationEntrySource> makeXdgApplicationEntrySource(const DataDirectories& dirs);

// Opens the folders a file walk enters: openat() in production; tests make
// chosen folders fail the way an unreadable folder or a vanished disk does.
// Called on the scanning thread.
class DirectoryOpener {
 public:
  virtual ~DirectoryOpener() = default;
  // A descriptor for `name` relative to `dirFd` (AT_FDCWD for a file
  // directory itself), whose full path is `path`; -1 with errno on failure.
  virtual int openDirectory(int dirFd, const char* name, const std::string& path) = 0;
};

// `path` with its symbolic links resolved, or standardised unchanged when it
// cannot be resolved (a folder that does not exist right now).
std::string resolvedDirectoryPath(const std::string& path);
// The file directories resolved, without repeats and without those inside
// another one of the list (walked as part of it), sorted.
std::vector<std::string> distinctFileDirectories(const std::vector<std::string>& directories);

struct ScanDirectories {
  std::vector<std::string> appDirectories;
  std::vector<std::string> fileDirectories;
  // How many files and folders the previous scan found: memory for them is
  // reserved at once instead of growing (and moving) the list as it fills.
  size_t expectedFileCount = 0;
};

// The snapshot signature of a list of candidates, built one candidate at a
// time in any order: "<hash>-<apps>-<files>", the hash summing one hash per
// candidate over every catalogued field.
class SnapshotSignature {
 public:
  void add(const IndexCandidate& candidate, bool isApp);
  std::string value() const;
  size_t appCount() const { return apps_; }
  size_t fileCount() const { return files_; }

 private:
  uint64_t sumA_ = 0;
  uint64_t sumB_ = 0;
  size_t apps_ = 0;
  size_t files_ = 0;
};

// Receives the candidates of a scan in batches while it walks (on the
// scanning thread): apps, files and folders together, in path order.
using CandidateBatchHandler = std::function<void(std::vector<IndexCandidate> batch)>;

// What a scan that handed its candidates out kept of them.
struct HandedOutCandidates {
  size_t apps = 0;
  size_t files = 0;  // files and folders
  size_t folders = 0;
  SnapshotSignature signature;
};

struct ScanResult {
  std::vector<IndexCandidate> apps;
  // Files and folders. After a scan that handed its candidates out: only the
  // targets of the symbolic links met, which may repeat a path handed out
  // (the receiver keeps those that are new).
  std::vector<IndexCandidate> files;
  // Directories that could not be enumerated (a file directory, or a folder
  // below one that could not be opened or read to its end): what the catalog
  // holds below them is kept until a scan enumerates them again.
  std::vector<std::string> failedDirectories;
  bool cancelled = false;
  std::optional<HandedOutCandidates> handedOut;

  size_t size() const { return apps.size() + files.size() + (handedOut ? handedOut->apps + handedOut->files : 0); }
};

// What an incremental run finds at a changed path.
struct PathExamination {
  // The candidate at the path, when it exists and belongs in the catalog.
  std::optional<IndexCandidate> candidate;
  // For a folder: the candidates below it (new folders are walked whole).
  std::vector<IndexCandidate> descendants;
  // The path is an app location (bundle or desktop entry) rather than a file.
  bool isApp = false;
  // The path exists on disk (it may still be excluded).
  bool existsOnDisk = false;
  // The path is a folder that is left out itself (a file directory, or a
  // name only the extension or base-name rule rejects) but whose contents
  // belong in the catalog; `descendants` holds them when it was walked.
  bool contentsBelong = false;
  // The folder was walked: `descendants` is all that lies below it, but for
  // the folders below it that could not be read (`unreadableBelow`).
  bool walked = false;
  std::vector<std::string> unreadableBelow;
};

class CatalogScanner {
 public:
  static constexpr int kNestedBundleScanDepth = 7;

  // `home` ranks app paths; `ownBundlePath` (may be empty) is never catalogued.
  CatalogScanner(const FileExclusionFilter& filter, std::string home, ApplicationEntrySource* entries,
                 std::string ownBundlePath = {});

  // Candidates per batch handed out.
  static constexpr size_t kHandOutBatchSize = 2048;

  using Progress = std::function<void(size_t scanned)>;
  // A full scan. `progress` is called every few thousand items (on the
  // calling thread). Apps are reduced to one candidate per bundle identifier
  // and per path with isPreferred(over:). With `handOut`, the candidates go
  // to it in batches as the walk lists them (folders in name order, so that
  // the batches together are in path order) instead of into the result.
  ScanResult scan(const ScanDirectories& directories, CancellationToken token = {}, const Progress& progress = {},
                  const CandidateBatchHandler& handOut = {});

  // Replaces the folder opener (tests); null restores openat(). Call before
  // a scan starts.
  void setDirectoryOpener(DirectoryOpener* opener);

  // Examines one changed path; `directories` tells app locations from file
  // locations (file directories as given by distinctFileDirectories).
  PathExamination examine(const std::string& path, const ScanDirectories& directories, bool walkFolder);

  // A hash of every catalogued field of the candidates as sorted by path
  // then type (order-independent, so no sort is needed).
  static std::string signature(const std::vector<IndexCandidate>& apps, const std::vector<IndexCandidate>& files);
  static void reduceApps(std::vector<IndexCandidate>& apps);

  // Walks one file directory (exposed for tests and benchmarks).
  bool scanFileDirectory(const std::string& root, std::vector<IndexCandidate>& out, CancellationToken token,
                         const Progress& progress, size_t& counter);

 private:
  struct Walk;
  class HandOut;
  struct Listed;
  void walkFiles(int dirFd, std::string& path, Walk& walk);
  // What the walk does with one entry of the folder `dirFd` (whose path is
  // `path`): the candidate it lists and whether it descends into it.
  Listed visitEntry(int dirFd, const char* name, size_t nameLength, unsigned char type, std::string& path, Walk& walk);
  void list(IndexCandidate&& candidate, Walk& walk);
  void descend(int dirFd, const char* name, std::string& path, Walk& walk);
  bool walkFileDirectory(const std::string& root, Walk& walk);
  // What a walk of `root` does with `path`: never reaches it, enters it
  // without listing it (a folder only the name rules reject), or lists it.
  enum class Placement { excluded, leftOut, catalogued };
  Placement placementBelow(std::string_view path, const std::string& root, bool isDirectory) const;
  // The candidate a symbolic link at `linkPath` stands for: its target's,
  // when a walk of one of `roots` lists the target.
  std::optional<IndexCandidate> linkTargetCandidate(const std::string& linkPath,
                                                    const std::vector<std::string>& roots) const;
  void scanAppDirectory(const std::string& root, std::vector<IndexCandidate>& out, std::vector<std::string>& failed);
  void walkApps(int dirFd, std::string& path, int depth, std::vector<IndexCandidate>& out);
  void scanNestedBundles(const std::string& bundlePath, const std::string& containerId,
                         std::vector<IndexCandidate>& out);
  void walkNested(int dirFd, std::string& path, int depth, const std::string& containerId,
                  std::vector<IndexCandidate>& out);
  std::optional<IndexCandidate> bundleCandidate(const std::string& bundlePath,
                                                const std::optional<std::string>& parentId);
  void scanDesktopEntries(std::vector<IndexCandidate>& out);
  std::optional<IndexCandidate> desktopCandidate(const std::string& path, const std::string& id, int64_t priority,
                                                 bool* hidden);

  const FileExclusionFilter& filter_;
  std::string home_;
  ApplicationEntrySource* entries_;
  std::string ownBundlePath_;
  DirectoryOpener* opener_;
  Logger logger_{"IndexingService"};
};

}  // namespace pallix
