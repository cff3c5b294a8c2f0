// Check for Spam from the command line with a display (ctest runs this under xvfb-run): the
// session opens the real progress dialog, which shows until the host has checked the folder.
// The screenshot goes to $VEXMOR_EVIDENCE_DIR.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <wx/image.h>
#include <wx/init.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/maildir_fixture.h"
#include "vexmor/testing/process_helpers.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"
// Xlib last: its macros clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Status

namespace {

using namespace std::chrono_literals;
using vexmor::plugin::testing::HostProcess;
using vexmor::plugin::testing::Spawn;
using vexmor::plugin::testing::WaitExit;
using vexmor::testing::Deliver;
using vexmor::testing::MakeMaildirFolder;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WaitUntil;

constexpr char kProgressCaption[] = "Vexmor - Check for Spam e-mails";

// The top-level window with this title on the display, or 0.
Window FindTitled(Display* display, Window parent, const std::string& title, int depth = 0) {
  Window root = 0, up = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (depth > 3 || XQueryTree(display, parent, &root, &up, &children, &count) == 0) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    char* name = nullptr;
    if (XFetchName(display, children[i], &name) != 0 && name != nullptr) {
      if (title == name) found = children[i];
      XFree(name);
    }
    if (found == 0) found = FindTitled(display, children[i], title, depth + 1);
  }
  if (children != nullptr) XFree(children);
  return found;
}

bool Shown(const std::string& title) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  const Window window = FindTitled(display, DefaultRootWindow(display), title);
  XWindowAttributes attributes{};
  const bool viewable = window != 0 && XGetWindowAttributes(display, window, &attributes) != 0 &&
                        attributes.map_state == IsViewable;
  XCloseDisplay(display);
  return viewable;
}

// Saves the window as a PNG; the number of colours in it (a window not painted yet has one).
size_t Screenshot(const std::string& title, const std::string& path) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 0;
  size_t colours = 0;
  const Window window = FindTitled(display, DefaultRootWindow(display), title);
  XWindowAttributes attributes{};
  if (window != 0 && XGetWindowAttributes(display, window, &attributes) != 0) {
    XImage* shot = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                             static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (shot != nullptr) {
      std::set<unsigned long> seen;
      wxImage image(attributes.width, attributes.height);
      for (int y = 0; y < attributes.height; ++y) {
        for (int x = 0; x < attributes.width; ++x) {
          const unsigned long pixel = XGetPixel(shot, x, y);
          image.SetRGB(x, y, (pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
          seen.insert(pixel & 0xffffff);
        }
      }
      XDestroyImage(shot);
      image.SaveFile(path, wxBITMAP_TYPE_PNG);
      colours = seen.size();
    }
  }
  XCloseDisplay(display);
  return colours;
}

TEST(CheckOnDisplay, TheProgressDialogShowsUntilTheFolderIsChecked) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run";
  wxInitializer wx;
  wxImage::AddHandler(new wxPNGHandler);
  // A window that closes while the test walks the tree is simply not found: the handlers Xlib and
  // the toolkit install (after the toolkit's start, which sets one) would end the test's process on
  // that BadWindow.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  vexmor::testing::ScopedSystemDirs dirs;
  vexmor::testing::TempDir temp;
  const std::string runtime = temp.File("runtime");
  ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
  vexmor::testing::ScopedEnv runtime_env("XDG_RUNTIME_DIR", runtime);
  vexmor::testing::ScopedEnv readers("VEXMOR_MAIL_READERS", std::nullopt);
  const std::string root = temp.File("Maildir/");
  const std::string install = dirs.install_dir();
  MakeMaildirFolder(root);
  for (int i = 0; i < 4; ++i) {
    Deliver(root, "From: friend" + std::to_string(i) +
                      "@pals.example\nTo: me@example.org\nSubject: note\n\nhello\n");
  }
  Deliver(root, "From: seller@bad.example\nTo: me@example.org\nSubject: offer\n\nbuy\n");
  HostProcess sigd(
      {VEXMOR_SIGD_PATH, "--listen", "127.0.0.1:0", "--port-file", temp.File("port"), "--memory"});
  ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(temp.File("port")).empty(); }, 10s));
  const std::string server = "127.0.0.1:" + ReadFileOrEmpty(temp.File("port"));
  auto registry = vexmor::platform::MakeFileRegistry(vexmor::platform::DefaultPaths());
  ASSERT_TRUE(registry
                  ->SetValue(vexmor::platform::kProductKey, "",
                             vexmor::platform::RegistryValue::String(server))
                  .ok());
  auto cli = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" > \"$T_OUT\" 2>&1",
                                     VEXMOR_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    vexmor::testing::ScopedEnv out("T_OUT", temp.File("out"));
    const int status = WaitExit(Spawn(argv), 60s).value_or(-1);
    return std::make_pair(status, ReadFileOrEmpty(temp.File("out")));
  };
  ASSERT_EQ(cli({"lists", "add", "blocked", "ids", "seller@bad.example"}).first, 0);
  ASSERT_EQ(cli({"start", "--install-dir", install, "--maildir", root}).first, 0);
  struct Stop {
    std::function<void()> stop;
    ~Stop() { stop(); }
  } stop{[&] { cli({"stop"}); }};
  nlohmann::json status;
  ASSERT_TRUE(WaitUntil(
      [&] {
        status = nlohmann::json::parse(cli({"status", "--json"}).second, nullptr, false);
        return status.is_object() && status["hosts"].size() == 1 && status["toolbars"].size() == 1;
      },
      20s))
      << status;
  // The host holds still until the dialog has been seen, so it cannot finish first.
  const pid_t host = status["hosts"][0].get<pid_t>();
  ASSERT_EQ(::kill(host, SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{host};

  auto check = cli({"check", "Inbox"});
  ASSERT_EQ(check.first, 0) << check.second;
  // Generous: on a machine busy with other tests the session's dialog thread may start slowly.
  ASSERT_TRUE(WaitUntil([] { return Shown(kProgressCaption); }, 60s)) << check.second;
  const char* dir = std::getenv("VEXMOR_EVIDENCE_DIR");
  const std::string folder = dir != nullptr && *dir != '\0' ? dir : temp.File("evidence");
  std::filesystem::create_directories(folder);
  // A window not painted yet has one colour: wait for the painted one.
  size_t colours = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        colours = Screenshot(kProgressCaption, folder + "/check_progress_from_session.png");
        return colours >= 3;
      },
      20s, 250ms));
  EXPECT_GE(colours, 3u);

  // The host checks the folder: the blocked sender's message goes to Spam, the dialog closes.
  ASSERT_EQ(::kill(host, SIGCONT), 0);
  EXPECT_TRUE(WaitUntil([] { return !Shown(kProgressCaption); }, 30s));
  EXPECT_TRUE(WaitUntil(
      [&] {
        auto store = vexmor::platform::OpenMaildirStore(root);
        if (!store.ok()) return false;
        auto inbox = (*store)->ListMessages(vexmor::platform::kInboxFolderId);
        return inbox.ok() && inbox->size() == 4;
      },
      20s));
  EXPECT_NE(ReadFileOrEmpty(install + "Vexmor_OE_Log.txt")
                .find("[S] 'Check for Spam e-mails' progress started for folder = Inbox."),
            std::string::npos);
}

}  // namespace
