// The autostart entry: written, recognised, hidden by the user, removed.
#include <gtest/gtest.h>

#include <fstream>

#include "app/shell/LaunchAtLogin.h"
#include "core/FileUtil.h"
#include "tests/support/TempDir.h"

namespace pallix {
namespace {

TEST(LaunchAtLoginTest, EnableWritesAnEntryDisableRemovesItAndAnUnwritableFolderIsNamed) {
  testing::TempDir dir;
  LaunchAtLogin login(dir / "config/autostart", "/opt/Pallix Apps/pallix-desktop");
  EXPECT_FALSE(login.isEnabled());
  ASSERT_TRUE(login.setEnabled(true).ok());
  EXPECT_TRUE(login.isEnabled());
  std::string text = readFileToString(login.entryPath()).value();
  EXPECT_NE(text.find("Exec=\"/opt/Pallix Apps/pallix-desktop\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[Desktop Entry]\nType=Application\n"), std::string::npos);

  // A user who hides the entry through the desktop's settings turned it off.
  std::ofstream(login.entryPath(), std::ios::app) << "Hidden=true\n";
  EXPECT_FALSE(login.isEnabled());

  ASSERT_TRUE(login.setEnabled(false).ok());
  EXPECT_FALSE(fileExists(login.entryPath()));
  EXPECT_TRUE(login.setEnabled(false).ok());

  // An unwritable folder is an error that names it.
  std::ofstream(dir / "file") << "x";
  Status s = LaunchAtLogin(dir / "file/autostart", "/usr/bin/pallix-desktop").setEnabled(true);
  ASSERT_TRUE(testing::failsWith(s, "autostart")) << s.error().description();
}

}  // namespace
}  // namespace pallix
