// The dialogs of Vexmor_UserInterface.dll on a real Windows desktop (Wine under Xvfb), opened
// through CUserInterface::StartProgress_Vexmor and driven the way a person would, by messages
// to their controls: the counters written, the lists written, the log lines, and screenshots.
#include <windows.h>

#include <commctrl.h>

#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexmor/platform/win32_adapters.h"
#include "vexmor/userinterface/CUserInterface.h"
#if VEXMOR_UI_SENDER_LISTS
#include "vexmor/validate/CXml.h"
#endif
#include "wine_ui_support.h"

namespace {

using vexmor::wine_test::ClientWindow;
using vexmor::wine_test::DistinctColours;
using vexmor::wine_test::FindDialog;
using vexmor::wine_test::ItemText;
using vexmor::wine_test::ReadWholeFile;
using vexmor::wine_test::SaveScreenshot;
using vexmor::wine_test::TempFolder;
using vexmor::wine_test::Text;
using vexmor::wine_test::WaitForDialog;
using vexmor::wine_test::WaitUntil;

constexpr char kProgressCaption[] = "Vexmor - Check for Spam e-mails";
constexpr int kCount = 13001;
constexpr int kPercent = 13002;
constexpr int kMessage = 13004;
constexpr int kCancel = 13010;
constexpr int kBar = 13015;
constexpr int kAnimation = 13050;
constexpr int kList = 13501;
constexpr int kDescription = 13510;
constexpr int kSendersCount = 13511;
constexpr int kAdd = 13530;
constexpr int kDelete = 13531;
constexpr int kClose = 13532;
constexpr int kDomainRadio = 13541;
constexpr int kNewEdit = 13570;
constexpr int kNewAdd = 13560;
constexpr int kBoxText = 0xFFFF;  // the text of a message box

class UiDialogsWineTest : public ::testing::Test {
 protected:
  HWND_V Owner() const {
    return static_cast<HWND_V>(reinterpret_cast<std::uintptr_t>(client_.hwnd()));
  }
  std::string MessageIni() const { return app_.File("Vexmor_Message.ini"); }
  int Counter(const char* section, const char* key) const {
    return profile_->GetInt(MessageIni(), section, key, -1);
  }
  void WriteCounts(int present, int total) {
    // The checker reports its total first, then each message.
    ASSERT_TRUE(profile_->WriteInt(MessageIni(), "Message", "Total_Count", total).ok());
    ASSERT_TRUE(profile_->WriteInt(MessageIni(), "Message", "Present_Count", present).ok());
  }
  bool LogHas(const std::string& log, const std::string& message) const {
    return ReadWholeFile(app_.File(log)).find(": \t" + message + "\n") != std::string::npos;
  }
  void Click(HWND dialog, int id) {
    // Posted: a click that opens a modal box must not hold the test until the box closes.
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
  }

  TempFolder app_;
  ClientWindow client_;
  std::unique_ptr<vexmor::platform::Profile> profile_ = vexmor::platform::MakeWin32Profile();
};

TEST_F(UiDialogsWineTest, ProgressFollowsTheCountsAndClosesWhenTheCheckEnds) {
  CUserInterface().StartProgress_Vexmor(0, Owner(), app_.path(), "Inbox", true, true);
  EXPECT_EQ(CUserInterface::s_strFdrName, "Inbox");
  HWND dialog = WaitForDialog(kProgressCaption);
  ASSERT_NE(dialog, nullptr);
  // The counters were reset before the dialog showed.
  EXPECT_EQ(Counter("Message", "Present_Count"), 1);
  EXPECT_EQ(Counter("Message", "Total_Count"), 0);
  EXPECT_EQ(Counter("Vexmor", "Check_Stop"), 0);
  EXPECT_EQ(ItemText(dialog, kMessage),
            "Checking for Spam e-mails in 'Inbox' folder.\n"
            "This operation will take few minutes. Please wait....");
  EXPECT_EQ(::GetWindow(dialog, GW_OWNER), client_.hwnd());

  WriteCounts(3, 7);
  ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, kCount) == "Message 3 (of 7)"; }))
      << ItemText(dialog, kCount);
  EXPECT_EQ(ItemText(dialog, kPercent), " 42%");
  HWND bar = ::GetDlgItem(dialog, kBar);
  EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 3);
  EXPECT_EQ(::SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 1);
  EXPECT_EQ(::SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 7);
  // The clip plays: the animation shows a drawing, not an empty face.
  EXPECT_TRUE(WaitUntil([&] { return DistinctColours(::GetDlgItem(dialog, kAnimation)) >= 5; }))
      << DistinctColours(::GetDlgItem(dialog, kAnimation));
  EXPECT_NE(SaveScreenshot(dialog, "progress_dialog"), "");

  // A count past 65535 still shows its place on the bar.
  WriteCounts(70000, 140000);
  ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, kCount) == "Message 70000 (of 140000)"; }));
  EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 70000);
  EXPECT_EQ(ItemText(dialog, kPercent), " 50%");

  WriteCounts(140000, 140000);
  ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(dialog); }));
  EXPECT_EQ(Counter("Vexmor", "Check_Stop"), 1);
  // Then the host is asked to work the mail that arrived meanwhile, after the log line.
  ASSERT_TRUE(WaitUntil([&] { return Counter("Vexmor", "Operation") == 4; }));
  EXPECT_TRUE(LogHas("Vexmor_OE_Log.txt", "[S] Check for Spam e-mails' progress stopped.\n"));
  EXPECT_EQ(Counter("Error", "Progress"), -1);
}

