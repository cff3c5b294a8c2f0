// The real dialogs on an X display (ctest runs this under xvfb-run): opened through the entry
// point, driven with the events their controls send, checked by what they show and by what
// they write to the state files, the list file and the log. Screenshots go to
// $VEXMOR_EVIDENCE_DIR.
#include <gtest/gtest.h>
#include <wx/animate.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/generic/animate.h>
#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
// After msgdlg.h, which declares the base class.
#include <wx/generic/msgdlgg.h>
#include <wx/radiobut.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/platform/dialogs.h"
#include "vexmor/platform/profile.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/userinterface/CUserInterface.h"
#include "vexmor/validate/CXml.h"
// Xlib last: its macros clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include "vexmor/testing/wait.h"
#undef Status

namespace {

using vexmor::platform::DefaultProfile;
using vexmor::platform::RunOnWxThread;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::ScopedSystemDirs;

constexpr HWND_V kMainWindow = 0x10010;
constexpr char kProgressCaption[] = "Vexmor - Check for Spam e-mails";
constexpr char kApprovedCaption[] = "Vexmor - Approved Senders...";
constexpr char kBlockedCaption[] = "Vexmor - Blocked Senders...";

bool Eventually(const std::function<bool()>& condition) {
  return vexmor::testing::WaitUntil(condition, std::chrono::milliseconds(15000),
                                    std::chrono::milliseconds(10));
}

// Runs a question on the wxWidgets thread and returns its answer (T() while the library has
// not started wxWidgets yet).
template <typename T>
T OnUi(const std::function<T()>& task) {
  T result{};
  (void)RunOnWxThread([&] { result = task(); });
  return result;
}

// UI thread only.
wxDialog* Shown(const std::string& title) {
  for (wxWindow* window : wxTopLevelWindows) {
    auto* dialog = dynamic_cast<wxDialog*>(window);
    if (dialog != nullptr && dialog->IsShown() && !dialog->IsBeingDeleted() &&
        dialog->GetTitle().utf8_string() == title) {
      return dialog;
    }
  }
  return nullptr;
}

bool IsShown(const std::string& title) {
  return OnUi<bool>([&] { return Shown(title) != nullptr; });
}

std::string Label(const std::string& title, int id) {
  return OnUi<std::string>([&] {
    wxDialog* dialog = Shown(title);
    wxWindow* control = dialog != nullptr ? dialog->FindWindow(id) : nullptr;
    return control != nullptr ? control->GetLabel().utf8_string() : std::string("<none>");
  });
}

// Queues an event for a control, as a click or key would; returns at once, so a handler that
// opens a modal box does not hold the test.
void Send(const std::string& title, int id, wxEventType type) {
  ASSERT_TRUE(RunOnWxThread([&] {
                wxDialog* dialog = Shown(title);
                ASSERT_NE(dialog, nullptr) << title;
                wxWindow* control = id == 0 || type == wxEVT_MENU ? dialog : dialog->FindWindow(id);
                ASSERT_NE(control, nullptr) << id;
                if (type == wxEVT_CHAR_HOOK) {
                  wxKeyEvent key(wxEVT_CHAR_HOOK);
                  key.m_keyCode = WXK_ESCAPE;
                  key.SetEventObject(dialog);
                  dialog->GetEventHandler()->AddPendingEvent(key);
                  return;
                }
                wxCommandEvent event(type, id);
                event.SetEventObject(control);
                if (type == wxEVT_RADIOBUTTON) {
                  dynamic_cast<wxRadioButton*>(control)->SetValue(true);
                  event.SetInt(1);
                }
                control->GetEventHandler()->AddPendingEvent(event);
              }).ok());
}

void Click(const std::string& title, int id) {
  Send(title, id, wxEVT_BUTTON);
}

// The message box open now: its text, or "" when none is up.
std::string BoxText() {
  return OnUi<std::string>([] {
    for (wxWindow* window : wxTopLevelWindows) {
      if (auto* box = dynamic_cast<wxGenericMessageDialog*>(window); box && box->IsModal()) {
        return box->GetMessage().utf8_string();
      }
    }
    return std::string();
  });
}

void AnswerBox(int button) {
  ASSERT_TRUE(RunOnWxThread([button] {
                for (wxWindow* window : wxTopLevelWindows) {
                  if (auto* box = dynamic_cast<wxGenericMessageDialog*>(window);
                      box && box->IsModal()) {
                    box->EndModal(button);
                    return;
                  }
                }
                ADD_FAILURE() << "no message box to answer";
              }).ok());
}

// The part of the screen a dialog covers, as the X server holds it, saved as a PNG file;
// returns how many colours it holds.
std::size_t Capture(const std::string& title, const std::string& path) {
  const wxRect rect = OnUi<wxRect>([&] {
    if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) wxImage::AddHandler(new wxPNGHandler);
    wxDialog* dialog = Shown(title);
    if (dialog == nullptr) return wxRect();
    dialog->Update();
    const wxRect screen(wxPoint(0, 0), wxGetDisplaySize());
    return dialog->GetScreenRect().Inflate(8).Intersect(screen);
  });
  if (rect.IsEmpty()) return 0;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 0;
  XImage* shot = XGetImage(display, DefaultRootWindow(display), rect.GetLeft(), rect.GetTop(),
                           static_cast<unsigned>(rect.GetWidth()),
                           static_cast<unsigned>(rect.GetHeight()), AllPlanes, ZPixmap);
  std::set<unsigned long> colours;
  if (shot != nullptr) {
    wxImage image(rect.GetWidth(), rect.GetHeight());
    for (int y = 0; y < rect.GetHeight(); ++y) {
      for (int x = 0; x < rect.GetWidth(); ++x) {
        const unsigned long pixel = XGetPixel(shot, x, y);
        image.SetRGB(x, y, (pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
        if (x % 2 == 0 && y % 2 == 0) colours.insert(pixel & 0xffffff);
      }
    }
    XDestroyImage(shot);
    image.SaveFile(path, wxBITMAP_TYPE_PNG);
  }
  XCloseDisplay(display);
  return colours.size();
}

// Saves a screenshot of a dialog under $VEXMOR_EVIDENCE_DIR once it shows at least `enough`
// colours (a window not painted yet is nearly one colour); returns the colours of the last try.
std::size_t Screenshot(const std::string& title, const std::string& name, std::size_t enough) {
  const char* dir = std::getenv("VEXMOR_EVIDENCE_DIR");
  const std::string folder =
      dir != nullptr && *dir != '\0' ? dir : std::filesystem::temp_directory_path().string();
  std::filesystem::create_directories(folder);
  std::size_t colours = 0;
  for (int attempt = 0; attempt < 20 && colours < enough; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(attempt == 0 ? 400 : 250));
    colours = Capture(title, folder + "/" + name);
  }
  return colours;
}

class DialogsOnDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
      GTEST_SKIP() << "no X display; ctest runs this test under xvfb-run";
    }
  }
  std::string MessageFile() const { return dirs_.install_dir() + "Vexmor_Message.ini"; }
  std::string OeLog() const { return ReadFileOrEmpty(dirs_.install_dir() + "Vexmor_OE_Log.txt"); }
  bool OeLogHas(const std::string& text) const {
    return Eventually([&] { return OeLog().find(text) != std::string::npos; });
  }
  int Key(const char* section, const char* key) const {
    return DefaultProfile().GetInt(MessageFile(), section, key, -1);
  }
  void Put(const char* key, const char* value) {
    ASSERT_TRUE(DefaultProfile().WriteString(MessageFile(), "Message", key, value).ok());
  }

  ScopedSystemDirs dirs_;
  CUserInterface ui_;
};

