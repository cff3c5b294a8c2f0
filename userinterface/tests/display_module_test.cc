// The dialogs' module is loaded beside the library by the first dialog. A copy of this program
// beside every library but that module (as a broken installation would have it) runs the child
// case: the library says which file it could not load, and the dialogs fall back to the log as
// they do without a display.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vexmor/platform/posix.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"
#include "vexmor/userinterface/CUserInterface.h"

namespace vexmor::ui {
namespace {

using testing::ReadFileOrEmpty;

constexpr char kChildInstall[] = "VEXMOR_UI_CHILD_INSTALL";
constexpr char kRefused[] = "[F] Senders form not shown: there is no display to show it on.\n";

// The copy's part, done before any test when it is started as the copy: asks for the senders
// dialog, waits until it was refused, and ends (0 when it was).
const bool kRanAsTheCopy = [] {
  const char* install = std::getenv(kChildInstall);
  if (install == nullptr) return false;
  CUserInterface ui;
  ui.StartProgress_Vexmor(2, 0x10010, install, "", true, true);
  const bool refused = vexmor::testing::WaitUntil([&] {
    return ReadFileOrEmpty(std::string(install) + "Vexmor_OE_Log.txt").find(kRefused) !=
           std::string::npos;
  });
  std::fflush(nullptr);
  std::_Exit(refused ? 0 : 1);
}();

TEST(DisplayModule, MissingModuleIsNamedAndTheLogStandsIn) {
  testing::ScopedSystemDirs dirs;
  testing::TempDir alone;
  const std::string copy = alone.path() + "ui_display_module_tests";
  vexmor::StatusOr<std::string> self = vexmor::platform::OwnProgramPath();
  ASSERT_TRUE(self.ok());
  std::filesystem::copy_file(*self, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  size_t linked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VEXMOR_BIN_DIR)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("libVexmor_") || !name.ends_with(".so")) continue;
    if (name == "libVexmor_UserInterfaceDisplay.so") continue;
    std::filesystem::create_symlink(entry.path(), alone.path() + name);
    ++linked;
  }
  ASSERT_GE(linked, 2u);

  // A display is named, so only the missing module can keep the dialog from it.
  const std::string run = std::string(kChildInstall) + "=" + dirs.install_dir() + " DISPLAY=:97 " +
                          copy + " >" + alone.path() + "out 2>" + alone.path() + "err";
  ASSERT_EQ(std::system(run.c_str()), 0) << ReadFileOrEmpty(alone.path() + "out");
  const std::string err = ReadFileOrEmpty(alone.path() + "err");
  EXPECT_NE(err.find("Vexmor_UserInterface: no windows on the display: cannot load " +
                     alone.path() + "libVexmor_UserInterfaceDisplay.so"),
            std::string::npos)
      << err;
  EXPECT_NE(ReadFileOrEmpty(dirs.install_dir() + "Vexmor_OE_Log.txt").find(kRefused),
            std::string::npos);
}

}  // namespace
}  // namespace vexmor::ui
