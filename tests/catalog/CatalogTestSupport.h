// Helpers shared by the catalog tests: random trees and their model, fixed
// desktop entries; scratch folders are the shared TempDir.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/FileUtil.h"
#include "tests/support/TempDir.h"

namespace pallix::testing {

// A random tree of files and folders whose names come from small pools that
// mix kept and excluded names, and an independent model of which paths the
// catalog must hold.
struct RandomTree {
  inline static const std::vector<std::string> kFolderNames = {
      "docs", "src",     "Node_Modules", "build", "BuildTools", ".hidden", ".config", "vendor",
      "auth", "data.db", "my.project",   "TMP",   "Photos",     "Tokens",  "Träume"};
  inline static const std::vector<std::string> kFileNames = {
      "a.txt",          "B.MD",       "id_rsa.pub",   "server.PEM", "Secrets.txt", ".env",   "notes",    "data.sqlite",
      "archive.tar.gz", "token.json", "tokens2.json", "x.o",        "photo.JPG",   "README", "Café.pdf", "song.mp3"};

  // Exclusion, written from the rules for exactly the pool names above: a
  // name that is never listed, and the folders that are never entered (the
  // others, such as "auth" or "data.db", are entered but not listed).
  inline static const std::set<std::string> kExcluded = {
      "Node_Modules", "build", ".hidden",    ".config",    "vendor",      "auth",        "data.db",    "TMP",
      "Tokens",       ".env",  "id_rsa.pub", "server.PEM", "Secrets.txt", "data.sqlite", "token.json", "x.o"};
  inline static const std::set<std::string> kPruned = {"Node_Modules", "build", "vendor", "TMP", ".hidden", ".config"};

  // Creates up to `files` files below `root` in folders up to `depth` deep.
  static void generate(const std::string& root, std::mt19937& rng, int files, int depth) {
    std::vector<std::string> folders = {root};
    for (int i = 0; i < files; ++i) {
      std::string parent = folders[rng() % folders.size()];
      if (rng() % 3 == 0 &&
          std::count(parent.begin(), parent.end(), '/') - std::count(root.begin(), root.end(), '/') < depth) {
        std::string folder = parent + "/" + kFolderNames[rng() % kFolderNames.size()];
        std::filesystem::create_directories(folder);
        folders.push_back(folder);
        parent = folder;
      }
      std::string path = parent + "/" + kFileNames[rng() % kFileNames.size()];
      std::ofstream(path, std::ios::binary) << std::string(rng() % 300, 'x');
    }
  }

  struct Entry {
    bool isFolder = false;
    int64_t size = 0;
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  // Brute force: every path below `root` that is not excluded itself and lies
  // in no folder that is never entered.
  static std::map<std::string, Entry> model(const std::string& root) {
    std::map<std::string, Entry> out;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
      std::string path = it->path().string();
      std::string relative = path.substr(root.size() + 1);
      bool excluded = false;
      size_t start = 0;
      while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string component = relative.substr(start, end - start);
        if ((end == relative.size() ? kExcluded : kPruned).count(component)) excluded = true;
        start = end + 1;
      }
      if (excluded) continue;
      Entry entry;
      entry.isFolder = it->is_directory();
      entry.size = entry.isFolder ? 0 : static_cast<int64_t>(it->file_size());
      out[path] = entry;
    }
    return out;
  }
};

}  // namespace pallix::testing

#include "app/search/CatalogScanner.h"
#include "core/Strings.h"

namespace pallix::testing {

// Desktop entries from fixed folders; understands Name, Hidden and NoDisplay.
class FixedEntrySource final : public ApplicationEntrySource {
 public:
  std::vector<ApplicationDirectory> dirs;
  std::vector<ApplicationDirectory> directories() override { return dirs; }
  Result<DesktopEntry> parse(const std::string& path, const std::string& id) override {
    auto text = readFileToString(path);
    if (!text.ok()) return text.error();
    DesktopEntry entry;
    entry.id = id;
    entry.path = path;
    for (const std::string& line : splitString(text.value(), '\n')) {
      if (startsWith(line, "Name=")) entry.name = line.substr(5);
      if (line == "Hidden=true") entry.hidden = true;
      if (line == "NoDisplay=true") entry.noDisplay = true;
    }
    if (entry.name.empty()) return Error::make("no Name in " + path);
    return entry;
  }
};

// A record in the form it is read back in: dates go through seconds since 1970.
inline IndexedItem asStored(IndexedItem item) {
  for (std::optional<Date>* date : {&item.createdDate, &item.modifiedDate, &item.lastUsed}) {
    if (*date) *date = dateFromSecondsSince1970(secondsSince1970(**date));
  }
  item.lastIndexed = dateFromSecondsSince1970(secondsSince1970(item.lastIndexed));
  return item;
}

}  // namespace pallix::testing

#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "app/platform/PersistentStore.h"

namespace pallix::testing {

// The file name index against the catalog table: (row, trigram, position)
// triples.
using Instances = std::set<std::tuple<int64_t, std::string, int64_t>>;

// What the index must hold for the table: every run of three characters of
// each row's "name.extension" plus two U+0001 sentinels. Test names are
// folded (lowercase) already, so the tokenizer's case folding changes nothing.
inline Instances expectedInstances(PersistentStore& store) {
  Instances out;
  auto rows = store.prepare("SELECT id, searchName, fileExtension FROM IndexedItem");
  EXPECT_TRUE(rows.ok());
  while (rows.ok() && rows->step().valueOr(false)) {
    std::string text = rows->columnText(1);
    const std::string extension = rows->columnText(2);
    if (!extension.empty()) text += "." + extension;
    text += "\x01\x01";
    std::vector<std::string> characters;
    for (size_t i = 0; i < text.size();) {
      size_t length = 1;
      while (i + length < text.size() && (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) ++length;
      characters.push_back(text.substr(i, length));
      i += length;
    }
    for (size_t i = 0; i + 2 < characters.size(); ++i) {
      out.emplace(rows->columnInt(0), characters[i] + characters[i + 1] + characters[i + 2], i);
    }
  }
  return out;
}

inline Instances indexedInstances(PersistentStore& store) {
  Instances out;
  EXPECT_TRUE(store
                  .execute("CREATE VIRTUAL TABLE IF NOT EXISTS temp.NameIndexInstances USING "
                           "fts5vocab(main, 'IndexedItemNameIndex', 'instance')")
                  .ok());
  auto rows = store.prepare("SELECT doc, term, offset FROM temp.NameIndexInstances");
  EXPECT_TRUE(rows.ok());
  while (rows.ok() && rows->step().valueOr(false)) {
    out.emplace(rows->columnInt(0), rows->columnText(1), rows->columnInt(2));
  }
  return out;
}

inline ::testing::AssertionResult indexMatchesTable(PersistentStore& store) {
  const Instances expected = expectedInstances(store);
  const Instances indexed = indexedInstances(store);
  if (expected == indexed) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expected.size() << " trigrams in the table, " << indexed.size()
                                       << " in the index";
}

}  // namespace pallix::testing
