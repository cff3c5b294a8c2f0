// The add-in's commands as a person or a script gives them: a real Dovecot account, a real
// signature server, Vexmor_AddinHost running the built add-in, and `vexmor outlook` selecting
// messages, clicking the command bar and pressing F8 over the host's control socket. The
// results are read back from the account's folders, the sender lists, the signature server and
// the add-in's log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "vexmor/validate/CCheckSum.h"
#include "vexmor/validate/CXml.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>

#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/registration.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/profile.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

#ifdef VEXMOR_ADDIN_GUI_TEST
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <wx/image.h>
#include <wx/init.h>
// Xlib's names that clash with the test's own.
#undef Status
#undef None
#endif

namespace {

using vexmor::testing::DovecotServer;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::WriteFileOrDie;
namespace platform = vexmor::platform;
namespace addin = vexmor::addin;

std::string Mail(const std::string& id, const std::string& from, const std::string& subject,
                 const std::string& body, const std::string& type = "text/plain") {
  return "Message-ID: <" + id + ">\nFrom: " + from + "\nTo: me@home.example\nSubject: " + subject +
         "\nMIME-Version: 1.0\nContent-Type: " + type +
         "; charset=us-ascii\nContent-Transfer-Encoding: 8bit\n\n" + body + "\n";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

[[maybe_unused]] size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The test kit's wait, in milliseconds as these tests count them.
bool Eventually(const std::function<bool()>& condition, int timeout_ms = 10000) {
  return vexmor::testing::WaitUntil(condition, std::chrono::milliseconds(timeout_ms),
                                    std::chrono::milliseconds(50));
}

struct Cli {
  int code = -1;
  std::string out;
  std::string err;
};

class AddinCommandsE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dirs_ = new vexmor::testing::ScopedSystemDirs;
    install_ = dirs_->install_dir();
    library_ = vexmor::e2e::LinkAddinInstallation(VEXMOR_ADDIN_LIBRARY, install_);
    runtime_ = new vexmor::testing::TempDir;
    ::setenv("XDG_RUNTIME_DIR", runtime_->path().c_str(), 1);
    ::setenv("VEXMOR_THROTTLE", "off", 1);
    sigd_ = new vexmor::e2e::SigdProcess(VEXMOR_SIGD_PATH);
  }
  static void TearDownTestSuite() {
    delete sigd_;
    delete runtime_;
    delete dirs_;
  }

  void SetUp() override {
    server_ = DovecotServer::Get();
    if (server_ == nullptr) GTEST_SKIP() << "Dovecot is not available";
    ASSERT_TRUE(sigd_->running());
    registry_ = platform::MakeFileRegistry(platform::DefaultPaths());
    (void)registry_->SetValue(platform::kProductKey, "Signature Servers",
                              platform::RegistryValue::String(sigd_->host() + "@127.0.0.1"));
    (void)registry_->SetValue(platform::kProductKey, "",
                              platform::RegistryValue::String(sigd_->host()));
    (void)registry_->DeleteKey("Software\\Vexmor\\AddinHost");
    user_ = server_->FreshUser();
    server_->MaildirOf(user_, "INBOX");
    account_ = vexmor::e2e::LoopbackAccount(install_, user_, server_->port());
    ASSERT_TRUE(platform::SaveImapAccount(*registry_, account_).ok());
    ASSERT_TRUE(vexmor::e2e::RegisterAddin(VEXMOR_CLI, install_, library_));
  }

  void TearDown() override { StopHost(); }

