// `pallix messages`: text search of the Messages database, the conversation
// chunks the indexer builds, the database's status, and pointing Pallix at
// the SMS database of a phone backup.
#include <ctime>
#include <iostream>

#include "app/messages/MessagesBackupImporter.h"
#include "app/messages/MessagesComponents.h"
#include "app/platform/DataDirectories.h"
#include "app/platform/VCard.h"
#include "cli/Command.h"
#include "cli/Display.h"
#include "core/Formatting.h"
#include "core/Strings.h"

namespace pallix::cli {
namespace {

constexpr const char* kUsage =
    "Usage: pallix messages search TEXT... [--limit N] [--json]\n"
    "       pallix messages chunks [--chat GUID] [--json]\n"
    "       pallix messages status [--json]\n"
    "       pallix messages import-backup DIR\n\n"
    "search         finds messages whose text, sender or conversation name contains TEXT\n"
    "               (% and _ match any text and any one character); at most 50, newest first.\n"
    "chunks         shows the conversation chunks semantic search would index from the last\n"
    "               12 months: runs of messages close in time, from you and from your contacts.\n"
    "status         shows which Messages database is read and whether it can be.\n"
    "import-backup  uses the SMS database of a phone backup made with idevicebackup2\n"
    "               (idevicebackup2 backup --full DIR); it is read in place, never copied or written.\n\n"
    "The database is ~/Library/Messages/Chat.db (a copy of a Mac's chat.db) unless a backup\n"
    "was imported. Contact names come from 'pallix contacts import FILE.vcf'.\n\n"
    "Exit status: 0 found, 1 nothing found or the database could not be read, 2 bad arguments,\n"
    "3 no readable Messages database.\n";

std::string localDate(double secondsSince1970) {
  std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &tm);
  return buffer;
}

nlohmann::json optionalJson(const std::optional<std::string>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json toJson(const MessageSearchResult& r) {
  return {{"id", r.id},
          {"guid", r.guid},
          {"text", r.text},
          {"date", isoDate(r.date)},
          {"dateSeconds", secondsSince1970(r.date)},
          {"isFromMe", r.isFromMe},
          {"senderIdentifier", r.senderIdentifier},
          {"senderDisplayName", optionalJson(r.senderDisplayName)},
          {"senderImageData", r.senderImageData ? nlohmann::json(encodeBase64(*r.senderImageData)) : nullptr},
          {"chatGUID", r.chatGUID},
          {"chatDisplayName", optionalJson(r.chatDisplayName)},
          {"isGroupChat", r.isGroupChat},
          {"attachmentCount", r.attachmentCount},
          {"attachmentPaths", r.attachmentPaths},
          {"conversationURL", conversationURL(r.guid)}};
}

nlohmann::json toJson(const MessageChunkRecord& chunk) {
  const ChunkMetadata& m = chunk.metadata;
  return {{"identifier", chunk.identifier}, {"chatGUID", m.chatGUID},   {"messageRowIDs", m.messageRowIDs},
          {"messageGUIDs", m.messageGUIDs}, {"startDate", m.startDate}, {"endDate", m.endDate},
          {"combinedText", m.combinedText}};
}

// Prints why the database cannot be read; the exit status for it.
int reportUnreadable(const FullDiskAccessController& access) {
  printError("cannot read the Messages database " + inQuotes(access.chatDatabasePath()), access.openSettings());
  return kExitUnavailable;
}

std::string hintFor(const Error& error, const FullDiskAccessController& access) {
  const std::string& d = error.description();
  if (d.find("locked") != std::string::npos || d.find("busy") != std::string::npos) {
    return "Another program is writing the database; try again when it is done.";
  }
  return "Is " + access.chatDatabasePath() +
         " a Messages database? Run 'pallix messages status', or import a backup with "
         "'pallix messages import-backup DIR'.";
}

int search(MessagesComponents& messages, const std::vector<std::string>& words, std::optional<long long> limit,
           bool json) {
  if (words.empty()) return usageError("messages", "search needs TEXT");
  if (limit && *limit < 1) return usageError("messages", "--limit must be at least 1");
  if (!messages.access->isFullDiskAccessGranted()) return reportUnreadable(*messages.access);
  std::string query = joinStrings(words, " ");
  auto results = messages.searchService->searchText(query);
  if (!results.ok()) {
    printError(results.error().description(), hintFor(results.error(), *messages.access));
    return kExitFailure;
  }
  std::vector<MessageSearchResult>& list = results.value();
  if (limit && list.size() > static_cast<size_t>(*limit)) list.resize(static_cast<size_t>(*limit));
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& r : list) array.push_back(toJson(r));
    printJson(array);
  } else if (list.empty()) {
    std::cout << "No messages match " << printable(inQuotes(query)) << ".\n";
  } else {
    for (const auto& r : list) {
      ModeResult row = MessageModeSearchProvider::modeResult(r);
      std::cout << localDate(secondsSince1970(r.date)) << "  " << printable(row.title) << ": " << printable(row.detail)
                << "\n";
    }
  }
  return list.empty() ? kExitFailure : kExitOk;
}