TEST_F(UiDialogsWineTest, CancelAndEscapeStopTheCheck) {
  for (const bool escape : {false, true}) {
    SCOPED_TRACE(escape ? "Escape" : "Cancel");
    TempFolder app;
    const std::string ini = app.File("Vexmor_Message.ini");
    CUserInterface().StartProgress_Vexmor(0, Owner(), app.path(), "Deleted Items", false, true);
    HWND dialog = WaitForDialog(kProgressCaption);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(profile_->WriteInt(ini, "Message", "Total_Count", 9).ok());
    ASSERT_TRUE(profile_->WriteInt(ini, "Message", "Present_Count", 2).ok());
    ASSERT_TRUE(WaitUntil([&] { return ItemText(dialog, kCount) == "Message 2 (of 9)"; }));
    if (escape) {
      // The key as the dialog's message loop gets it, on the focused control.
      HWND focus = ::GetDlgItem(dialog, kCancel);
      ::PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
      ::PostMessageW(focus, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001));
    } else {
      ::SendMessageW(::GetDlgItem(dialog, kCancel), BM_CLICK, 0, 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(dialog); }));
    EXPECT_EQ(profile_->GetInt(ini, "Vexmor", "Check_Stop", -1), 1);
    ASSERT_TRUE(WaitUntil([&] {
      return ReadWholeFile(app.File("Vexmor_Outlook_Log.txt"))
                 .find("[S] Check for Spam e-mails' progress stopped.\n") != std::string::npos;
    }));
    // The account client gets no follow-up command, and the local client's log stays empty.
    EXPECT_EQ(profile_->GetInt(ini, "Vexmor", "Operation", -1), -1);
    EXPECT_EQ(ReadWholeFile(app.File("Vexmor_OE_Log.txt")), "");
  }
}

