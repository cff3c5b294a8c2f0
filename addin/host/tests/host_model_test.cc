// The host's pieces without a server: the control protocol's fields and its runtime folder, and
// the explorer model (folder paths, selections, tagged clicks and the keyboard hook chain) on an
// in-memory account.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "control_protocol.h"
#include "host_desktop.h"
#include "vexmor/addin/com.h"
#include "vexmor/testing/test_support.h"

namespace {

namespace oc = vexmor::outlook_control;
using namespace vexmor::com;
using vexmor::addin_host::HostDesktop;

TEST(ControlProtocol, FieldsSurviveTabsLineBreaksAndBackslashes) {
  const std::vector<std::string> fields = {
      "box", "", "a\tb", "line one\nline two", "C:\\dir\\", "\\t is not a tab"};
  std::string line = oc::JoinFields(fields);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line, whatever the fields hold
  line.pop_back();
  EXPECT_EQ(oc::SplitFields(line), fields);
}

TEST(ControlProtocol, RuntimeFolderIsTheUsersAloneOrRefused) {
  vexmor::testing::TempDir dir;
  vexmor::testing::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  const std::string folder = oc::RuntimeFolder();
  EXPECT_EQ(folder, dir.path() + (dir.path().back() == '/' ? "" : "/") + "vexmor/");

  ASSERT_TRUE(oc::PrepareRuntimeFolder(folder).ok());
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A folder others may enter is closed again.
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  ASSERT_TRUE(oc::PrepareRuntimeFolder(folder).ok());
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A link or a file in its place is never used.
  const std::string link = dir.path() + "/linked";
  std::filesystem::create_directory_symlink(folder, link);
  EXPECT_FALSE(oc::PrepareRuntimeFolder(link + "/").ok());
  const std::string file = dir.path() + "/plain";
  vexmor::testing::WriteFileOrDie(file, "x");
  EXPECT_FALSE(oc::PrepareRuntimeFolder(file + "/").ok());
}

// Records the key events a hook sees and passes them on.
class RecordingHook final : public RefCounted<IKeyboardHook> {
 public:
  RecordingHook(HostDesktop& desktop, std::vector<int64_t>& seen)
      : desktop_(desktop), seen_(seen) {}
  int64_t KeyboardProc(int32_t code, uint64_t key, int64_t key_data) override {
    seen_.push_back(key_data);
    return desktop_.CallNextHook(handle, code, key, key_data);
  }
  uint64_t handle = 0;

 private:
  HostDesktop& desktop_;
  std::vector<int64_t>& seen_;
};

class CountingClick final : public RefCounted<ICommandBarButtonEvents> {
 public:
  explicit CountingClick(int& clicks) : clicks_(clicks) {}
  HRESULT Click(ICommandBarControl*, bool*) override {
    ++clicks_;
    return S_OK;
  }

 private:
  int& clicks_;
};

TEST(HostDesktopModel, SelectsByPathClicksByTagAndChainsKeyboardHooks) {
  auto account = vexmor::platform::MakeMemoryMapiAccount();
  auto session = account->Logon();
  ASSERT_TRUE(session.ok());
  auto stores = (*session)->GetMsgStoresTable();
  ASSERT_TRUE(stores.ok() && !stores->empty());
  ASSERT_TRUE(account->Deliver("Archive/2024", "Subject: a\n\nx\n").ok());
  ASSERT_TRUE(account->Deliver("Archive/2024", "Message-ID: <b@x>\nSubject: b\n\ny\n").ok());
  auto store = (*session)->OpenMsgStore(stores->front().entry_id);
  ASSERT_TRUE(store.ok());
  HostDesktop desktop(**store);

  int switches = 0;
  ASSERT_TRUE(desktop.Select("archive/2024", {}, {"<b@x>"}, false, [&] { ++switches; }).ok());
  EXPECT_EQ(switches, 1);
  EXPECT_NE(desktop.SelectionJson().find("\"folder\":\"2024\""), std::string::npos);
  EXPECT_FALSE(desktop.Select("Archive/2023", {}, {}, false, nullptr).ok());
  vexmor::Status missing = desktop.Select("Archive/2024", {99}, {}, false, nullptr);
  EXPECT_NE(missing.message().find("no message with UID 99"), std::string::npos);
  ISelection* selection = nullptr;
  ASSERT_EQ(desktop.Selection(&selection), S_OK);
  int32_t count = 0;
  selection->Count(&count);
  EXPECT_EQ(count, 1);  // the failed selections left the last one alone
  selection->Release();

  // Two controls with one tag: a click on either reaches the sinks of both.
  ICommandBars* bars = nullptr;
  ICommandBar* bar = nullptr;
  ICommandBarControl* button = nullptr;
  ICommandBarControl* popup = nullptr;
  ICommandBarControl* item = nullptr;
  ASSERT_EQ(desktop.CommandBars(&bars), S_OK);
  ASSERT_EQ(bars->Add("Vexmor", msoBarTop, true, &bar), S_OK);
  ASSERT_EQ(bar->AddControl(msoControlButton, true, &button), S_OK);
  ASSERT_EQ(bar->AddControl(msoControlPopup, true, &popup), S_OK);
  popup->SetCaption("Menu");
  ASSERT_EQ(popup->AddControl(msoControlButton, true, &item), S_OK);
  button->SetTag("Tag for Help");
  item->SetTag("Tag for Help");
  int clicks = 0;
  auto* sink = new CountingClick(clicks);
  uint32_t cookie = 0;
  ASSERT_EQ(button->Advise(sink, &cookie), S_OK);
  EXPECT_TRUE(desktop.Click("Tag for Help", true).ok());
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(desktop.Controls().at(2).popup, "Menu");
  button->SetEnabled(false);
  EXPECT_FALSE(desktop.Click("Tag for Help", true).ok());  // a person cannot
  EXPECT_TRUE(desktop.Click("Tag for Help", false).ok());  // a script's short form can
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(desktop.Click("Tag for Nothing", false).code(), vexmor::StatusCode::kNotFound);
  button->Unadvise(cookie);
  sink->Release();
  for (IUnknown* object : std::initializer_list<IUnknown*>{item, popup, button, bar, bars}) {
    object->Release();
  }

  // The newest hook sees a key first and passes it to the older one; the press has bit 30
  // clear, each auto-repeat and the release set it, the release bit 31 too.
  std::vector<int64_t> older_seen, newer_seen;
  auto* older = new RecordingHook(desktop, older_seen);
  auto* newer = new RecordingHook(desktop, newer_seen);
  ASSERT_EQ(desktop.SetWindowsHook(WH_KEYBOARD, older, &older->handle), S_OK);
  ASSERT_EQ(desktop.SetWindowsHook(WH_KEYBOARD, newer, &newer->handle), S_OK);
  desktop.Key(VK_F8, 2);
  const std::vector<int64_t> expected = {1, 1 | kKeyWasDown, 1 | kKeyWasDown,
                                         1 | kKeyWasDown | kKeyReleased};
  EXPECT_EQ(newer_seen, expected);
  EXPECT_EQ(older_seen, expected);
  older->Release();
  newer->Release();
}

}  // namespace