int chunks(MessagesComponents& messages, const std::optional<std::string>& chat, bool json) {
  if (!messages.access->isFullDiskAccessGranted()) return reportUnreadable(*messages.access);
  if (messages.contacts->authorizationStatus() != ContactsAuthorizationStatus::authorized) {
    std::cerr << "pallix: note: no contacts imported, so only your own messages form chunks. "
                 "Import an address book with 'pallix contacts import FILE.vcf'.\n";
  }
  printProgress("Reading conversations…");
  auto collected = messages.collectChunks(SystemClock::instance(), chat);
  clearProgress();
  if (!collected.ok()) {
    printError(collected.error().description(), hintFor(collected.error(), *messages.access));
    return kExitFailure;
  }
  const ChunkCollection& c = collected.value();
  if (chat && c.chatCount == 0) {
    printError("no conversation " + inQuotes(*chat) + " with messages in the last 12 months",
               "Conversation GUIDs are shown by 'pallix messages search TEXT --json' (chatGUID).");
    return kExitFailure;
  }
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& chunk : c.chunks) array.push_back(toJson(chunk));
    printJson(array);
  } else {
    for (const auto& chunk : c.chunks) {
      std::cout << printable(chunk.identifier) << "  (" << chunk.metadata.messageRowIDs.size() << " messages, "
                << localDate(chunk.metadata.startDate) << " to " << localDate(chunk.metadata.endDate) << ")\n";
      for (const std::string& line : splitString(chunk.text, '\n')) std::cout << "    " << printable(line) << "\n";
    }
    std::cout << c.chunks.size() << " chunks from " << c.messageCount << " messages in " << c.chatCount
              << (c.chatCount == 1 ? " conversation" : " conversations") << "\n";
  }
  return c.chunks.empty() ? kExitFailure : kExitOk;
}

int status(const MessagesComponents& messages, bool json) {
  const FullDiskAccessController& access = *messages.access;
  bool readable = access.isFullDiskAccessGranted();
  std::optional<std::string> problem;
  if (readable) {
    auto connection = MessagesDatabaseConnection::open(access.chatDatabasePath());
    Status schema = connection.ok() ? checkMessagesSchema(*connection.value()) : Status(connection.error());
    if (!schema.ok()) problem = schema.error().description();
  }
  const char* contacts = rawValue(messages.contacts->authorizationStatus());
  if (json) {
    printJson({{"databasePath", access.chatDatabasePath()},
               {"source", access.isImportedPath() ? "backup" : "default"},
               {"readable", readable},
               {"problem", optionalJson(problem)},
               {"contacts", contacts}});
  } else {
    std::cout << printableColumn("database", 10) << printable(access.chatDatabasePath())
              << (access.isImportedPath() ? " (from a backup)" : "") << "\n"
              << printableColumn("readable", 10) << (readable ? "yes" : "no") << "\n";
    if (problem) std::cout << printableColumn("problem", 10) << printable(*problem) << "\n";
    std::cout << printableColumn("contacts", 10) << contacts << "\n";
    if (!readable) std::cout << "\n" << printable(access.openSettings()) << "\n";
  }
  if (!readable) return kExitUnavailable;
  return problem ? kExitFailure : kExitOk;
}

int importBackup(const DataDirectories& dirs, const std::vector<std::string>& rest) {
  if (rest.size() != 2) return usageError("messages", "import-backup takes one DIR");
  UserDefaults defaults(dirs.defaultsPath());
  auto imported = MessagesBackupImporter::importBackup(rest[1], defaults);
  if (!imported.ok()) {
    int code = imported.error().code();
    printError(imported.error().description());
    // No folder, no backup in it or no messages file: something needed is missing.
    return code == 1 || code == 2 || code == 6 || code == 7 ? kExitUnavailable : kExitFailure;
  }
  std::cout << "Messages database: " << printable(imported->databasePath) << " (" << imported->messageCount
            << " messages)\nPallix reads it in place and never writes it.\n";
  return kExitOk;
}

int runMessages(Args& args) {
  bool json = args.flag("--json");
  auto limit = args.intOption("--limit");
  auto chat = args.option("--chat");
  auto rest = args.positionals();
  if (args.failed()) return usageError("messages", args.failure());
  if (rest.empty()) return usageError("messages", "needs a subcommand: search, chunks, status or import-backup");
  DataDirectories dirs = DataDirectories::fromEnvironment();
  const std::string& sub = rest[0];
  if (limit && sub != "search") return usageError("messages", "--limit belongs to search");
  if (chat && sub != "chunks") return usageError("messages", "--chat belongs to chunks");
  if (sub == "import-backup") return importBackup(dirs, rest);
  UserDefaults defaults(dirs.defaultsPath());
  MessagesComponents messages = MessagesComponents::create(dirs, &defaults);
  if (sub == "search") return search(messages, {rest.begin() + 1, rest.end()}, limit, json);
  if (rest.size() != 1) return usageError("messages", sub + " takes no further arguments");
  if (sub == "chunks") return chunks(messages, chat, json);
  if (sub == "status") return status(messages, json);
  return usageError("messages", "unknown subcommand " + inQuotes(sub));
}

}  // namespace

PALLIX_COMMAND("messages", "search messages, show conversation chunks, import a phone backup", kUsage, runMessages);

}  // namespace pallix::cli