  void StartHost(bool window = false) {
    std::string ready = install_ + "ready-" + user_;
    std::remove(ready.c_str());
    host_ = ::fork();
    if (host_ == 0) {
      std::string err = install_ + "host-stderr-" + user_ + ".txt";
      std::freopen(err.c_str(), "a", stderr);
      ::execl(VEXMOR_ADDIN_HOST, VEXMOR_ADDIN_HOST, "--install-dir", install_.c_str(),
              "--ready-file", ready.c_str(), window ? nullptr : "--no-window",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_GT(host_, 0);
    ASSERT_TRUE(Eventually([&] { return !ReadFileOrEmpty(ready).empty(); }));
  }

  void StopHost() {
    if (host_ <= 0) return;
    ::kill(host_, SIGTERM);
    int status = 0;
    ::waitpid(host_, &status, 0);
    host_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  Cli Outlook(const std::string& args, const std::string& input = "") {
    const std::string out = install_ + "cli-out", err = install_ + "cli-err";
    std::string command = std::string(VEXMOR_CLI) + " outlook " + args + " >" + out + " 2>" + err;
    command += input.empty() ? " </dev/null" : " <<'EOF'\n" + input + "\nEOF\n";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileOrEmpty(out),
            ReadFileOrEmpty(err)};
  }

  std::string Log() const { return ReadFileOrEmpty(install_ + "Vexmor_Outlook_Log.txt"); }

  // The subjects of a folder below the top of the personal folders.
  std::multiset<std::string> Subjects(const std::string& folder) {
    std::multiset<std::string> subjects;
    WithStore([&](platform::MapiStore& store) {
      auto id = addin::OpenFolderByPath(store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + folder);
      if (!id.ok()) return;
      auto messages = store.GetContentsTable(*id);
      if (!messages.ok()) return;
      for (const auto& message : *messages) {
        auto props = store.GetMessageProps(message, 0);
        if (props.ok()) subjects.insert(props->subject);
      }
    });
    return subjects;
  }

  void WithStore(const std::function<void(platform::MapiStore&)>& work) {
    auto logon = platform::MakeImapLogon({account_, "secret", 30});
    auto session = logon->Logon();
    ASSERT_TRUE(session.ok());
    auto store = (*session)->OpenMsgStore(*addin::FindDefaultStore(**session));
    ASSERT_TRUE(store.ok());
    work(**store);
    (*session)->Logoff();
  }

  // A person's move in another mail client, straight on the server.
  void PersonMoves(const std::string& from, const std::string& subject, const std::string& to) {
    WithStore([&](platform::MapiStore& store) {
      auto source = addin::OpenFolderByPath(store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + from);
      auto target = addin::OpenFolderByPath(store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\" + to);
      ASSERT_TRUE(source.ok() && target.ok());
      auto messages = store.GetContentsTable(*source);
      ASSERT_TRUE(messages.ok());
      for (const auto& message : *messages) {
        auto props = store.GetMessageProps(message, 0);
        if (props.ok() && props->subject == subject) {
          ASSERT_TRUE(store.MoveMessage(*source, message, *target).ok());
          return;
        }
      }
      FAIL() << subject << " is not in " << from;
    });
  }

  bool InList(const std::string& value, int32_t lookup_code) {
    CXml xml(install_);
    std::string result;
    xml.ReadFile(value, lookup_code, &result);
    return result == "Found";
  }
  void AddToList(const std::string& value, int32_t add_code, uint32_t kind) {
    CXml xml(install_);
    std::string result;
    if (!xml.ReadFile(value, add_code, &result)) {
      ASSERT_TRUE(xml.WriteFile(value, kind));
    }
  }
  void RemoveBlocked(const std::string& sender) {
    CXml xml(install_);
    std::string result;
    xml.ReadFile(sender, 1, &result);
  }
  // Whether the server answers 1 for the content signature the incoming chain computes.
  bool ServerKnowsContent(const std::string& subject, const std::string& body) {
    CCheckSum checksum;
    checksum.Arrange_SpamMail(Lower(subject + body));
    return checksum.CompareCheckSumValue(install_);
  }
  bool ServerKnowsLink(const std::string& domain) {
    CCheckSum checksum;
    checksum.Arrange_SpamMail_Url(domain);
    return checksum.CompareCheckSumValue_Url(install_);
  }
  void TeachLink(const std::string& domain) {
    CCheckSum checksum;
    checksum.Arrange_SpamMail_Url(domain);
    ASSERT_TRUE(checksum.UpdateCheckSumValue_Url(install_));
  }
  int MessageKey(const char* section, const char* key) {
    return platform::DefaultProfile().GetInt(install_ + "Vexmor_Message.ini", section, key, -1);
  }

  static inline vexmor::testing::ScopedSystemDirs* dirs_ = nullptr;
  static inline vexmor::testing::TempDir* runtime_ = nullptr;
  static inline vexmor::e2e::SigdProcess* sigd_ = nullptr;
  static inline std::string install_;
  static inline std::string library_;
  DovecotServer* server_ = nullptr;
  std::unique_ptr<platform::Registry> registry_;
  std::string user_;
  platform::ImapAccount account_;
  pid_t host_ = -1;
};

#ifdef VEXMOR_ADDIN_GUI_TEST
// The first window below "top" whose name is "name".
Window FindWindow(Display* display, Window top, const std::string& name) {
  char* text = nullptr;
  if (XFetchName(display, top, &text) != 0 && text != nullptr) {
    const bool found = name == text;
    XFree(text);
    if (found) return top;
  }
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, top, &root, &parent, &children, &count) == 0) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && found == 0; ++i) found = FindWindow(display, children[i], name);
  if (children != nullptr) XFree(children);
  return found;
}

// Saves part of the screen as a PNG under $VEXMOR_EVIDENCE_DIR; returns its colours.
// A digest of what the screen shows in a rectangle, to tell when a window stopped changing.
size_t ScreenDigest(Display* display, int x, int y, int width, int height) {
  XImage* shot = XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                           static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (shot == nullptr) return 0;
  size_t digest = 0;
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      digest = digest * 1000003u ^ XGetPixel(shot, column, row);
    }
  }
  XDestroyImage(shot);
  return digest;
}

size_t SaveScreenshot(Display* display, int x, int y, int width, int height,
                      const std::string& name) {
  static wxInitializer toolkit;
  if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) wxImage::AddHandler(new wxPNGHandler);
  const char* dir = std::getenv("VEXMOR_EVIDENCE_DIR");
  const std::string folder =
      dir != nullptr && *dir != '\0' ? dir : std::filesystem::temp_directory_path().string();
  std::filesystem::create_directories(folder);
  XImage* shot = XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                           static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (shot == nullptr) return 0;
  std::set<unsigned long> colours;
  wxImage image(width, height);
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      const unsigned long pixel = XGetPixel(shot, column, row);
      image.SetRGB(column, row, (pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
      colours.insert(pixel & 0xffffff);
    }
  }
  XDestroyImage(shot);
  image.SaveFile(folder + "/" + name, wxBITMAP_TYPE_PNG);
  return colours.size();
}
#endif

