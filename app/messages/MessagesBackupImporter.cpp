#include "app/messages/MessagesBackupImporter.h"

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "app/messages/MessagesDatabase.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix {
namespace {

Error backupError(int code, const std::string& description) {
  return Error("MessagesBackupError", code, description);
}

// The folder that holds Manifest.db: `folder` itself or its only backup.
Result<std::string> backupRoot(const std::string& folder) {
  if (!isDirectory(folder)) return backupError(1, inQuotes(folder) + " is not a folder");
  if (fileExists(folder + "/" + MessagesBackupImporter::kManifestName)) return folder;
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.is_directory(ec) && fileExists(entry.path().string() + "/" + MessagesBackupImporter::kManifestName)) {
      found.push_back(entry.path().string());
    }
  }
  if (found.size() == 1) return found.front();
  if (found.empty()) {
    return backupError(2, "No Manifest.db in " + inQuotes(folder) +
                              ": not a phone backup. Make one with: idevicebackup2 backup --full " + folder);
  }
  return backupError(3, inQuotes(folder) + " holds " + std::to_string(found.size()) +
                            " backups; name one of them: " + joinStrings(found, ", "));
}

std::string absolute(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path;
}

}  // namespace

Result<BackupImportOutcome> MessagesBackupImporter::inspect(const std::string& folder) {
  PALLIX_ASSIGN_OR_RETURN(std::string root, backupRoot(folder));
  BackupImportOutcome outcome;
  outcome.backupFolder = absolute(root);
  const std::string manifestPath = root + "/" + kManifestName;

  std::string fileID;
  {
    auto manifest = MessagesDatabaseConnection::open(manifestPath);
    if (!manifest.ok()) {
      return backupError(4, "Cannot open " + inQuotes(manifestPath) + ": " + manifest.error().description());
    }
    auto statement = manifest.value()->prepare("SELECT fileID FROM Files WHERE domain = ? AND relativePath = ?");
    if (!statement.ok()) {
      return backupError(5, "Cannot read " + inQuotes(manifestPath) + " (" + statement.error().description() +
                                "). An encrypted backup cannot be read: make it again with encryption off "
                                "(idevicebackup2 encryption off, then idevicebackup2 backup --full DIR)");
    }
    statement.value().bind(1, std::string_view(kSmsDomain));
    statement.value().bind(2, std::string_view(kSmsRelativePath));
    auto row = statement.value().step();
    if (!row.ok()) return backupError(5, "Cannot read " + inQuotes(manifestPath) + ": " + row.error().description());
    if (!row.value() || !statement.value().columnOptionalText(0) ||
        statement.value().columnOptionalText(0)->size() < 2) {
      return backupError(6, "The backup in " + inQuotes(root) + " has no messages database (" + kSmsDomain + ", " +
                                kSmsRelativePath + ")");
    }
    fileID = *statement.value().columnOptionalText(0);
  }
  if (fileID.find('/') != std::string::npos || fileID.find("..") != std::string::npos) {
    return backupError(6, "The backup's Manifest.db names an unusable file " + inQuotes(fileID));
  }
  const std::string databasePath = root + "/" + fileID.substr(0, 2) + "/" + fileID;
  if (!fileExists(databasePath)) {
    return backupError(7, "The backup lists the messages database as " + fileID + " but " + inQuotes(databasePath) +
                              " is missing; the backup is incomplete (make it again with --full)");
  }
  auto connection = MessagesDatabaseConnection::open(databasePath);
  if (!connection.ok()) {
    return backupError(8, "Cannot open " + inQuotes(databasePath) + " read-only: " + connection.error().description());
  }
  Status schema = checkMessagesSchema(*connection.value());
  if (!schema.ok()) {
    return backupError(9, inQuotes(databasePath) + " is " + schema.error().description());
  }
  auto count = connection.value()->prepare("SELECT COUNT(*) FROM message");
  if (count.ok()) {
    auto row = count.value().step();
    if (row.ok() && row.value()) outcome.messageCount = count.value().columnInt(0);
  }
  outcome.databasePath = absolute(databasePath);
  return outcome;
}

Result<BackupImportOutcome> MessagesBackupImporter::importBackup(const std::string& folder, UserDefaults& defaults) {
  PALLIX_ASSIGN_OR_RETURN(BackupImportOutcome outcome, inspect(folder));
  Status stored = defaults.set(FullDiskAccessController::kDatabasePathKey, outcome.databasePath);
  if (!stored.ok()) return stored.error().withContext("Cannot record the messages database path");
  return outcome;
}

}  // namespace pallix
