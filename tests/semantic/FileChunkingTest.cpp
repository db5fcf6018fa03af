// Chunking (window, step back, cut rules, coverage), the chunk records and
// header line, file collection and text reading.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>

#include "app/search/CatalogScanner.h"
#include "app/semantic/FileChunking.h"
#include "core/Utf8.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

std::vector<int64_t> starts(const std::vector<TextChunk>& chunks) {
  std::vector<int64_t> out;
  for (const auto& c : chunks) out.push_back(c.startOffset);
  return out;
}

// Every character lies in some chunk, each chunk is its range of the text,
// and windows never exceed 400 characters (ASCII texts: bytes are characters).
void expectCovered(const std::string& text, const std::vector<TextChunk>& chunks) {
  std::vector<bool> covered(text.size(), false);
  for (const auto& c : chunks) {
    ASSERT_LE(c.endOffset - c.startOffset, int64_t(kMaxContentChars));
    EXPECT_EQ(c.text, text.substr(std::size_t(c.startOffset), std::size_t(c.endOffset - c.startOffset)));
    for (int64_t i = c.startOffset; i < c.endOffset; ++i) covered[std::size_t(i)] = true;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    ASSERT_TRUE(covered[i]) << "character " << i << " of " << text.size() << " is in no chunk";
  }
}

TEST(FileChunkingTest, CutsAfterTheLastNewlineElseTheLastSentence) {
  const std::string lines = std::string(150, 'a') + "\n" + std::string(150, 'b') + "\n" + std::string(300, 'c');
  EXPECT_EQ(chunkText(lines)[0].endOffset, 302);  // after the second newline
  const std::string sentences = std::string(150, 'a') + ". " + std::string(150, 'b') + ". " + std::string(300, 'c');
  EXPECT_EQ(chunkText(sentences)[0].endOffset, 304);  // after the second ". "
}

TEST(FileChunkingTest, AwkwardAndRandomTextsAreCoveredWithOverlappingWindows) {
  std::vector<std::string> texts = {"Title\n" + std::string(1500, 'x'),  // a short line, then no cut at all
                                    std::string(350, 'p') + "\n" + std::string(350, 'q') + "\n" +
                                        std::string(350, 'r') + "\n" + std::string(350, 's'),
                                    "Hi. " + std::string(900, 'w')};
  std::mt19937 rng(42);
  const std::string alphabet = "abcdefgh      ..\n";
  for (int round = 0; round < 300; ++round) {
    std::string text(rng() % 3000, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    if (!text.empty()) text[0] = 'z';
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    const auto chunks = chunkText(text);
    expectCovered(text, chunks);
    for (std::size_t k = 1; k < chunks.size(); ++k) {
      ASSERT_GT(chunks[k].startOffset, chunks[k - 1].startOffset);
      ASSERT_LE(chunks[k].startOffset, chunks[k - 1].endOffset - int64_t(kChunkOverlap));
    }
  }
}

TEST(FileChunkingTest, TextWithoutCutsStepsBackEightyCharactersAndDropsBlankPieces) {
  const std::string blank = std::string(700, ' ') + "tail";
  for (const auto& c : chunkText(blank)) EXPECT_NE(c.text.find("tail"), std::string::npos);
  std::string accents;
  for (int i = 0; i < 500; ++i) accents += "\xC3\xA9";  // "é", two bytes each
  const auto chunks = chunkText(accents);
  EXPECT_EQ(starts(chunks), (std::vector<int64_t>{0, 320}));
  EXPECT_EQ(chunks[0].text.size(), 800u);  // 400 characters
  EXPECT_EQ(chunks[1].endOffset, 500);
}

TEST(FileChunkingTest, ChunkRecordsCarryTheHeaderAndTheMetadata) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  CollectedFile file{"/home/ann/docs/notes.md", 1234, 1704412800.5};  // 2024-01-05 00:00:00.5 UTC
  const std::string text = std::string(300, 'n') + "\n" + std::string(300, 'm');
  const auto chunks = makeFileChunks(file, text);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].id, fileIdentifier(file.path) + "_0");
  EXPECT_EQ(chunks[1].text.substr(0, chunks[1].text.find('\n')),
            "[notes.md | Markdown document | docs | 1 KB | Jan 5, 2024 | Chunk 2/2]");
  auto m = FileChunkMetadata::fromMap(chunks[1].metadata);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->fileCategory, "code");
  EXPECT_EQ(m->chunkIndex, 1);
  EXPECT_EQ(m->totalChunks, 2);
  EXPECT_EQ(m->startOffset, 221);
  EXPECT_EQ(m->endOffset, 601);
  EXPECT_EQ(m->modifiedDate, 1704412800.5);
  EXPECT_EQ(chunks[1].text, chunks[1].text.substr(0, chunks[1].text.find('\n') + 1) + m->chunkText);
  EXPECT_EQ(fileKindDescription("TXT"), "text file");
  EXPECT_EQ(formatFileSize(999), "999 bytes");
  EXPECT_EQ(formatFileSize(998'000), "998 KB") << "decimal units, as the file managers show";
  EXPECT_EQ(formatFileSize(3'400'000), "3.4 MB");
}

TEST(FileChunkingTest, CollectionSkipsWhatMustNotBeIndexed) {
  testing::TempDir dir;  // lives under /tmp: the root's own components are not filtered
  const std::string root = dir.mkdir("tmp/docs");
  for (const char* kept : {"a.txt", "sub/b.md", "notes"}) dir.write(std::string("tmp/docs/") + kept, "text");
  for (const char* skipped :
       {".hidden", "node_modules/x.txt", "__pycache__/y.py", "build/z.txt", "secrets.txt", "cert.pem", ".git/config"}) {
    dir.write(std::string("tmp/docs/") + skipped, "text");
  }
  ASSERT_EQ(::truncate(dir.write("tmp/docs/exact.log", "").c_str(), kMaxFileSize), 0);
  ASSERT_EQ(::truncate(dir.write("tmp/docs/toolarge.log", "").c_str(), kMaxFileSize + 1), 0);
  FileExclusionFilter filter;
  std::set<std::string> names;
  for (const auto& f : collectFiles({root}, filter).files) names.insert(f.path.substr(root.size() + 1));
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", "exact.log", "notes", "sub/b.md"}));
}

TEST(FileChunkingTest, NamesThatAreNotUtf8ReachChunksAsUtf8AndThePathStillOpensTheFile) {
  testing::TempDir dir;
  dir.mkdir("men\xFC");                                                                 // Latin-1 "menü"
  const std::string path = dir.write("men\xFC/caf\xE9 menu.txt", "soup of the day\n");  // "café menu.txt"
  auto described = describeFile(path);
  ASSERT_TRUE(described.ok());
  const auto chunks = makeFileChunks(described.value(), readTextFile(path).value());
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(firstInvalidUtf8Offset(chunks[0].text), std::string_view::npos) << chunks[0].text;
  EXPECT_EQ(chunks[0].text.substr(0, chunks[0].text.find(" | ")), "[caf\uFFFD menu.txt");
  EXPECT_NE(chunks[0].text.find("| men\uFFFD |"), std::string::npos) << chunks[0].text;
  for (const auto& [key, value] : chunks[0].metadata) {
    EXPECT_EQ(firstInvalidUtf8Offset(value), std::string_view::npos) << key;
  }
  EXPECT_EQ(chunks[0].metadata.at("fileName"), "caf\uFFFD menu.txt");
  auto m = FileChunkMetadata::fromMap(chunks[0].metadata);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->filePath, path);
  EXPECT_TRUE(readTextFile(m->filePath).ok());
  // A UTF-8 path is stored once, as it is.
  CollectedFile plain{dir.path() + "/plain.txt", 3, 1.7e9};
  const auto plainChunks = makeFileChunks(plain, "abc");
  EXPECT_EQ(plainChunks[0].metadata.count(FileChunkMetadata::kFilePathBytesKey), 0u);
  EXPECT_EQ(toValidUtf8("a\xE9"
                        "b\xC3\xA9\xF0\x9F"),
            "a\uFFFDb\u00E9\uFFFD");
}