#ifdef VEXMOR_ADDIN_GUI_TEST
// The command bar as a window on a display: a real click on its Report button reports the
// selected message, exactly as the command does.
TEST_F(AddinCommandsE2E, ClickOnTheToolWindowReportsTheSelection) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr);
  const char* body = "Miracle pills, buy now.";
  server_->Deliver(user_, "INBOX", Mail("g1@e", "pills@gui-spam.example", "Pills", body));
  StartHost(true);
  ASSERT_EQ(Outlook("select INBOX 1").code, 0);

  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  // A window that closes while the test walks the tree is simply not found: Xlib's own handler
  // would end the test's process on that BadWindow.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  Window bar = 0;
  ASSERT_TRUE(Eventually([&] {
    bar = FindWindow(display, DefaultRootWindow(display), "Vexmor");
    XWindowAttributes attributes{};
    return bar != 0 && XGetWindowAttributes(display, bar, &attributes) &&
           attributes.map_state == IsViewable && attributes.width > 100;
  })) << "the tool window did not show";
  // A click counts only once the buttons are laid out and painted: wait for the picture.
  XWindowAttributes attributes{};
  int x = 0, y = 0;
  EXPECT_TRUE(Eventually([&] {
    XGetWindowAttributes(display, bar, &attributes);
    Window child = 0;
    XTranslateCoordinates(display, bar, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    return SaveScreenshot(display, x, y, attributes.width, attributes.height,
                          "addin_command_bar.png") >= 8u;
  })) << "the tool window was not painted";
  // The selection retitles the bar, which builds its buttons again: click once the picture
  // has stood still for a while, or the click may land while the buttons are being replaced.
  size_t last = 0;
  int still = 0;
  EXPECT_TRUE(Eventually(
      [&] {
        const size_t now = ScreenDigest(display, x, y, attributes.width, attributes.height);
        still = now == last ? still + 1 : 0;
        last = now;
        return still >= 6;
      },
      15000))
      << "the tool window kept changing";
  (void)SaveScreenshot(display, x, y, attributes.width, attributes.height, "addin_command_bar.png");

  // The Report button is the bar's first control, at its left end.
  using FakeMotion = int (*)(Display*, int, int, int, unsigned long);
  using FakeButton = int (*)(Display*, unsigned, int, unsigned long);
  using FakeKey = int (*)(Display*, unsigned, int, unsigned long);
  void* xtst = ::dlopen("libXtst.so.6", RTLD_NOW);
  ASSERT_NE(xtst, nullptr) << "libXtst.so.6 is needed to click";
  auto motion = reinterpret_cast<FakeMotion>(::dlsym(xtst, "XTestFakeMotionEvent"));
  auto button = reinterpret_cast<FakeButton>(::dlsym(xtst, "XTestFakeButtonEvent"));
  auto key = reinterpret_cast<FakeKey>(::dlsym(xtst, "XTestFakeKeyEvent"));
  ASSERT_TRUE(motion != nullptr && button != nullptr);
  // The bar rebuilds its buttons when the host's model changes (the selection above), so a
  // click that lands while that happens is lost, as a person's would be: click again then.
  // Each step waits until the display server holds its result (the pointer there, the button
  // down, then up): the bar's toolkit receives the events in that order, whenever it reads them.
  const auto pointer = [&](int& at_x, int& at_y) {
    Window root = 0, child = 0;
    int window_x = 0, window_y = 0;
    unsigned mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &at_x, &at_y, &window_x,
                  &window_y, &mask);
    return mask;
  };
  const auto click = [&] {
    const int to_x = x + 24, to_y = y + attributes.height / 2;
    motion(display, -1, to_x, to_y, 0);
    XSync(display, False);
    EXPECT_TRUE(Eventually([&] {
      int at_x = 0, at_y = 0;
      (void)pointer(at_x, at_y);
      return at_x == to_x && at_y == to_y;
    })) << "the pointer did not reach the button";
    int at_x = 0, at_y = 0;
    button(display, 1, True, 0);
    XSync(display, False);
    EXPECT_TRUE(Eventually([&] { return (pointer(at_x, at_y) & Button1Mask) != 0; }));
    button(display, 1, False, 0);
    XSync(display, False);
    EXPECT_TRUE(Eventually([&] { return (pointer(at_x, at_y) & Button1Mask) == 0; }));
  };
  const auto reported = [&] { return Subjects("Spam_Posted").count("Pills") == 1; };
  bool done = false;
  for (int attempt = 0; attempt < 4 && !done; ++attempt) {
    if (attempt > 0 && key != nullptr) {
      // A lost click may have opened the bar's menu instead: close it first.
      const unsigned escape = XKeysymToKeycode(display, XK_Escape);
      key(display, escape, True, 0);
      key(display, escape, False, 0);
      XFlush(display);
    }
    click();
    done = Eventually(reported, 4000);
  }
  EXPECT_TRUE(done) << Log();
  EXPECT_NE(Log().find("Reported selected mail as a Spam via VEXMOR Toolbar(S)."),
            std::string::npos);
  EXPECT_TRUE(InList("pills@gui-spam.example", 3));
  EXPECT_TRUE(ServerKnowsContent("Pills", body));
  XCloseDisplay(display);
}