TEST_F(DialogsOnDisplay, ProgressCountsClosesByItselfAndStopsOnCancelAndEscape) {
  ui_.StartProgress_Vexmor(0, kMainWindow, dirs_.install_dir(), "Inbox", true, true);
  ASSERT_TRUE(Eventually([] { return IsShown(kProgressCaption); }));
  // The dialog wraps the text to its width: compare it with line breaks as blanks.
  std::string shown = Label(kProgressCaption, 13004);
  std::replace(shown.begin(), shown.end(), '\n', ' ');
  EXPECT_EQ(shown,
            "Checking for Spam e-mails in 'Inbox' folder. "
            "This operation will take few minutes. Please wait....");
  EXPECT_EQ(Key("Message", "Present_Count"), 1);
  EXPECT_EQ(Key("Message", "Total_Count"), 0);
  EXPECT_EQ(Key("Vexmor", "Check_Stop"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a few polls without a total
  EXPECT_EQ(Label(kProgressCaption, 13001), "");
  EXPECT_TRUE(IsShown(kProgressCaption));

  Put("Total_Count", "7");
  Put("Present_Count", "3");
  ASSERT_TRUE(Eventually([] { return Label(kProgressCaption, 13001) == "Message 3 (of 7)"; }));
  EXPECT_EQ(Label(kProgressCaption, 13002), " 42%");
  const auto bar = OnUi<std::pair<int, int>>([] {
    auto* gauge = dynamic_cast<wxGauge*>(Shown(kProgressCaption)->FindWindow(13015));
    return std::make_pair(gauge->GetRange(), gauge->GetValue());
  });
  EXPECT_EQ(bar, std::make_pair(7, 3));
  EXPECT_TRUE(OnUi<bool>([] {
    auto* clip = dynamic_cast<wxGenericAnimationCtrl*>(Shown(kProgressCaption)->FindWindow(13050));
    return clip != nullptr && clip->IsPlaying() && clip->GetAnimation().GetFrameCount() > 1;
  })) << "the check animation beside the library does not play";
  EXPECT_GE(Screenshot(kProgressCaption, "progress_dialog.png", 12), 12u);

  Put("Present_Count", "7");  // the check is through: the dialog closes by itself
  ASSERT_TRUE(Eventually([] { return !IsShown(kProgressCaption); }));
  EXPECT_TRUE(OeLogHas("[S] Check for Spam e-mails' progress stopped.\n"));
  EXPECT_TRUE(Eventually([&] { return Key("Vexmor", "Operation") == 4; }));
  EXPECT_EQ(Key("Vexmor", "Check_Stop"), 1);

  // Cancel, for the account client: the checker is told to stop, no follow-up command.
  ASSERT_TRUE(DefaultProfile().DeleteKey(MessageFile(), "Vexmor", "Operation").ok());
  ui_.StartProgress_Vexmor(0, kMainWindow, dirs_.install_dir(), "Inbox", false, true);
  ASSERT_TRUE(
      Eventually([&] { return IsShown(kProgressCaption) && Key("Vexmor", "Check_Stop") == 0; }));
  Click(kProgressCaption, 13010);
  ASSERT_TRUE(Eventually([] { return !IsShown(kProgressCaption); }));
  EXPECT_EQ(Key("Vexmor", "Check_Stop"), 1);
  EXPECT_TRUE(Eventually([&] {
    return ReadFileOrEmpty(dirs_.install_dir() + "Vexmor_Outlook_Log.txt")
               .find("progress stopped") != std::string::npos;
  }));
  EXPECT_EQ(Key("Vexmor", "Operation"), -1);

  // Escape does what Cancel does.
  ui_.StartProgress_Vexmor(0, kMainWindow, dirs_.install_dir(), "Sent Items", true, true);
  ASSERT_TRUE(
      Eventually([&] { return IsShown(kProgressCaption) && Key("Vexmor", "Check_Stop") == 0; }));
  Send(kProgressCaption, 0, wxEVT_CHAR_HOOK);
  ASSERT_TRUE(Eventually([] { return !IsShown(kProgressCaption); }));
  EXPECT_EQ(Key("Vexmor", "Check_Stop"), 1);
}

// Rows of the senders list: text and tick, in order.
std::vector<std::pair<std::string, bool>> Rows(const std::string& title) {
  return OnUi<std::vector<std::pair<std::string, bool>>>([&] {
    std::vector<std::pair<std::string, bool>> rows;
    auto* list = dynamic_cast<wxListCtrl*>(Shown(title)->FindWindow(13501));
    for (long i = 0; i < list->GetItemCount(); ++i) {
      rows.emplace_back(list->GetItemText(i).utf8_string(), list->IsItemChecked(i));
    }
    return rows;
  });
}

std::set<long> Keys(const std::string& title) {
  return OnUi<std::set<long>>([&] {
    std::set<long> keys;
    auto* list = dynamic_cast<wxListCtrl*>(Shown(title)->FindWindow(13501));
    for (long i = 0; i < list->GetItemCount(); ++i)
      keys.insert(static_cast<long>(list->GetItemData(i)));
    return keys;
  });
}

// Ticks a row as a click on its box does.
void Tick(const std::string& title, const std::string& text) {
  ASSERT_TRUE(RunOnWxThread([&] {
                auto* list = dynamic_cast<wxListCtrl*>(Shown(title)->FindWindow(13501));
                const long row = list->FindItem(-1, wxString::FromUTF8(text));
                ASSERT_GE(row, 0) << text;
                list->CheckItem(row, true);
              }).ok());
}

bool DeleteEnabled(const std::string& title) {
  return OnUi<bool>([&] { return Shown(title)->FindWindow(13531)->IsEnabled(); });
}

bool Listed(const std::string& dir, const std::string& value, int list) {
  std::string found;
  CXml(dir).ReadFile(value, 4 * list + 3, &found);
  return found == "Found";
}

// Types into the new-address box.
void Type(const std::string& caption, const std::string& text) {
  ASSERT_TRUE(Eventually([&] { return IsShown(caption); }));
  ASSERT_TRUE(RunOnWxThread([&] {
                dynamic_cast<wxTextCtrl*>(Shown(caption)->FindWindow(13570))
                    ->SetValue(wxString::FromUTF8(text));
              }).ok());
}

// Types into the new-address box and presses its "&Add".
void TypeAndAdd(const std::string& caption, const std::string& text) {
  Type(caption, text);
  Click(caption, 13560);
}

TEST_F(DialogsOnDisplay, SendersListsAddRefuseTickSelectAllDeleteAndSwitch) {
  const std::string dir = dirs_.install_dir();
  ASSERT_TRUE(CXml(dir).WriteFile("Alice@Example.com", 2));
  ASSERT_TRUE(CXml(dir).ReadFile("bob@example.org", 6, nullptr));
  ASSERT_TRUE(CXml(dir).ReadFile("example.net", 14, nullptr));

  ui_.StartProgress_Vexmor(2, kMainWindow, dir, "", true, true);
  ASSERT_TRUE(Eventually([] { return IsShown(kApprovedCaption); }));
  // A second dialog while one is open is a window of its own.
  ui_.StartProgress_Vexmor(2, kMainWindow, dir, "", true, false);
  ASSERT_TRUE(Eventually([] { return IsShown(kBlockedCaption); }));
  EXPECT_EQ(Label(kBlockedCaption, 13510),
            "Vexmor will move all messages from blocked e-mail id to the Spam folder.");
  EXPECT_EQ(Label(kBlockedCaption, 13511), "0 blocked e-mail ids.");
  Send(kBlockedCaption, 0, wxEVT_CHAR_HOOK);  // Escape closes it
  ASSERT_TRUE(Eventually([] { return !IsShown(kBlockedCaption); }));
  EXPECT_TRUE(IsShown(kApprovedCaption));

  const std::string title = kApprovedCaption;
  EXPECT_EQ(Label(title, 13510),
            "Vexmor will not consider messages from approved e-mail id as spam e-mails.");
  EXPECT_EQ(Rows(title), (std::vector<std::pair<std::string, bool>>{{"alice@example.com", false},
                                                                    {"bob@example.org", false}}));
  EXPECT_EQ(Label(title, 13511), "2 approved e-mail ids.");
  EXPECT_FALSE(DeleteEnabled(title));
  EXPECT_TRUE(OeLogHas("[S] Senders form Successfully started."));

  // Add: a word without the at sign is refused and the box stays open.
  Click(title, 13530);
  TypeAndAdd("New Address", "nobody");
  ASSERT_TRUE(Eventually([] { return BoxText() == "Please enter valid e-mail address."; }));
  AnswerBox(wxID_OK);
  ASSERT_TRUE(Eventually([] { return BoxText().empty() && IsShown("New Address"); }));
  Type("New Address", "c@example.com");
  EXPECT_GE(Screenshot("New Address", "new_address_dialog.png", 8), 8u);
  Click("New Address", 13560);
  ASSERT_TRUE(Eventually([&] { return Rows(title).size() == 3; }));
  EXPECT_TRUE(Listed(dir, "c@example.com", 1));
  EXPECT_FALSE(Listed(dir, "nobody", 1));
  EXPECT_EQ(Rows(title).back(), std::make_pair(std::string("c@example.com"), false));
  EXPECT_EQ(Label(title, 13511), "3 approved e-mail ids.");
  EXPECT_TRUE(OeLogHas("[S] E-mail id c@example.com added to Approved e-mail id list.\n"));

  // Tick one row: Delete comes on; delete it with the confirmation answered Yes.
  Tick(title, "alice@example.com");
  ASSERT_TRUE(Eventually([&] { return DeleteEnabled(title); }));
  EXPECT_GE(Screenshot(title, "senders_dialog.png", 12), 12u);
  Click(title, 13531);
  ASSERT_TRUE(Eventually([] {
    return BoxText() ==
           "Are you sure, you want to remove 'alice@example.com' from your approved e-mail id "
           "list?";
  }));
  AnswerBox(wxID_YES);
  ASSERT_TRUE(Eventually([&] { return Rows(title).size() == 2; }));
  EXPECT_FALSE(Listed(dir, "alice@example.com", 1));
  EXPECT_TRUE(OeLogHas("[S] alice@example.com deleted from e-mail id list."));
  EXPECT_TRUE(OeLogHas("[S] 1 e-mail id removed from Approved e-mail id list.\n"));
  EXPECT_EQ(Label(title, 13511), "2 approved e-mail ids.");

  // Select All ticks every row; chosen again it unticks them.
  Send(title, 14710, wxEVT_MENU);
  ASSERT_TRUE(Eventually([&] {
    for (const auto& row : Rows(title))
      if (!row.second) return false;
    return DeleteEnabled(title);
  }));
  Send(title, 14710, wxEVT_MENU);
  ASSERT_TRUE(Eventually([&] {
    for (const auto& row : Rows(title))
      if (row.second) return false;
    return !DeleteEnabled(title);
  }));
  // Two ticked rows and the answer No: nothing is removed.
  Send(title, 14710, wxEVT_MENU);
  ASSERT_TRUE(Eventually([&] { return DeleteEnabled(title); }));
  Click(title, 13531);
  ASSERT_TRUE(Eventually([] {
    return BoxText() ==
           "Are you sure, you want to remove 2 addresses from your approved e-mail id list?";
  }));
  AnswerBox(wxID_NO);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Rows(title).size(), 2u);
  EXPECT_TRUE(Listed(dir, "bob@example.org", 1));

  // The radio re-reads the file (changed meanwhile by another program) and clears the ticks.
  ASSERT_TRUE(CXml(dir).ReadFile("Fresh.Example", 14, nullptr));
  Send(title, 13541, wxEVT_RADIOBUTTON);
  ASSERT_TRUE(Eventually([&] { return Label(title, 13511) == "2 approved domain names."; }));
  EXPECT_EQ(Rows(title), (std::vector<std::pair<std::string, bool>>{{"example.net", false},
                                                                    {"fresh.example", false}}));
  EXPECT_EQ(Label(title, 13510),
            "Vexmor will not consider messages from approved domain name as spam e-mails.");
  EXPECT_FALSE(DeleteEnabled(title));
  // Delete from the keyboard with nothing ticked asks for a choice first.
  Click(title, 13531);
  ASSERT_TRUE(Eventually([] { return BoxText() == "Please select domain name to delete."; }));
  AnswerBox(wxID_OK);

  // Deletions then additions: every row keeps a key of its own, so deleting the newest row
  // removes that row and that value, not an older one that once had the same number.
  for (const char* domain : {"one.example", "two.example"}) {
    Click(title, 13530);
    const std::size_t before = Rows(title).size();
    TypeAndAdd("New Domain Name", domain);
    ASSERT_TRUE(Eventually([&] { return Rows(title).size() == before + 1; }));
  }
  Tick(title, "example.net");
  Click(title, 13531);
  ASSERT_TRUE(Eventually([] { return !BoxText().empty(); }));
  AnswerBox(wxID_YES);
  ASSERT_TRUE(Eventually([&] { return Rows(title).size() == 3; }));
  Click(title, 13530);
  TypeAndAdd("New Domain Name", "three.example");
  ASSERT_TRUE(Eventually([&] { return Rows(title).size() == 4; }));
  EXPECT_EQ(Keys(title).size(), 4u) << "two rows share a key";
  Tick(title, "three.example");
  Click(title, 13531);
  ASSERT_TRUE(Eventually([] {
    return BoxText() ==
           "Are you sure, you want to remove 'three.example' from your approved domain name "
           "list?";
  }));
  AnswerBox(wxID_YES);
  ASSERT_TRUE(Eventually([&] { return Rows(title).size() == 3; }));
  EXPECT_EQ(Rows(title),
            (std::vector<std::pair<std::string, bool>>{
                {"fresh.example", false}, {"one.example", false}, {"two.example", false}}));
  EXPECT_FALSE(Listed(dir, "three.example", 3));
  EXPECT_TRUE(Listed(dir, "two.example", 3));

  Click(title, 13532);  // C&lose
  ASSERT_TRUE(Eventually([&] { return !IsShown(title); }));
  EXPECT_TRUE(OeLogHas("[S] Senders form Successfully stopped.\n"));
}

}  // namespace