TEST(FileChunkingTest, LinksCountOnlyForFilesInsideTheFoldersThatNoRuleExcludes) {
  testing::TempDir dir;
  const std::string root = dir.mkdir("tmp/docs");
  const std::string other = dir.mkdir("tmp/more");
  dir.write("tmp/docs/a.txt", "text");
  const std::string real = dir.write("tmp/docs/sub/real.txt", "text");
  const std::string beside = dir.write("tmp/more/beside.txt", "text");
  const std::string outside = dir.write("tmp/outside/system.conf", "root:x:0:0");
  const std::string key = dir.write("tmp/docs/keys/token", "s3cr3t");
  const std::string hidden = dir.write("tmp/docs/.private/diary.txt", "dear diary");
  const std::string dependency = dir.write("tmp/docs/node_modules/pkg/readme.txt", "text");
  auto link = [&](const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (root + "/" + name).c_str()), 0) << name;
  };
  link(outside, "innocent.txt");    // out of the folders
  link(key, "notes.txt");           // the target's name is a secret's
  link(hidden, "diary.txt");        // below a hidden folder
  link(dependency, "dep.txt");      // below a dependency folder
  link(real, "shortcut.txt");       // the file itself, listed once
  link(beside, "beside-link.txt");  // a file of the other folder
  link(root + "/missing.txt", "dangling.txt");
  link(other, "more-folder");  // folders are not followed
  FileExclusionFilter filter;
  std::set<std::string> paths;
  for (const auto& f : collectFiles({root, other}, filter).files) paths.insert(f.path);
  EXPECT_EQ(paths, (std::set<std::string>{root + "/a.txt", real, beside}));
}

TEST(FileChunkingTest, FoldersThatCannotBeListedAreReported) {
  testing::TempDir dir;
  const std::string root = dir.mkdir("tmp/docs");
  dir.write("tmp/docs/a.txt", "text");
  dir.write("tmp/docs/sub/b.txt", "text");
  struct Refusing final : DirectoryOpener {
    int openDirectory(int dirFd, const char* name, const std::string& path) override {
      if (path == refused) {
        errno = EACCES;
        return -1;
      }
      return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    std::string refused;
  } opener;
  opener.refused = root + "/sub";
  FileExclusionFilter filter;
  auto collection = collectFiles({root, dir.path() + "/tmp/missing"}, filter, kMaxFileSize, {}, &opener);
  ASSERT_EQ(collection.files.size(), 1u);
  EXPECT_EQ(collection.files[0].path, root + "/a.txt");
  EXPECT_EQ(collection.unreadableFolders, (std::vector<std::string>{root + "/sub", dir.path() + "/tmp/missing"}));
}

TEST(FileChunkingTest, OnlyUtf8TextIsRead) {
  testing::TempDir dir;
  EXPECT_TRUE(readTextFile(dir.write("ok.txt", "caf\xC3\xA9\n")).ok());
  EXPECT_TRUE(testing::failsWith(readTextFile(dir.write("bin", std::string("PK\x03\x04\0\0", 6))), "NUL"));
  EXPECT_TRUE(testing::failsWith(readTextFile(dir.write("latin1.txt", "caf\xE9")), "not UTF-8 text"));
  EXPECT_FALSE(readTextFile(dir / "missing").ok());
}

}  // namespace
}  // namespace pallix