#else
// Report Spam on three mails teaches the server and the sender lists, and the incoming chain
// then recognises the same content from anyone; 101 selected mails are refused, 100 processed.
TEST_F(AddinCommandsE2E, ReportTeachesTheChainAndKeepsTheHundredLimit) {
  const char* body = "Cheap watches, all brands, order today.";
  server_->Deliver(user_, "INBOX", Mail("r1@a", "x1@watches-a.example", "Watches one", body));
  server_->Deliver(user_, "INBOX",
                   Mail("r2@a", "x2@watches-b.example", "Watches two", "Rolex replicas now."));
  server_->Deliver(user_, "INBOX",
                   Mail("r3@a", "x3@watches-c.example", "Watches three", "Best replica deals."));
  server_->Deliver(user_, "INBOX", Mail("keep@a", "friend@home.example", "Lunch", "At noon?"));
  for (int i = 1; i <= 101; ++i) {
    server_->Deliver(
        user_, "Bulk",
        Mail("bulk" + std::to_string(i) + "@a", "news" + std::to_string(i) + "@bulk.example",
             "Bulk " + std::to_string(i), "Issue " + std::to_string(i)));
  }
  StartHost();

  Cli selected = Outlook("select INBOX 1 2 3");
  ASSERT_EQ(selected.code, 0) << selected.err;
  EXPECT_NE(selected.out.find("\"selected\":[1,2,3]}"), std::string::npos) << selected.out;
  Cli report = Outlook("report");
  ASSERT_EQ(report.code, 0) << report.err;
  EXPECT_EQ(Subjects("Spam_Posted"),
            (std::multiset<std::string>{"Watches one", "Watches two", "Watches three"}));
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"Lunch"});
  for (const char* sender : {"x1@watches-a.example", "x2@watches-b.example"}) {
    EXPECT_TRUE(InList(sender, 3)) << sender;
  }
  EXPECT_TRUE(InList("watches-c.example", 11));
  // What the server learnt is what the chain compares: subject and body.
  EXPECT_TRUE(ServerKnowsContent("Watches one", body));
  std::string log = Log();
  EXPECT_NE(log.find("Reported selected mail as a Spam via VEXMOR Toolbar(S)."), std::string::npos);
  EXPECT_NE(log.find("3::NoOfSelected Mail Items(S)."), std::string::npos);
  EXPECT_EQ(Count(log, "Selected mail added to SPAM_POSTED list by Final Vexmor filter(S)."), 3u);
  EXPECT_NE(log.find("Reported successfully(S).\n"), std::string::npos);

  // The same mail from a stranger is now spam on arrival, by its content.
  server_->Deliver(user_, "INBOX", Mail("again@a", "other@elsewhere.example", "Watches one", body));
  EXPECT_TRUE(Eventually([&] { return Subjects("Spam").count("Watches one") == 1; })) << Log();
  EXPECT_NE(Log().find("Mail added to SPAM list by I-Final Vexmor filter(S)."), std::string::npos);
  // The command's own moves are not reported again as a person's.
  EXPECT_EQ(Count(Log(), "Selected mail added to SPAM_POSTED list by Final Vexmor filter(S)."), 3u);

  Cli by_id = Outlook("select INBOX --message-id '<keep@a>'");
  EXPECT_NE(by_id.out.find("\"selected\":[4]}"), std::string::npos) << by_id.out << by_id.err;
  ASSERT_EQ(Outlook("select Bulk --all").code, 0);
  Cli refused = Outlook("report");
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("You have attempted to report 101 SPAM mails. Maximum allowed is "
                             "100 mails.\nPlease try again."),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(Subjects("Bulk").size(), 101u);

  std::string hundred = "select Bulk";
  for (int uid = 1; uid <= 100; ++uid) hundred += " " + std::to_string(uid);
  ASSERT_EQ(Outlook(hundred).code, 0);
  Cli processed = Outlook("report");
  EXPECT_EQ(processed.code, 0) << processed.err;
  EXPECT_EQ(Subjects("Bulk"), std::multiset<std::string>{"Bulk 101"});
  EXPECT_EQ(Subjects("Spam_Posted").size(), 103u);
  EXPECT_TRUE(InList("news100@bulk.example", 3));
  EXPECT_NE(Log().find("100::NoOfSelected Mail Items(S)."), std::string::npos);

  // A text of exactly the chain's limit is still compared on arrival, so it is posted too.
  const std::string longest(100000 - 4, 'w');
  server_->Deliver(user_, "INBOX", Mail("long@a", "talker@long.example", "Long", longest));
  ASSERT_TRUE(Eventually([&] { return Outlook("select INBOX --message-id long@a").code == 0; }));
  ASSERT_EQ(Outlook("report").code, 0);
  EXPECT_TRUE(ServerKnowsContent("Long", longest));
}

