// Link previews fetched by libcurl from a local web server (127.0.0.1 only)
// and parsed with gumbo.
#include <gtest/gtest.h>

#include "app/platform/linux/ChildProcess.h"
#include "app/platform/linux/CurlLinkMetadataProvider.h"
#include "testing/TestProcess.h"

namespace pallix::testing {
namespace {

class LinkPreviewIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (findInPath("python3").empty()) GTEST_SKIP() << "python3 is not installed (scripts/setup.sh installs it)";
    server = std::make_unique<BackgroundProcess>(std::vector<std::string>{"python3", LINK_PREVIEW_SERVER});
    port = server->readLine();
    ASSERT_FALSE(port.empty()) << "the fixture server did not start";
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + port + path; }
  Result<LinkMetadata> fetch(const std::string& path) { return provider.fetchMetadata(url(path), {}); }

  std::unique_ptr<BackgroundProcess> server;
  std::string port;
  CurlLinkMetadataProvider provider;
};

TEST_F(LinkPreviewIntegrationTest, TitleIconAndImageComeFromThePage) {
  struct Case {
    std::string path;
    std::optional<std::string> title;
    bool icon, image;
  };
  const Case cases[] = {{"/page", "Open Graph title", true, true},
                        {"/plain", "Only a title", true, false},
                        {"/notimage", "T", true, false},
                        {"/huge", "Huge", true, false},
                        {"/hops/5", "Open Graph title", true, true}};
  for (const Case& c : cases) {
    auto meta = fetch(c.path);
    ASSERT_TRUE(meta.ok()) << c.path << ": " << meta.error().description();
    EXPECT_EQ(meta.value().title, c.title) << c.path;
    EXPECT_EQ(meta.value().iconImageData.has_value(), c.icon) << c.path;
    EXPECT_EQ(meta.value().previewImageData.has_value(), c.image) << c.path;
    if (c.icon) {
      EXPECT_TRUE(CurlLinkMetadataProvider::looksLikeImage(*meta.value().iconImageData));
    }
  }
}

TEST_F(LinkPreviewIntegrationTest, BadPagesFailWithAReason) {
  struct Case {
    std::string path;
    std::string reason;
  };
  const Case cases[] = {{"/redirect-ftp", "scheme other than http or https"},
                        {"/hops/7", "more than 5 redirects"},
                        {"/missing", "answered HTTP 404"},
                        {"/never", "no answer within 5 s"}};
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    auto meta = fetch(c.path);
    ASSERT_FALSE(meta.ok()) << c.path;
    EXPECT_NE(meta.error().description().find(c.reason), std::string::npos) << meta.error().description();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << c.path;
  }
  EXPECT_FALSE(provider.fetchMetadata("file:///etc/passwd", {}).ok());
}

}  // namespace
}  // namespace pallix::testing
