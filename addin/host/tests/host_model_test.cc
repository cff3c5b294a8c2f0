// The host's pieces without a server: the control protocol's fields and its runtime folder, and
// the explorer model (folder paths, selections, tagged clicks and the keyboard hook chain) on an
// in-memory account.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "addin_host.h"
#include "host_channel.h"
#include "host_desktop.h"
#include "host_requests.h"
#include "vexmor/addin/com.h"
#include "vexmor/platform/control_channel.h"
#include "vexmor/platform/event_loop.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/runtime_folder.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace {

using namespace vexmor::com;
using vexmor::addin_host::HostDesktop;

// A request's fields reach the host as they were sent, whatever they hold; one that is not the
// host's request is answered "not understood" (code 2) and never served.
TEST(ControlProtocol, FieldsSurviveTabsLineBreaksAndBackslashes) {
  vexmor::testing::TempDir dir;
  vexmor::testing::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  auto path = vexmor::platform::ControlSocketPath(vexmor::addin_host::kSocketName);
  ASSERT_TRUE(path.ok()) << path.status().ToString();
  auto listener = vexmor::platform::ControlListener::Open(*path);
  ASSERT_TRUE(listener.ok()) << listener.status().ToString();
  const std::vector<std::string> fields = {
      "box", "", "a\tb", "line one\nline two", "C:\\dir\\", "\\t is not a tab"};
  std::optional<vexmor::addin_host::HostRequest> seen;
  std::thread host([&] {
    for (int served = 0; served < 2; ++served) {
      pollfd p{(*listener)->fd(), POLLIN, 0};
      ASSERT_GT(::poll(&p, 1, 20000), 0);
      auto connection = (*listener)->Accept();
      ASSERT_TRUE(connection.ok()) << connection.status().ToString();
      auto request = vexmor::addin_host::ReadHostRequest(std::move(*connection));
      if (!request) continue;
      seen = std::move(request);
      seen->connection->Finish({{"code", 0}});
    }
  });
  auto reply = vexmor::platform::ControlCall(
      *path, {{"verb", "click"}, {"args", fields}, {"answers", "no"}});
  auto refused = vexmor::platform::ControlCall(*path, {{"verb", "click"}, {"args", {1}}});
  host.join();
  ASSERT_TRUE(reply.ok()) << reply.status().ToString();
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->verb, "click");
  EXPECT_EQ(seen->args, fields);
  EXPECT_EQ(seen->answers, "no");
  ASSERT_TRUE(refused.ok()) << refused.status().ToString();
  EXPECT_EQ((*refused)["ok"], false);
  EXPECT_EQ((*refused)["code"], 2);
}

TEST(ControlProtocol, RuntimeFolderIsTheUsersAloneOrRefused) {
  vexmor::testing::TempDir dir;
  vexmor::testing::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  auto path = vexmor::platform::ControlSocketPath(vexmor::addin_host::kSocketName);
  ASSERT_TRUE(path.ok());
  const std::string folder = path->substr(0, path->rfind('/') + 1);
  EXPECT_EQ(folder, dir.path() + (dir.path().back() == '/' ? "" : "/") + "vexmor/");

  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A folder others may enter is closed again.
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  ASSERT_TRUE(vexmor::platform::ControlSocketPath(vexmor::addin_host::kSocketName).ok());
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A link or a file in its place is never used.
  const std::string link = dir.path() + "/linked";
  std::filesystem::create_directory_symlink(folder, link);
  EXPECT_FALSE(vexmor::platform::PreparePrivateFolder(link + "/").ok());
  const std::string file = dir.path() + "/plain";
  vexmor::testing::WriteFileOrDie(file, "x");
  EXPECT_FALSE(vexmor::platform::PreparePrivateFolder(file + "/").ok());
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

// The host on its loop with an in-memory account and no add-in: requests over the control
// channel are served while it waits for new mail, a malformed one is refused, and the stop
// descriptor ends it, its socket gone.
TEST(HostLoop, ServesRequestsWhileWaitingForMailAndStopsOnItsDescriptor) {
  vexmor::testing::TempDir dir;
  vexmor::testing::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  auto account = vexmor::platform::MakeMemoryMapiAccount();
  ASSERT_TRUE(account->Deliver("Inbox", "Message-ID: <a@x>\nSubject: a\n\nx\n").ok());
  auto session = account->Logon();
  ASSERT_TRUE(session.ok());
  auto stores = (*session)->GetMsgStoresTable();
  ASSERT_TRUE(stores.ok() && !stores->empty());
  auto store = (*session)->OpenMsgStore(stores->front().entry_id);
  ASSERT_TRUE(store.ok());
  auto registry = vexmor::platform::MakeMemoryRegistry();
  int stop_pipe[2];
  ASSERT_EQ(::pipe(stop_pipe), 0);
  std::atomic<bool> stop{false};
  std::atomic<bool> ended{false};
  int code = -1;
  vexmor::addin_host::HostOptions options;
  options.install_dir = dir.path();
  options.no_window = true;
  options.stop_fd = stop_pipe[0];
  options.end_when_nothing_loaded = false;  // the loop itself is under test, with no add-in
  std::thread host([&] {
    auto loop = vexmor::platform::MakeEventLoop();
    ASSERT_TRUE(loop.ok());
    code = vexmor::addin_host::RunHost(options, **loop, *registry, **session, **store, stop);
    ended = true;
  });
  auto path = vexmor::platform::ControlSocketPath(vexmor::addin_host::kSocketName);
  ASSERT_TRUE(path.ok());
  auto call = [&](const nlohmann::json& request, std::vector<std::string>* out) {
    return vexmor::platform::ControlCall(
        *path, request, [out](const nlohmann::json& event) -> std::optional<nlohmann::json> {
          if (event["event"] == "out" && out != nullptr) out->push_back(event["text"]);
          return std::nullopt;
        });
  };
  ASSERT_TRUE(vexmor::testing::WaitUntil([&] {
    return call({{"verb", "bar"}, {"answers", "no"}}, nullptr).ok();
  }));

  std::vector<std::string> out;
  auto selected = call({{"verb", "select"}, {"args", {"Inbox", "all"}}, {"answers", "no"}}, &out);
  ASSERT_TRUE(selected.ok()) << selected.status().ToString();
  EXPECT_EQ((*selected)["code"], 0) << selected->dump();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NE(out[0].find("\"selected\":[1]"), std::string::npos) << out[0];

  auto unknown = call({{"verb", "key"}, {"args", {"F99"}}, {"answers", "no"}}, nullptr);
  ASSERT_TRUE(unknown.ok());
  EXPECT_EQ((*unknown)["code"], 2);
  EXPECT_EQ((*unknown)["error"], "unknown key F99");
  auto malformed = call({{"verb", "bar"}}, nullptr);
  ASSERT_TRUE(malformed.ok());
  EXPECT_EQ((*malformed)["code"], 2);

  stop = true;
  ASSERT_EQ(::write(stop_pipe[1], "x", 1), 1);
  EXPECT_TRUE(vexmor::testing::WaitUntil([&] { return ended.load(); }));
  host.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(call({{"verb", "bar"}, {"answers", "no"}}, nullptr).status().code(),
            vexmor::StatusCode::kNotFound);
  ::close(stop_pipe[0]);
  ::close(stop_pipe[1]);
}

}  // namespace
