// The utility's executable carries its icon, manifest and version resource.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "window/version.h"
#include "tx_build_commit.h"

namespace {

// The build passes the Linux path; Wine sees the Linux root as drive Z:.
std::string AppPath() { return std::string("Z:") + TX_APP_EXE; }

class VersionResourceTest : public ::testing::TestWithParam<const char*> {};

TEST_P(VersionResourceTest, VersionInformationOfTheUtility) {
  const std::string path = std::string("Z:") + GetParam();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << path;
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  // File and product carry the project's one version, in numbers and in text.
  const WORD version[] = {TX_VERSION_NUMBERS};
  EXPECT_EQ(MAKELONG(version[1], version[0]), fixed->dwFileVersionMS);
  EXPECT_EQ(MAKELONG(version[3], version[2]), fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
  EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
  for (const char* entry : {"FileVersion", "ProductVersion"}) {
    char* value = nullptr;
    const std::string key = std::string("\\StringFileInfo\\040904E4\\") + entry;
    ASSERT_TRUE(VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(TX_VERSION, value) << entry;
  }

  char* text = nullptr;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904E4\\FileDescription",
                             reinterpret_cast<void**>(&text), &length));
  EXPECT_STREQ("TX4077x Firmware Update Utility", text);
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904E4\\LegalCopyright",
                             reinterpret_cast<void**>(&text), &length));
  EXPECT_STREQ(TX_COPYRIGHT ". MIT licence: see LICENSE.txt.", text);
  // The caption's version and the commit of this build, as the console's
  // --version prints them: a resource not rebuilt after a commit fails here.
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904E4\\Comments",
                             reinterpret_cast<void**>(&text), &length));
  EXPECT_STREQ(TX_UTILITY_NAME " " TX_UTILITY_VERSION ", commit " TX_BUILD_COMMIT, text);
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, VersionResourceTest, ::testing::Values(TX_APP_EXE, TX_DEMO_EXE),
                         [](const auto& info) { return info.index == 0 ? "Utility" : "Demo"; });

TEST(ResourcesTest, IconAndManifestWithCommonControlsAndDpiAwareness) {
  HMODULE module = LoadLibraryExA(AppPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, module);
  EXPECT_NE(nullptr, FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(14)));  // RT_GROUP_ICON
  HRSRC manifest = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));    // RT_MANIFEST
  ASSERT_NE(nullptr, manifest);
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
  const std::string text(bytes, SizeofResource(module, manifest));
  EXPECT_NE(std::string::npos, text.find("Microsoft.Windows.Common-Controls"));
  EXPECT_NE(std::string::npos, text.find("version=\"6.0.0.0\""));
  // Without this the system stretches the window's bitmap at high dpi.
  EXPECT_NE(std::string::npos, text.find(">true</dpiAware>"));
  FreeLibrary(module);
}

}  // namespace
