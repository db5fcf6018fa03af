// Test support for the messages tests: the generated fixtures, a
// fingerprint that proves a database file was left alone, and a builder of
// small databases with exactly the rows a case needs (on the generator's
// empty schema, so no test copies the schema).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/messages/MessageSearchService.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {

inline constexpr double kFixtureNow = MESSAGES_FIXTURE_NOW;
std::string fixturePath(const std::string& name);  // "chat.db", "contacts.vcf", "empty.db", "backup"

// The file's bytes, size and modification time, and which journal files
// lie beside it.
struct FileFingerprint {
  std::string bytes;
  int64_t size = -1;
  int64_t mtimeNanoseconds = 0;
  std::vector<std::string> sidecars;
  friend bool operator==(const FileFingerprint&, const FileFingerprint&) = default;
};
FileFingerprint fingerprint(const std::string& path);

// Fails the test when the file changed between construction and destruction.
class UnchangedFileCheck {
 public:
  explicit UnchangedFileCheck(std::string path) : path_(std::move(path)), before_(fingerprint(path_)) {}
  ~UnchangedFileCheck();

 private:
  std::string path_;
  FileFingerprint before_;
};

// A Messages database with hand-picked rows. Writes go through a writable
// connection that close() (or the destructor) ends before anything reads.
class TestMessagesDatabase {
 public:
  struct Message {
    std::optional<std::string> guid = "";  // "" asks for a generated GUID; nullopt stores NULL
    std::optional<std::string> text;
    double date = kFixtureNow - 3600;  // seconds since 1970
    bool fromMe = false;
    int64_t handle = 0;  // handle ROWID, 0 for none
    int64_t chat = 0;    // chat ROWID, 0 for none
    std::optional<std::string> attributedBody;
  };

  explicit TestMessagesDatabase(const std::string& path);
  ~TestMessagesDatabase();
  const std::string& path() const { return path_; }

  int64_t addHandle(const std::string& id);
  int64_t addChat(const std::string& guid, const std::optional<std::string>& displayName,
                  const std::vector<int64_t>& handles);
  int64_t addMessage(const Message& message);
  int64_t addAttachment(int64_t message, const std::optional<std::string>& filename,
                        const std::optional<std::string>& mimeType);
  void exec(const std::string& sql);
  // Makes the rows so far visible to readers and goes on writing.
  void commit();
  void close();

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
  int64_t nextGuid_ = 0;
};

// Runs `sql` on the database file at `path`.
void execSQL(const std::string& path, const std::string& sql);

// Database nanoseconds for a date.
int64_t databaseDate(double secondsSince1970);

// Access to the database at `path`, recorded as an imported path.
std::shared_ptr<FullDiskAccessController> accessTo(const std::string& path);
// The contacts of the generated contacts.vcf.
std::vector<ContactRecord> fixtureContacts();

// A message of the generated chat.db with its handle and conversation name,
// joined here rather than in SQL.
struct FixtureRow {
  int64_t rowID;
  std::optional<std::string> guid, text, handle, chatName;
  int64_t date;
};
std::vector<FixtureRow> loadFixtureRows();

// The search service over the database at `path` at the fixture's time,
// recording the statements it runs.
struct SearchRig {
  SearchRig(const std::string& path, std::shared_ptr<ContactStore> contacts);
  ManualClock clock;
  std::mutex mutex;
  std::set<std::string> statements;
  std::shared_ptr<MessageSearchService> service;
};

}  // namespace pallix::testing