TEST_F(UiDialogsWineTest, NoMainWindowShowsAndWritesNothing) {
  CUserInterface().StartProgress_Vexmor(0, 0, app_.path(), "Inbox", true, true);
  CUserInterface().StartProgress_Vexmor(2, 0, app_.path(), "", true, true);
  // Both calls return before any thread starts: nothing can appear later.
  EXPECT_EQ(::GetFileAttributesA(MessageIni().c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(::GetFileAttributesA(app_.File("Vexmor_OE_Log.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(FindDialog(kProgressCaption), nullptr);
}

#if VEXMOR_UI_SENDER_LISTS

// A message box of the product (caption "Vexmor") with this text, answered with the button.
bool AnswerBox(const std::string& text, int button) {
  HWND box = nullptr;
  if (!WaitUntil([&] {
        box = FindDialog("Vexmor");
        return box != nullptr && ::IsWindowVisible(box) && ItemText(box, kBoxText) == text;
      })) {
    ADD_FAILURE() << "no box saying: " << text
                  << (box != nullptr ? " (one says: " + ItemText(box, kBoxText) + ")" : "");
    return false;
  }
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  return WaitUntil([&] { return !::IsWindow(box); });
}

std::vector<std::string> Rows(HWND dialog) {
  HWND list = ::GetDlgItem(dialog, kList);
  std::vector<std::string> rows;
  const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    char text[256] = {};
    LVITEMA item{};
    item.iSubItem = 0;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    ::SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    rows.emplace_back(text);
  }
  return rows;
}

int TickedRows(HWND dialog) {
  HWND list = ::GetDlgItem(dialog, kList);
  int ticked = 0;
  const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    const auto state =
        ::SendMessageW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(i), LVIS_STATEIMAGEMASK);
    ticked += ((state & LVIS_STATEIMAGEMASK) >> 12) == 2 ? 1 : 0;
  }
  return ticked;
}

// A right click on the list, then "Select All" from its menu, by the keys a person would press.
bool ChooseSelectAll(HWND dialog) {
  static NMHDR click{};  // what the list tells its dialog on a right click
  click.hwndFrom = ::GetDlgItem(dialog, kList);
  click.idFrom = kList;
  click.code = NM_RCLICK;
  ::PostMessageW(dialog, WM_NOTIFY, kList, reinterpret_cast<LPARAM>(&click));
  HWND menu = nullptr;
  if (!WaitUntil([&] {
        menu = ::FindWindowW(L"#32768", nullptr);
        return menu != nullptr && ::IsWindowVisible(menu);
      })) {
    return false;
  }
  ::PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
  ::PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
  return WaitUntil([&] { return !::IsWindow(menu) || !::IsWindowVisible(menu); });
}

void Tick(HWND dialog, int row) {
  LVITEMW item{};
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = INDEXTOSTATEIMAGEMASK(2);
  ::SendMessageW(::GetDlgItem(dialog, kList), LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&item));
}

// The list as the store keeps it, lower-cased (the store keeps values in capitals).
std::string List(const std::string& app, const char* name) {
  std::string text;
  CXml(app).GetAddress_File(name, &text);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST_F(UiDialogsWineTest, ApprovedSendersAreListedAddedAndDeleted) {
  const int add = CXml::ListCode(CXml::kList_ApprovedIds, CXml::kListOperation_Add);
  // The store as the set-up makes it: an add to a missing store fails, by design.
  ASSERT_TRUE(CXml(app_.path()).WriteFile("", 0));
  ASSERT_TRUE(CXml(app_.path()).ReadFile("Friend@Example.COM", add, nullptr));
  ASSERT_TRUE(CXml(app_.path()).ReadFile("pal@example.org", add, nullptr));

  CUserInterface().StartProgress_Vexmor(2, Owner(), app_.path(), "", true, true);
  HWND dialog = WaitForDialog("Vexmor - Approved Senders...");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(Rows(dialog), (std::vector<std::string>{"friend@example.com", "pal@example.org"}));
  EXPECT_EQ(ItemText(dialog, kSendersCount), "2 approved e-mail ids.");
  EXPECT_EQ(ItemText(dialog, kDescription),
            "Vexmor will not consider messages from approved e-mail id as spam e-mails.");
  EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, kDelete)));
  EXPECT_TRUE(LogHas("Vexmor_OE_Log.txt", "[S] Senders form Successfully started."));

  // A word without the at sign is refused and the box stays open for another try.
  Click(dialog, kAdd);
  HWND ask = WaitForDialog("New Address");
  ASSERT_NE(ask, nullptr);
  ::SetDlgItemTextW(ask, kNewEdit, L"nobody");
  Click(ask, kNewAdd);
  ASSERT_TRUE(AnswerBox("Please enter valid e-mail address.", IDOK));
  EXPECT_TRUE(::IsWindow(ask));
  ::SetDlgItemTextW(ask, kNewEdit, L"new@example.net");
  EXPECT_NE(SaveScreenshot(ask, "senders_new_address"), "");
  Click(ask, kNewAdd);
  ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(ask); }));
  ASSERT_TRUE(WaitUntil([&] { return Rows(dialog).size() == 3; }));
  EXPECT_EQ(Rows(dialog).back(), "new@example.net");
  EXPECT_EQ(ItemText(dialog, kSendersCount), "3 approved e-mail ids.");
  EXPECT_NE(List(app_.path(), "WId").find("new@example.net[//]"), std::string::npos);
  EXPECT_TRUE(LogHas("Vexmor_OE_Log.txt",
                     "[S] E-mail id new@example.net added to Approved e-mail id list.\n"));

  // "Select All" ticks every row and enables Delete; chosen again it unticks them all.
  ASSERT_TRUE(ChooseSelectAll(dialog));
  ASSERT_TRUE(WaitUntil([&] { return TickedRows(dialog) == 3; })) << TickedRows(dialog);
  EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog, kDelete)));
  ASSERT_TRUE(ChooseSelectAll(dialog));
  ASSERT_TRUE(WaitUntil([&] { return TickedRows(dialog) == 0; })) << TickedRows(dialog);
  EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, kDelete)));

  // Ticking a row is what enables Delete; the removal asks first.
  Tick(dialog, 0);
  ASSERT_TRUE(WaitUntil([&] { return ::IsWindowEnabled(::GetDlgItem(dialog, kDelete)); }));
  EXPECT_NE(SaveScreenshot(dialog, "senders_approved"), "");
  Click(dialog, kDelete);
  ASSERT_TRUE(AnswerBox(
      "Are you sure, you want to remove 'friend@example.com' from your approved e-mail id list?",
      IDYES));
  ASSERT_TRUE(WaitUntil([&] { return Rows(dialog).size() == 2; }));
  EXPECT_EQ(Rows(dialog), (std::vector<std::string>{"pal@example.org", "new@example.net"}));
  EXPECT_EQ(ItemText(dialog, kSendersCount), "2 approved e-mail ids.");
  const std::string left = List(app_.path(), "WId");
  EXPECT_EQ(left.find("friend@example.com"), std::string::npos) << left;
  EXPECT_NE(left.find("pal@example.org[//]"), std::string::npos) << left;
  EXPECT_TRUE(LogHas("Vexmor_OE_Log.txt", "[S] friend@example.com deleted from e-mail id list."));
  EXPECT_TRUE(
      LogHas("Vexmor_OE_Log.txt", "[S] 1 e-mail id removed from Approved e-mail id list.\n"));

  ::SendMessageW(::GetDlgItem(dialog, kClose), BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(dialog); }));
  ASSERT_TRUE(WaitUntil(
      [&] { return LogHas("Vexmor_OE_Log.txt", "[S] Senders form Successfully stopped.\n"); }));
}

