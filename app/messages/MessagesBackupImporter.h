// MessagesBackupImporter: points Pallix at the SMS database inside a phone
// backup made with idevicebackup2, without copying or writing anything in
// the backup.
//
// A backup folder holds "Manifest.db" (SQLite; table Files with fileID,
// domain, relativePath). The row for domain "HomeDomain" and path
// "Library/SMS/sms.db" names the file, stored at <backup>/<first two
// characters of fileID>/<fileID>. The import checks that this file opens
// read-only and has the Messages tables, then records its absolute path
// under "MessagesPreferences.databasePath". A folder holding exactly one
// backup (idevicebackup2 writes <dir>/<device id>/) is accepted too.
// Runs on the calling thread.
#pragma once

#include <string>

#include "core/Error.h"
#include "core/UserDefaults.h"

namespace pallix {

struct BackupImportOutcome {
  std::string backupFolder;  // the folder that holds Manifest.db
  std::string databasePath;  // absolute
  int64_t messageCount = 0;
};

class MessagesBackupImporter {
 public:
  static constexpr const char* kManifestName = "Manifest.db";
  static constexpr const char* kSmsDomain = "HomeDomain";
  static constexpr const char* kSmsRelativePath = "Library/SMS/sms.db";

  // The checked database of the backup in `folder`; errors say what to do.
  static Result<BackupImportOutcome> inspect(const std::string& folder);
  // inspect(), then records the path in `defaults`.
  static Result<BackupImportOutcome> importBackup(const std::string& folder, UserDefaults& defaults);
};

}  // namespace pallix
