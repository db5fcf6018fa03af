// Clipboard rows a user recognises: an image's format and pixel size read
// from its header (corrupt and truncated ones give none), a copied file's
// path, a link's title and site icon, and the detail pane of each.
#include <gtest/gtest.h>

#include "app/clipboard/ClipboardItemFacts.h"
#include "app/clipboard/ClipboardModeSearchProvider.h"
#include "app/clipboard/ImageHeader.h"
#include "core/Formatting.h"
#include "core/Strings.h"
#include "tests/clipboard/ClipboardTestSupport.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

using std::chrono::minutes;

std::string be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string png(uint32_t width, uint32_t height) {
  return std::string("\x89PNG\r\n\x1a\n", 8) + be32(13) + "IHDR" + be32(width) + be32(height) +
         std::string("\x08\x06\x00\x00\x00", 5) + be32(0) + be32(0) + "IEND" + be32(0);
}

// SOI, an APP0 segment, fill bytes, then a baseline frame header.
std::string jpeg(uint16_t width, uint16_t height, char frame = '\xC0') {
  std::string app0 = std::string("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18);
  std::string sof = std::string("\xFF", 1) + frame + std::string("\x00\x11\x08", 3) + char(height >> 8) + char(height) +
                    char(width >> 8) + char(width) + std::string(10, '\x01');
  return std::string("\xFF\xD8", 2) + app0 + "\xFF\xFF" + sof + "\xFF\xDA\x00\x02";
}

TEST(ImageHeaderTest, ReadsTheSizeOfPngJpegAndGif) {
  EXPECT_EQ(readImageHeader(png(640, 480)), (ImageHeader{"PNG", 640, 480}));
  EXPECT_EQ(readImageHeader(jpeg(1920, 1080)), (ImageHeader{"JPEG", 1920, 1080}));
  EXPECT_EQ(readImageHeader(jpeg(300, 200, '\xC2')), (ImageHeader{"JPEG", 300, 200})) << "progressive";
  EXPECT_EQ(readImageHeader(std::string("GIF89a\x20\x03\x58\x02", 10) + "rest"), (ImageHeader{"GIF", 800, 600}));
}

TEST(ImageHeaderTest, CorruptAndTruncatedImagesHaveNoSize) {
  const std::string good = png(640, 480);
  for (size_t cut : {0u, 1u, 8u, 16u, 20u, 23u}) {
    EXPECT_EQ(readImageHeader(good.substr(0, cut)), std::nullopt) << "PNG cut at " << cut;
  }
  std::string noIHDR = good;
  noIHDR.replace(12, 4, "IDAT");
  EXPECT_EQ(readImageHeader(noIHDR), std::nullopt);
  EXPECT_EQ(readImageHeader(png(0, 480)), std::nullopt);
  EXPECT_EQ(readImageHeader(png(0x7FFFFFFF, 2)), std::nullopt) << "an absurd size";
  // The server fixture's "PNG": the signature and noise.
  EXPECT_EQ(readImageHeader(std::string("\x89PNG\r\n\x1a\n", 8) + std::string(1024, '\x07')), std::nullopt);

  const std::string j = jpeg(1920, 1080);
  for (size_t cut = 0; cut < 30; ++cut) {
    EXPECT_EQ(readImageHeader(j.substr(0, cut)), std::nullopt) << "JPEG cut at " << cut;
  }
  EXPECT_EQ(readImageHeader(std::string("\xFF\xD8\xFF\xDA\x00\x02", 6) + j.substr(22)), std::nullopt)
      << "scan data before any frame";
  EXPECT_EQ(readImageHeader(std::string("\xFF\xD8\xFF\xE0\x00\x00", 6) + j.substr(22)), std::nullopt)
      << "a segment of length 0";
  EXPECT_EQ(readImageHeader(std::string("\xFF\xD8\xFF\xC4\x00\x04\x00\x00", 8) + j.substr(22)),
            (ImageHeader{"JPEG", 1920, 1080}))
      << "a Huffman table is no frame";
  EXPECT_EQ(readImageHeader(std::string("GIF89a\x00\x00\x58\x02", 10)), std::nullopt);
  EXPECT_EQ(readImageHeader("plain text, not an image"), std::nullopt);
}

TEST(ClipboardItemFactsTest, CopiedFilesAreReadFromTheirUriList) {
  EXPECT_EQ(filePathsFromURIList("# copied\r\nfile:///home/ana/My%20Notes.txt\r\nfile://localhost/tmp/a\r\n"
                                 "file://otherhost/etc/x\r\nhttps://example.com/\r\nfile:///bad%2\r\nfile:relative\n"),
            (std::vector<std::string>{"/home/ana/My Notes.txt", "/tmp/a"}));
  EXPECT_EQ(filePathsFromURIList("file:///a%00b"), std::vector<std::string>{}) << "no NUL in a path";
}

ClipboardItem itemWith(std::vector<ClipboardRepresentation> reps, ClipboardContentKind kind) {
  ClipboardItem item;
  item.id = 7;
  item.contentKindRaw = static_cast<int>(kind);
  for (auto& r : reps) r.byteCount = static_cast<int64_t>(r.data ? r.data->size() : 0);
  item.representations = std::move(reps);
  item.sourceAppName = "Image Viewer";
  item.sourceAppBundleIdentifier = "org.example.Viewer.desktop";
  return item;
}

TEST(ClipboardItemFactsTest, AnImageReadsAsItsFormatAndSizeOnceItsBytesAreRead) {
  const Date now = dateFromSecondsSince1970(1'800'000'000);
  ClipboardItem item = itemWith({{"image/png", png(640, 480)}}, ClipboardContentKind::image);
  item.createdAt = now - minutes(2);
  const ClipboardItemContent content = readClipboardItemContent(item.representations);
  const ClipboardItemFacts facts = describeClipboardItem(withoutBytes(item), now, nullptr, &content);
  EXPECT_EQ(facts.title, "PNG image \u00b7 640\u00d7480");
  EXPECT_EQ(facts.pixelWidth, 640u);
  EXPECT_EQ(facts.detailLine(), "2 min ago \u00b7 Image Viewer");
  // Before the bytes arrive, and for bytes no header can be read from: the type and the size.
  EXPECT_EQ(describeClipboardItem(withoutBytes(item), now).title,
            "PNG image \u00b7 " + humanSize(item.totalByteCount()));
  ClipboardItem broken =
      itemWith({{"image/jpeg", std::string("\xFF\xD8\xFF\xE0\x00", 5)}}, ClipboardContentKind::image);
  const ClipboardItemContent brokenContent = readClipboardItemContent(broken.representations);
  const ClipboardItemFacts brokenFacts = describeClipboardItem(withoutBytes(broken), now, nullptr, &brokenContent);
  EXPECT_EQ(brokenFacts.title, "JPEG image \u00b7 5 B");
  EXPECT_EQ(brokenFacts.pixelWidth, std::nullopt);
}

TEST(ClipboardItemFactsTest, AFileReadsAsItsNameWithItsPathBelow) {
  const Date now = dateFromSecondsSince1970(1'800'000'000);
  ClipboardItem item =
      itemWith({{"text/uri-list", std::string("file:///home/ana/report%20q3.pdf\r\nfile:///home/ana/b.txt\r\n")}},
               ClipboardContentKind::file);
  item.createdAt = now;
  const ClipboardItemContent content = readClipboardItemContent(item.representations);
  const ClipboardItemFacts facts = describeClipboardItem(withoutBytes(item), now, nullptr, &content);
  EXPECT_EQ(facts.title, "report q3.pdf and 1 more");
  EXPECT_EQ(facts.filePath, "/home/ana/report q3.pdf");
  EXPECT_EQ(facts.detailLine(), "/home/ana/report q3.pdf \u00b7 just now \u00b7 Image Viewer");
}

TEST(ClipboardItemFactsTest, LinksThatCarryCredentialsAreNeverFetched) {
  for (const char* url : {"https://ana:pw@example.com/", "https://example.com/cb?state=1&Code=9",
                          "https://example.com/a?apiKey=1", "https://example.com/#id_token=x",
                          "https://example.com/dl?X-Goog-Signature=1", "https://example.com/?password="}) {
    EXPECT_FALSE(mayFetchLinkPreview(url)) << url;
  }
  for (const char* url :
       {"https://example.com/keyboards", "https://example.com/a?q=token", "https://example.com/@ana"}) {
    EXPECT_TRUE(mayFetchLinkPreview(url)) << url;
  }
}

// The clipboard mode's rows and detail panes, through the service.
class ClipboardRowModeTest : public ::testing::Test {
 protected:
  void start() {
    f.start();
    mode = std::make_unique<ClipboardModeSearchProvider>(*f.service, f.env.mainRunner(), f.env.makeRunner("index"));
    mode->setResultsChangedHandler([this] { ++refreshes; });
    f.service->setPanelVisible(true);
  }
  std::vector<ModeResult> search() {
    std::vector<ModeResult> results;
    mode->search("", [&](std::vector<ModeResult> r) { results = std::move(r); });
    return results;
  }
  std::string fact(const ModeResult& r, const std::string& label) {
    for (const auto& [l, v] : r.media->facts) {
      if (l == label) return v;
    }
    return "";
  }

  testing::TempDir dir;
  testing::ClipboardFixture f{":memory:", dir.path()};
  std::unique_ptr<ClipboardModeSearchProvider> mode;
  int refreshes = 0;
};

TEST_F(ClipboardRowModeTest, AnImageRowShowsItsThumbnailAndSizeAndTheDetailPaneTheImage) {
  start();
  f.pasteboard->setFrontmostApplication(FrontmostApplication{"org.example.Paint.desktop", "Paint", std::nullopt});
  const std::string bytes = png(640, 480);
  f.copy(PasteboardItem{{{"image/png", bytes}}});
  auto first = search();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].title, "PNG image \u00b7 " + humanSize(static_cast<int64_t>(bytes.size())));
  EXPECT_EQ(first[0].media->tileImage, nullptr) << "the bytes are not read on the main runner";
  refreshes = 0;
  f.env.runUntilIdle();
  EXPECT_EQ(refreshes, 1);
  auto shown = search();
  EXPECT_EQ(shown[0].title, "PNG image \u00b7 640\u00d7480");
  ASSERT_NE(shown[0].media->tileImage, nullptr);
  EXPECT_EQ(*shown[0].media->tileImage, bytes);
  ASSERT_NE(shown[0].media->image, nullptr);
  EXPECT_EQ(shown[0].media->sourceAppIdentifier, "org.example.Paint.desktop");
  EXPECT_EQ(fact(shown[0], "Size"), "640\u00d7480 pixels");
  EXPECT_EQ(fact(shown[0], "From"), "Paint");
  f.env.runUntilIdle();
  EXPECT_EQ(refreshes, 1) << "read once";
  // Closing the mode lets the bytes go; opening it reads them again.
  mode->clear();
  EXPECT_EQ(search()[0].media->tileImage, nullptr);
  f.env.runUntilIdle();
  EXPECT_NE(search()[0].media->tileImage, nullptr);
}

TEST_F(ClipboardRowModeTest, ALinkRowShowsItsSiteIconAndTheDetailPaneTitleUrlAndPreviewImage) {
  const std::string url = "https://example.com/article";
  f.provider->setAnswer(url, LinkMetadata{"A good article", std::string("icon-bytes"), std::string("og-bytes")});
  start();
  f.copyText(url);
  f.env.advanceBy(minutes(2));
  EXPECT_EQ(search()[0].media->tileImage, nullptr);
  f.env.runUntilIdle();
  auto shown = search();
  EXPECT_EQ(shown[0].title, "A good article");
  EXPECT_EQ(shown[0].detail, url + " \u00b7 2 min ago \u00b7 link");
  ASSERT_NE(shown[0].media->tileImage, nullptr);
  EXPECT_EQ(*shown[0].media->tileImage, "icon-bytes");
  EXPECT_EQ(shown[0].media->heading, "A good article");
  EXPECT_EQ(shown[0].media->text, url);
  ASSERT_NE(shown[0].media->image, nullptr);
  EXPECT_EQ(*shown[0].media->image, "og-bytes");
}

TEST_F(ClipboardRowModeTest, AFileRowShowsTheFilesIconAndPathAndLongTextIsWholeInTheDetailPane) {
  start();
  f.copy(PasteboardItem{{{"text/uri-list", "file:///home/ana/notes.txt\r\n"}}});
  std::string longText;
  for (int i = 0; i < 400; ++i) longText += "line " + std::to_string(i) + "\n";
  f.copyText(longText);
  search();
  f.env.runUntilIdle();
  auto shown = search();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].title, "notes.txt");
  EXPECT_EQ(shown[1].media->tileIconPath, "/home/ana/notes.txt");
  EXPECT_EQ(shown[1].detail.rfind("/home/ana/notes.txt \u00b7 ", 0), 0u) << shown[1].detail;
  EXPECT_TRUE(shown[0].media->text == longText) << shown[0].media->text.size() << " bytes";
  EXPECT_LT(shown[0].title.size(), longText.size()) << "the row shows the start";
}

}  // namespace
}  // namespace pallix
