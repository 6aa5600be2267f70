// The path rules of the host's own style: drive letters and backslashes on
// Windows, "/" elsewhere. Each case names what both kinds of system make of
// the same text.
#include <gtest/gtest.h>

#include <cctype>

#include "pithorama/platform/Paths.h"

namespace pithorama {
namespace {

bool HostHasDrives() { return !HostPathStyle().systemDrive.empty(); }

TEST(HostPaths, FolderAndNameParts) {
  const struct {
    const char* path;
    const char* windowsFolder;
    const char* windowsName;
    const char* posixFolder;
    const char* posixName;
  } cases[] = {
      {"C:\\web\\app.exe", "C:\\web\\", "app.exe", "", "C:\\web\\app.exe"},
      {"C:app.exe", "C:", "app.exe", "", "C:app.exe"},
      {"D:\\", "D:\\", "", "", "D:\\"},
      {"\\\\server\\share\\q.dta", "\\\\server\\share\\", "q.dta", "", "\\\\server\\share\\q.dta"},
      {"/srv/www/app", "", "/srv/www/app", "/srv/www/", "app"},
      {"app.exe", "", "app.exe", "", "app.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (HostHasDrives()) {
      EXPECT_EQ(ExtractFilePath(c.path), c.windowsFolder);
      EXPECT_EQ(ExtractFileName(c.path), c.windowsName);
    } else {
      EXPECT_EQ(ExtractFilePath(c.path), c.posixFolder);
      EXPECT_EQ(ExtractFileName(c.path), c.posixName);
    }
  }
}

TEST(HostPaths, AbsoluteOrNot) {
  const struct {
    const char* path;
    bool windows;
    bool posix;
  } cases[] = {
      {"C:\\web\\app.exe", true, false}, {"c:\\", true, false},     {"C:web", false, false},
      {"\\web\\app", false, false},      {"/srv/app", false, true}, {"app", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(HostPathStyle().isAbsolute(c.path), HostHasDrives() ? c.windows : c.posix);
  }
}

TEST(HostPaths, DelimiterAndDrive) {
  if (HostHasDrives()) {
    EXPECT_EQ(HostPathStyle().delimiter, '\\');
    // The drive of the system folder: a letter and a colon.
    const std::string_view drive = HostPathStyle().systemDrive;
    ASSERT_EQ(drive.size(), 2u);
    EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(drive[0])));
    EXPECT_EQ(drive[1], ':');
  } else {
    EXPECT_EQ(HostPathStyle().delimiter, '/');
  }
}

}  // namespace
}  // namespace pithorama