TEST_F(UiDialogsWineTest, BlockedDomainsAreTheOtherRadioOfTheBlockedFamily) {
  const int add = CXml::ListCode(CXml::kList_BlockedIds, CXml::kListOperation_Add);
  // The store as the set-up makes it: an add to a missing store fails, by design.
  ASSERT_TRUE(CXml(app_.path()).WriteFile("", 0));
  ASSERT_TRUE(CXml(app_.path()).ReadFile("bulk@offers.example", add, nullptr));

  CUserInterface().StartProgress_Vexmor(2, Owner(), app_.path(), "", false, false);
  HWND dialog = WaitForDialog("Vexmor - Blocked Senders...");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(Rows(dialog), std::vector<std::string>{"bulk@offers.example"});
  EXPECT_EQ(ItemText(dialog, kSendersCount), "1 blocked e-mail ids.");

  ::SendMessageW(::GetDlgItem(dialog, kDomainRadio), BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitUntil([&] {
    return ItemText(dialog, kSendersCount) == "0 blocked domain names.";
  })) << ItemText(dialog, kSendersCount);
  EXPECT_TRUE(Rows(dialog).empty());
  EXPECT_EQ(ItemText(dialog, kDescription),
            "Vexmor will move all messages from blocked domain name to the Spam folder.");

  Click(dialog, kAdd);
  HWND ask = WaitForDialog("New Domain Name");
  ASSERT_NE(ask, nullptr);
  ::SetDlgItemTextW(ask, kNewEdit, L"spam.example");
  Click(ask, kNewAdd);
  ASSERT_TRUE(WaitUntil([&] { return Rows(dialog).size() == 1; }));
  EXPECT_EQ(Rows(dialog).front(), "spam.example");
  EXPECT_NE(List(app_.path(), "BD_Id").find("spam.example[//]"), std::string::npos);
  EXPECT_TRUE(LogHas("Vexmor_Outlook_Log.txt",
                     "[S] Domain name spam.example added to Blocked domain name list.\n"));
  EXPECT_NE(SaveScreenshot(dialog, "senders_blocked_domains"), "");

  // Escape closes it like "C&lose".
  ::PostMessageW(::GetDlgItem(dialog, kList), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(dialog); }));
  ASSERT_TRUE(WaitUntil([&] {
    return LogHas("Vexmor_Outlook_Log.txt", "[S] Senders form Successfully stopped.\n");
  }));
}

#else

// A build whose validation library has no sender lists says so instead of opening the dialog.
TEST_F(UiDialogsWineTest, SendersWithoutListsAreRefusedWithALogLine) {
  CUserInterface().StartProgress_Vexmor(2, Owner(), app_.path(), "", true, true);
  ASSERT_TRUE(WaitUntil([&] {
    return LogHas("Vexmor_OE_Log.txt",
                  "[F] Senders form not shown: this build has no sender lists.\n");
  }));
  EXPECT_EQ(FindDialog("Vexmor - Approved Senders..."), nullptr);
}

#endif  // VEXMOR_UI_SENDER_LISTS

}  // namespace

int main(int argc, char** argv) {
  return vexmor::wine_test::RunWithOwnFrames(argc, argv, [](int count, char** args) {
    ::testing::InitGoogleTest(&count, args);
    return RUN_ALL_TESTS();
  });
}
