// DirectoryLists: the folders the catalog covers. The base app directories
// and the folders of desktop entries are fixed at construction; the
// additional app directories and the file directories are persisted in user
// defaults, standardised, and edited here (or, for the file directories,
// by another process through the static helpers, as `pallix folders` does).
//
// Thread safety: every member may be called from any thread; the lists are
// guarded by one mutex, never held across a call out. Edits persist first
// and change the lists in use only through reload(), so that the owner can
// compare the folders before and after.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/platform/DataDirectories.h"
#include "app/search/CatalogScanner.h"
#include "core/Error.h"
#include "core/ThreadAnnotations.h"
#include "core/UserDefaults.h"

namespace pallix {

class DirectoryLists {
 public:
  static constexpr const char* kAdditionalAppDirectoriesKey = "IndexingService.additionalAppDirectories";
  static constexpr const char* kFileDirectoriesKey = "IndexingService.fileDirectories";

  // What an edit of the persisted file-directory list did.
  struct FileDirectoryEdit {
    // The folder as listed: standardised, symbolic links resolved.
    std::string path;
    // Added: the folder was indexed by default and is now listed explicitly.
    bool wasDefault = false;
    // Added: a listed folder that already contains it (its files are listed once).
    std::optional<std::string> coveringDirectory;
  };

  // `defaults` must outlive the lists.
  DirectoryLists(UserDefaults& defaults, DataDirectories dirs, std::vector<std::string> baseAppDirectories,
                 std::vector<std::string> applicationEntryDirectories);

  // Absolute, lexically normal, without a trailing slash.
  static std::string standardizePath(const std::string& path);
  // The persisted file directories (defaults: home Documents, Desktop,
  // Downloads and Developer, those that exist).
  static std::vector<std::string> persistedFileDirectories(const UserDefaults& defaults, const DataDirectories& dirs);
  // Edits the persisted list. Only existing directories are added, with their
  // links resolved, once (adding a default folder lists the defaults
  // explicitly); removal accepts the folder as listed or through a link.
  static Result<FileDirectoryEdit> editFileDirectories(UserDefaults& defaults, const DataDirectories& dirs,
                                                       const std::string& path, bool add);

  // The base app directories, then the additional ones not among them.
  std::vector<std::string> appDirectories() const;
  // The file directories in use: resolved, once each.
  std::vector<std::string> userFileDirectories() const;
  ScanDirectories scanDirectories() const;
  // The existing folders to watch: app, file and desktop-entry directories.
  std::vector<std::string> watchedDirectories() const;
  // Whether `path` lies strictly below one of the folders.
  bool coversPath(const std::string& path) const;

  // Persist an edit; reload() then puts it in use.
  Status addAppDirectory(const std::string& path);
  Status removeAppDirectory(const std::string& path);
  Status addFileDirectory(const std::string& path);
  Status removeFileDirectory(const std::string& path);
  // Re-reads the persisted lists; returns whether the lists in use changed.
  bool reload();

 private:
  std::vector<std::string> loadAdditionalAppDirectories() const;
  std::vector<std::string> loadFileDirectories() const;

  UserDefaults& defaults_;
  const DataDirectories dirs_;
  const std::vector<std::string> baseAppDirectories_;
  const std::vector<std::string> applicationEntryDirectories_;
  mutable Mutex mutex_;
  std::vector<std::string> additionalAppDirectories_ GUARDED_BY(mutex_);
  std::vector<std::string> fileDirectories_ GUARDED_BY(mutex_);
};

}  // namespace pallix