// Not Spam refuses outside the spam folders, asks inside them, and restores: the mail back in
// the Inbox (and not judged again), its sender approved, its link signature withdrawn.
TEST_F(AddinCommandsE2E, NotSpamAsksAndRestoresAndF8IsIgnoredWhileItAsks) {
  AddToList("pal@restored.example", 2, 1);
  TeachLink("pal-links.example");
  ASSERT_TRUE(ServerKnowsLink("pal-links.example"));
  server_->Deliver(user_, "INBOX", Mail("old@b", "someone@b.example", "Old", "hello"));
  StartHost();
  server_->Deliver(
      user_, "INBOX",
      Mail("pal@b", "pal@restored.example", "Pal",
           "<html><a href=\"http://www.pal-links.example/photos\">photos</a></html>", "text/html"));
  ASSERT_TRUE(Eventually([&] { return Subjects("Spam").count("Pal") == 1; })) << Log();

  ASSERT_EQ(Outlook("select INBOX 1").code, 0);
  Cli outside = Outlook("notspam --yes");
  EXPECT_EQ(outside.code, 1);
  EXPECT_NE(outside.err.find("'Not Spam' option will work only for 'Spam' and 'Spam_Posted' "
                             "folders."),
            std::string::npos)
      << outside.err;
  // A person cannot click the greyed-out button.
  Cli greyed = Outlook("click 'Tag for Not Spam'");
  EXPECT_EQ(greyed.code, 1);
  EXPECT_NE(greyed.err.find("disabled"), std::string::npos);

  ASSERT_EQ(Outlook("select Spam 1").code, 0);
  Cli declined = Outlook("notspam --no");
  EXPECT_EQ(declined.code, 1);
  EXPECT_NE(declined.err.find("Are you sure you want to remove selected Mail Id and the signature "
                              "from Vexmor list?"),
            std::string::npos);
  EXPECT_EQ(Subjects("Spam").count("Pal"), 1u);

  // While the question waits for its answer, F8 (held: three auto-repeats) does nothing.
  std::string answers = install_ + "answers-" + user_;
  ::mkfifo(answers.c_str(), 0600);
  std::string asking_err = install_ + "asking-err";
  pid_t asking = ::fork();
  if (asking == 0) {
    std::freopen(answers.c_str(), "r", stdin);
    std::freopen(asking_err.c_str(), "w", stderr);
    ::execl(VEXMOR_CLI, VEXMOR_CLI, "outlook", "notspam", "--ask", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  FILE* answer = std::fopen(answers.c_str(), "w");
  ASSERT_NE(answer, nullptr);
  ASSERT_TRUE(Eventually(
      [&] { return ReadFileOrEmpty(asking_err).find("Are you sure") != std::string::npos; }));
  Cli held = Outlook("key F8 --repeat 3");
  EXPECT_EQ(held.code, 0) << held.err;
  EXPECT_EQ(Log().find("Reported selected mail as a spam via F8 key(S)."), std::string::npos);
  std::fputs("y\n", answer);
  std::fclose(answer);
  int status = 0;
  ASSERT_EQ(::waitpid(asking, &status, 0), asking);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFileOrEmpty(asking_err);

  EXPECT_EQ(Subjects("Spam").count("Pal"), 0u);
  EXPECT_TRUE(InList("pal@restored.example", 7));
  EXPECT_FALSE(InList("pal@restored.example", 3));
  EXPECT_TRUE(InList("restored.example", 15));
  EXPECT_FALSE(ServerKnowsLink("pal-links.example"));
  std::string log = Log();
  EXPECT_NE(log.find("Reported selected mail as a Not Spam via VEXMOR Toolbar(S)."),
            std::string::npos);
  EXPECT_NE(log.find("Selected Mail added to INBOX list by NS-Third filter(S)."),
            std::string::npos);
  EXPECT_NE(log.find("Removed successfully from Vexmor(S).\n"), std::string::npos);
  // Back in the Inbox it is not judged as new mail (one delivery chain ran, for its arrival).
  // A later delivery shows that the host has looked at the Inbox since: once that one is
  // judged, a pass that took the restored mail for new would have judged it before.
  ASSERT_EQ(Outlook("selection").code, 0);
  server_->Deliver(user_, "INBOX", Mail("later@d", "later@fine.example", "Later", "see you"));
  ASSERT_TRUE(Eventually([&] {
    return ReadFileOrEmpty(install_ + "verdicts.jsonl").find("later@d") != std::string::npos;
  })) << Log();
  EXPECT_EQ(Subjects("Inbox"), (std::multiset<std::string>{"Old", "Pal", "Later"}));
  EXPECT_EQ(Count(Log(), "Trying to apply Vexmor filters on Incoming mail(S)."), 2u);

  // F8 with nothing running: every auto-repeat and the release report the selection; in Spam
  // that is refused with the command's own box.
  server_->Deliver(user_, "Spam", Mail("s@b", "junk@b.example", "Junk", "junk"));
  ASSERT_EQ(Outlook("select Spam --all").code, 0);
  Cli f8 = Outlook("key F8 --repeat 2");
  EXPECT_EQ(f8.code, 1);
  EXPECT_NE(f8.err.find("Report SPAM is not possible for mails in Spam or Spam_Posted folder."),
            std::string::npos);
  EXPECT_EQ(Count(Log(), "Reported selected mail as a spam via F8 key(S)."), 3u);
  EXPECT_EQ(Count(Log(), "Reported successfully via F8 key(S).\n"), 3u);
}

// Check for Spam over a folder of three, its counts and its stop; Empty with one and with two
// mails; the bar retitled on each folder switch.
TEST_F(AddinCommandsE2E, CheckEmptyAndTheBarFollowTheFolder) {
  AddToList("crook@checked.example", 2, 1);
  for (const char* folder : {"Three", "Stopped"}) {
    server_->Deliver(user_, folder,
                     Mail(std::string("c1@") + folder, "crook@checked.example", "Crook", "money"));
    server_->Deliver(user_, folder,
                     Mail(std::string("c2@") + folder, "fine@ok.example", "Fine", "hello there"));
    server_->Deliver(user_, folder,
                     Mail(std::string("c3@") + folder, "also@ok.example", "Also", "see you"));
  }
  server_->Deliver(user_, "Spam_Posted", Mail("p1@c", "a@c.example", "Posted", "x"));
  server_->Deliver(user_, "Spam", Mail("s1@c", "b@c.example", "Spam one", "y"));
  server_->Deliver(user_, "Spam", Mail("s2@c", "d@c.example", "Spam two", "z"));
  StartHost();
  EXPECT_NE(Log().find("Vexmor Toolbar Created.(S)"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Keyboard hook installed successfully(S)"), std::string::npos);

  auto control = [&](const std::string& tag) {
    Cli bar = Outlook("bar");
    for (size_t at = 0, end; (end = bar.out.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string line = bar.out.substr(at, end - at);
      if (line.find("\"tag\":\"" + tag + "\"") != std::string::npos) return line;
    }
    return std::string();
  };
  ASSERT_EQ(Outlook("select Three").code, 0);
  EXPECT_NE(control("Tag for Spam").find("\"enabled\":true"), std::string::npos);
  EXPECT_NE(control("Tag for Not Spam").find("\"enabled\":false"), std::string::npos);
  EXPECT_NE(
      control("Tag for Check for popup").find("\"caption\":\"Check in \\\"Three\\\" Folder\""),
      std::string::npos)
      << control("Tag for Check for popup");
  EXPECT_NE(control("Tag for Empty popup")
                .find("\"caption\":\"Empty \\\"Spam\\\" or \\\"Spam_Posted\\\" folder\","
                      "\"tooltip\":\"\",\"tag\":\"Tag for Empty popup\",\"enabled\":false"),
            std::string::npos)
      << control("Tag for Empty popup");
  EXPECT_NE(control("Tag for Spam").find("\"face\":true"), std::string::npos);

  Cli check = Outlook("check");
  ASSERT_EQ(check.code, 0) << check.err;
  ASSERT_TRUE(Eventually([&] { return Log().find("\t3\tmail(S).") != std::string::npos; }))
      << Log();
  EXPECT_EQ(MessageKey("Message", "Total_Count"), 3);
  EXPECT_TRUE(Eventually([&] { return MessageKey("Message", "Present_Count") == 3; }));
  EXPECT_NE(Log().find("3\t::Check For Spam"), std::string::npos);
  EXPECT_NE(Log().find("Mail added to Spam by Chk-Fifth Filter(S)."), std::string::npos);
  EXPECT_EQ(Subjects("Three"), (std::multiset<std::string>{"Fine", "Also"}));

  ASSERT_EQ(Outlook("select Spam_Posted").code, 0);
  EXPECT_NE(control("Tag for Spam").find("\"enabled\":false"), std::string::npos);
  EXPECT_NE(control("Tag for Not Spam").find("\"enabled\":true"), std::string::npos);
  EXPECT_NE(control("Tag for Check for popup")
                .find("\"caption\":\"Check for SPAM e-mails\",\"tooltip\":\"\",\"tag\":\"Tag for "
                      "Check for popup\",\"enabled\":false"),
            std::string::npos);
  EXPECT_NE(control("Tag for Empty popup").find("Empty \\\"Spam_Posted\\\" Folder"),
            std::string::npos);
  Cli one_no = Outlook("empty --no");
  EXPECT_EQ(one_no.code, 1);
  EXPECT_NE(one_no.err.find("Are you sure you want to delete e-mail message of selected "
                            "\"Spam_Posted\" folder?"),
            std::string::npos)
      << one_no.err;
  EXPECT_EQ(Subjects("Spam_Posted").size(), 1u);
  EXPECT_EQ(Outlook("empty --yes").code, 0);
  EXPECT_TRUE(Subjects("Spam_Posted").empty());
  Cli empty_now = Outlook("empty --yes");
  EXPECT_EQ(empty_now.code, 1);
  EXPECT_NE(empty_now.err.find("The \"Spam_Posted\" folder you have selected is empty."),
            std::string::npos);

  ASSERT_EQ(Outlook("select Spam").code, 0);
  Cli two = Outlook("empty --yes");
  EXPECT_EQ(two.code, 0);
  EXPECT_NE(two.err.find("Are you sure you want to delete e-mail messages of selected \"Spam\" "
                         "folder?"),
            std::string::npos)
      << two.err;
  EXPECT_TRUE(Subjects("Spam").empty());
  // An empty folder: nothing to report, restore or check; Empty still offered.
  ASSERT_EQ(Outlook("select Spam").code, 0);
  for (const char* tag : {"Tag for Spam", "Tag for Not Spam", "Tag for Check for popup"}) {
    EXPECT_NE(control(tag).find("\"enabled\":false"), std::string::npos) << tag;
  }
  EXPECT_NE(control("Tag for Empty popup").find("\"enabled\":true"), std::string::npos);

  ASSERT_EQ(Outlook("select Three").code, 0);
  Cli elsewhere = Outlook("empty --yes");
  EXPECT_EQ(elsewhere.code, 1);
  EXPECT_NE(elsewhere.err.find("Please select  \"Spam\" or \"Spam_Posted\" folder to perform "
                               "cleanup operation."),
            std::string::npos);
  // The popup's Help carries the toolbar button's tag: one click, the button's handler once.
  Outlook("click 'Tag for Vexmor Help'");
  EXPECT_EQ(Count(Log(), "Trying to execute Vexmor Help(S)."), 1u);
  Cli about = Outlook("click 'Tag for About Vexmor'");
  EXPECT_EQ(about.code, 0) << about.err;
  EXPECT_NE(about.err.find("          Vexmor - Version 2.2.5\n\n"), std::string::npos) << about.err;

  // Only the user may reach the host: its folder is closed to others, its socket too.
  struct stat folder {
  }, sock{};
  ASSERT_EQ(::stat((runtime_->path() + "/vexmor").c_str(), &folder), 0);
  ASSERT_EQ(::stat((runtime_->path() + "/vexmor/addin-host.sock").c_str(), &sock), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(sock.st_mode & 0777, 0600u);

  // "Check_Stop" written while the first mail waits for the signature server ends the check.
  ASSERT_EQ(Outlook("select Stopped").code, 0);
  std::string before = Log();
  RemoveBlocked("crook@checked.example");  // the first mail now reaches the server
  ::kill(sigd_->pid(), SIGSTOP);
  ASSERT_EQ(Outlook("check").code, 0);
  bool counted = Eventually(
      [&] { return Log().find("3\t::Check For Spam", before.size()) != std::string::npos; });
  ASSERT_TRUE(platform::DefaultProfile()
                  .WriteString(install_ + "Vexmor_Message.ini", "Vexmor", "Check_Stop", "1")
                  .ok());
  ::kill(sigd_->pid(), SIGCONT);
  ASSERT_TRUE(counted) << Log();
  ASSERT_TRUE(
      Eventually([&] { return Log().find("\t1\tmail(S).", before.size()) != std::string::npos; }));
  // The check holds the add-in in memory until its thread ends, and a stopping host unloads
  // the add-in only then: once the host has ended, the check can write nothing more.
  StopHost();
  EXPECT_EQ(ReadFileOrEmpty(install_ + "host-stderr-" + user_ + ".txt").find("still busy"),
            std::string::npos);
  EXPECT_EQ(Log().find("\t2\tmail(S).", before.size()), std::string::npos) << Log();
}

// A person's moves in any mail client teach the same things as the commands.
TEST_F(AddinCommandsE2E, MovesOfAPersonReportAndRestore) {
  AddToList("buddy@moved-back.example", 2, 1);
  TeachLink("buddy-links.example");
  StartHost();
  const char* body = "Lose weight fast with our tea.";
  server_->Deliver(user_, "INBOX", Mail("m1@d", "seller@tea-shop.example", "Slim tea", body));
  server_->Deliver(
      user_, "INBOX",
      Mail("m2@d", "buddy@moved-back.example", "Buddy",
           "<html><a href=\"http://buddy-links.example/x\">x</a></html>", "text/html"));
  ASSERT_TRUE(Eventually([&] {
    return Subjects("Spam").count("Buddy") == 1 && Subjects("Inbox").count("Slim tea") == 1;
  })) << Log();

  PersonMoves("Inbox", "Slim tea", "Spam_Posted");
  EXPECT_TRUE(Eventually(
      [&] {
        return Log().find("Selected mail added to SPAM_POSTED list by Final Vexmor filter(S).") !=
               std::string::npos;
      },
      15000))
      << Log();
  EXPECT_TRUE(InList("seller@tea-shop.example", 3));
  EXPECT_TRUE(InList("tea-shop.example", 11));
  EXPECT_TRUE(ServerKnowsContent("Slim tea", body));
  EXPECT_EQ(Subjects("Spam_Posted"), std::multiset<std::string>{"Slim tea"});

  PersonMoves("Spam", "Buddy", "Inbox");
  EXPECT_TRUE(Eventually(
      [&] {
        return Log().find("Selected Mail added to INBOX list by NS-Third filter(S).") !=
               std::string::npos;
      },
      15000))
      << Log();
  EXPECT_TRUE(InList("buddy@moved-back.example", 7));
  EXPECT_FALSE(InList("buddy@moved-back.example", 3));
  EXPECT_FALSE(ServerKnowsLink("buddy-links.example"));

  // A move made while the host is stopped is seen when it starts again.
  AddToList("mate@while-down.example", 2, 1);
  server_->Deliver(user_, "INBOX", Mail("m3@d", "mate@while-down.example", "Mate", "hi"));
  ASSERT_TRUE(Eventually([&] { return Subjects("Spam").count("Mate") == 1; })) << Log();
  // Judging that later delivery shows the host has looked at the Inbox since the move back:
  // three deliveries were judged, the move back was not taken for new mail.
  EXPECT_EQ(Subjects("Inbox"), std::multiset<std::string>{"Buddy"});
  EXPECT_EQ(Count(Log(), "Trying to apply Vexmor filters on Incoming mail(S)."), 3u);
  // The host notes what lies in Spam once its pass has filed it there; stopped before that
  // note, it could not know the message at its next start.
  ASSERT_TRUE(Eventually([&] {
    const std::string kept = ReadFileOrEmpty(install_ + "Vexmor_AddinHost_Spam.txt");
    return static_cast<size_t>(std::count(kept.begin(), kept.end(), '\n')) ==
           Subjects("Spam").size();
  })) << ReadFileOrEmpty(install_ + "Vexmor_AddinHost_Spam.txt");
  StopHost();
  PersonMoves("Spam", "Mate", "Inbox");
  StartHost();
  EXPECT_TRUE(Eventually([&] { return InList("mate@while-down.example", 7); })) << Log();
  EXPECT_EQ(Subjects("Inbox"), (std::multiset<std::string>{"Buddy", "Mate"}));
  EXPECT_EQ(Log().find("Trying to apply Vexmor filters on Incoming mail(S)."), std::string::npos);
}

// Help opens a help file that is there and says it failed when there is none: never a success
// line for a file that was not shipped.
TEST_F(AddinCommandsE2E, HelpFailsVisiblyWithoutAHelpFileAndOpensTheOneThatIsThere) {
  const std::string opened = install_ + "opened-" + user_;
  const std::string opener = install_ + "opener-" + user_ + ".sh";
  WriteFileOrDie(opener, "#!/bin/sh\necho \"$1\" >> '" + opened + "'\n");
  ::chmod(opener.c_str(), 0700);
  vexmor::testing::ScopedEnv open_with("VEXMOR_OPEN_COMMAND", opener);
  vexmor::testing::ScopedEnv no_help("VEXMOR_HELP_FILE", std::nullopt);
  const std::string help = install_ + "Vexmor.chm";
  std::remove(help.c_str());

  StartHost();
  size_t before = Log().size();
  EXPECT_EQ(Outlook("click 'Tag for Vexmor Help'").code, 0);
  std::string log = Log().substr(before);
  EXPECT_NE(log.find("Failed to execute Vexmor Help(B)"), std::string::npos) << log;
  EXPECT_EQ(log.find("Vexmor Help executed successfully(S)."), std::string::npos) << log;
  EXPECT_EQ(ReadFileOrEmpty(opened), "");

  // A help file in the install directory is opened, and only then is success logged.
  WriteFileOrDie(help, "help\n");
  before = Log().size();
  EXPECT_EQ(Outlook("click 'Tag for Vexmor Help'").code, 0);
  EXPECT_TRUE(Eventually([&] { return ReadFileOrEmpty(opened) == help + "\n"; }))
      << ReadFileOrEmpty(opened);
  log = Log().substr(before);
  EXPECT_NE(log.find("Vexmor Help executed successfully(S).\n"), std::string::npos) << log;

  // An opener that cannot be started is a failure too.
  vexmor::testing::ScopedEnv broken("VEXMOR_OPEN_COMMAND", install_ + "no-such-opener");
  StopHost();
  StartHost();
  before = Log().size();
  EXPECT_EQ(Outlook("click 'Tag for Vexmor Help'").code, 0);
  log = Log().substr(before);
  EXPECT_NE(log.find("Failed to execute Vexmor Help(B)"), std::string::npos) << log;
  std::remove(help.c_str());
}

TEST_F(AddinCommandsE2E, NoHostMeansExitStatusThree) {
  Cli none = Outlook("bar");
  EXPECT_EQ(none.code, 3);
  EXPECT_NE(none.err.find("no Vexmor_AddinHost is running"), std::string::npos);
}

TEST_F(AddinCommandsE2E, TheHostPassesOverARuntimeFolderOthersMayWrite) {
  // Without XDG_RUNTIME_DIR the folder would be TMPDIR/vexmor-UID; one stands there already,
  // open to everyone, as another user could have made it.
  vexmor::testing::TempDir temp;
  const std::string shared = temp.File("shared-tmp");
  const std::string planted = shared + "/vexmor-" + std::to_string(::geteuid());
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(planted.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(planted.c_str(), 0777), 0);
  vexmor::testing::ScopedEnv no_runtime("XDG_RUNTIME_DIR", std::nullopt);
  vexmor::testing::ScopedEnv tmpdir("TMPDIR", shared);
  vexmor::testing::ScopedEnv cache("XDG_CACHE_HOME", temp.File("cache"));

  StartHost();
  struct stat info {};
  const std::string folder = temp.File("cache") + "/vexmor/run";
  ASSERT_EQ(::lstat((folder + "/addin-host.sock").c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  // The command line finds the host the same way.
  Cli bar = Outlook("bar");
  EXPECT_EQ(bar.code, 0) << bar.err;
  ASSERT_EQ(::lstat(planted.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0777u);
  EXPECT_TRUE(std::filesystem::is_empty(planted));
  StopHost();

  // Nor does the command line follow a link planted where its socket would be.
  const std::string runtime = temp.File("run-user");
  ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(planted.c_str(), (runtime + "/vexmor").c_str()), 0);
  vexmor::testing::ScopedEnv linked_runtime("XDG_RUNTIME_DIR", runtime);
  Cli refused = Outlook("bar");
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find(runtime + "/vexmor"), std::string::npos) << refused.err;
}

#endif

}  // namespace
