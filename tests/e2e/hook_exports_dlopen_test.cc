// The host program's road into the library: load it by name, resolve the eight exports by name
// and call each one, with good and with hostile arguments.
#include <gtest/gtest.h>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/hook/oe_integration.h"
#include "vexmor/platform/desktop.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/testing/test_support.h"

extern "C" int VexmorCallExportsFromC(void* library);

namespace vexmor::e2e {
namespace {

class HookDlopenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.loaded()) << library_.error();
    // No server here: the local rules decide, and a signature request must not wait long.
    installation_.UseServer("127.0.0.1:" + std::to_string(vexmor::testing::UnusedLoopbackPort()));
  }
  Installation installation_;
  HookLibrary library_{VEXMOR_HOOK_LIBRARY};
};

TEST_F(HookDlopenTest, EveryExportResolvesByName) {
  for (const char* name :
       {"MoveMessage_Inbox", "MoveMailMessage_Inbox", "CheckMessage_Folder",
        "CheckMailMessage_Folder", "MoveMessage_DeletedItems", "MoveMailMessage_DeletedItems",
        "RemoveMsg_SentItems", "RemoveTrayIcon_Taskbar"}) {
    EXPECT_NE(library_.Resolve(name), nullptr) << name;
  }
  // The engine's own C++ names stay inside.
  EXPECT_EQ(library_.Resolve("_ZN6vexmor4hook17LibraryOperationsEv"), nullptr);
}

TEST_F(HookDlopenTest, LoadsWithoutTheWindowingToolkitUntilADialogIsWanted) {
  // Judging mail shows no window: the toolkit's module is loaded by the first dialog only.
  int32_t id = installation_.Deliver(4, "From: <a@b.example>\r\nSubject: x\r\n\r\nhi\r\n");
  library_.MoveMessage_Inbox(id, 4, 0, 0, "x", "a@b.example", "From: <a@b.example>\r\n", "hi", "");
  ASSERT_NE(installation_.Log().find("[S] Completed applying Vexmor filters on Incoming mail."),
            std::string::npos);
  const std::string maps = vexmor::testing::ReadFileOrEmpty("/proc/self/maps");
  ASSERT_NE(maps.find("libVexmor_UserInterface.so"), std::string::npos) << maps;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  for (const char* absent : {"libwx_", "libgtk", "libgdk", "libVexmor_UserInterfaceDisplay"}) {
    EXPECT_EQ(maps.find(absent), std::string::npos) << absent;
  }
#endif
}

TEST_F(HookDlopenTest, CHostCallsThroughTheDeclaredTypes) {
  ASSERT_EQ(VexmorCallExportsFromC(library_.handle()), 1);
  std::string log = installation_.Log();
  EXPECT_NE(log.find("[S] Trying to apply Vexmor filters on Incoming mail (4-101)."),
            std::string::npos);
  EXPECT_NE(log.find("[S] Trying to apply Vexmor filters on a mail (9-103)."), std::string::npos);
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Operation"), "4");
  EXPECT_TRUE(hook::SenderLists(installation_.install_dir())
                  .Contains(hook::SenderList::kApprovedIds, "to@caller.example"));
}

TEST_F(HookDlopenTest, EachExportDoesItsWork) {
  int32_t id = installation_.Deliver(4, "From: <a@b.example>\r\nSubject: x\r\n\r\nhi\r\n");
  library_.MoveMessage_Inbox(id, 4, 0, 0, "caf\xE9", "a@b.example", "From: <a@b.example>\r\n", "hi",
                             "");
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon"), "1");
  EXPECT_TRUE(installation_.MessagesIn(4).empty());
  uint32_t spam = installation_.FolderByName("Spam");
  ASSERT_NE(spam, 0u);
  EXPECT_EQ(installation_.MessagesIn(spam).size(), 1u);

  library_.MoveMailMessage_Inbox(77, 4, static_cast<int32_t>(spam), "From: <c@d.example>\r\n",
                                 "c@d.example");
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon"), "0");
  EXPECT_EQ(installation_.Key("Vexmor_ProcessMsg.ini", "Vexmor_Checked", "Count"), "2");
  EXPECT_EQ(installation_.Key("Vexmor_ProcessMsg.ini", "Vexmor_Checked", "MessageIndex_2"), "77");

  library_.CheckMailMessage_Folder(5, 9, 0, "From: <e@f.example>\r\n", "");
  library_.CheckMessage_Folder(6, 9, 0, 1, "s", "e@f.example", "", "<p>x</p>", "");
  EXPECT_EQ(installation_.Key("Vexmor_ProcessMsg.ini", "Vexmor_Checked", "Count"), "2");

  library_.MoveMailMessage_DeletedItems(2, "From: <friend@pal.example>\r\n", "");
  library_.MoveMessage_DeletedItems(0, 1, "Deal", "promo@shop.example", "", "buy", "");
  hook::SenderLists lists(installation_.install_dir());
  EXPECT_TRUE(lists.Contains(hook::SenderList::kApprovedDomains, "pal.example"));
  EXPECT_TRUE(lists.Contains(hook::SenderList::kBlockedIds, "promo@shop.example"));
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Message", "Allowed"), "1");

  library_.RemoveMsg_SentItems("bare@sent.example", "To: bare@sent.example\r\n");
  EXPECT_TRUE(lists.Contains(hook::SenderList::kApprovedIds, "bare@sent.example"));

  library_.RemoveTrayIcon_Taskbar();
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Operation"), "4");

  std::string log = installation_.Log();
  for (const char* line : {"[S] Trying to apply Vexmor filters on Incoming mail (4-",
                           "[S] Incoming mail moved to SPAM folder.",
                           "[S] Completed applying Vexmor filters on Incoming mail.\n",
                           "[S] Applied Vexmor filters on Incoming mail.\n",
                           "[S] Trying to apply Vexmor filters on Mail.",
                           "[S] Trying to apply Vexmor filters on a mail (9-6).",
                           "[S] Completed applying Vexmor filters on a mail.\n",
                           "[S] Not SPAM operation for an e-mail is completed.\n",
                           "[S] Reporting of an e-mail is completed."}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(log.find("[F] "), std::string::npos) << log;
}

TEST_F(HookDlopenTest, NullAndEmptyArgumentsAreEmptyTexts) {
  library_.MoveMessage_Inbox(0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
  library_.MoveMailMessage_Inbox(0, 0, 0, nullptr, nullptr);
  library_.CheckMessage_Folder(0, 0, 0, 1, "", "", "", "", "");
  library_.CheckMailMessage_Folder(0, 0, 0, "", "");
  library_.MoveMessage_DeletedItems(1, 1, nullptr, nullptr, nullptr, nullptr, nullptr);
  library_.MoveMessage_DeletedItems(0, 2, "", "", "", "", "");
  library_.MoveMailMessage_DeletedItems(7, nullptr, nullptr);
  library_.RemoveMsg_SentItems(nullptr, nullptr);
  library_.RemoveTrayIcon_Taskbar();
  std::string log = installation_.Log();
  EXPECT_NE(log.find("[S] Trying to apply Vexmor filters on Incoming mail (0-0)."),
            std::string::npos);
  EXPECT_EQ(log.find("[F] "), std::string::npos) << log;
  // Nothing was listed for the empty senders.
  EXPECT_EQ(hook::SenderLists(installation_.install_dir()).Joined(hook::SenderList::kApprovedIds),
            "");
}

// The loader's desktop reaches the tray icon's removal (command 3) through the library's
// wiring, and goes again with the loader's detach.
TEST_F(HookDlopenTest, TrayIconIsRemovedOnTheLoadersDesktopUntilDetach) {
  using MainFn = int32_t (*)(int32_t, const void*);
  auto library_main = reinterpret_cast<MainFn>(library_.Resolve("HookLibraryMain"));
  ASSERT_NE(library_main, nullptr);
  platform::WindowModel model;
  platform::WindowModel::WindowSpec hidden_window;
  hidden_window.class_name = "Outlook Express Hidden Window";
  StatusOr<platform::WindowHandle> owner = model.Create(hidden_window);
  ASSERT_TRUE(owner.ok());
  ASSERT_TRUE(model.AddIcon({*owner, 1, 0x8001, false, "You have new e-mail"}).ok());
  auto icons = [&model] {
    auto listed = model.Icons();
    return listed.ok() ? listed->size() : size_t{99};
  };
  auto spam_arrives = [this] {
    int32_t id = installation_.Deliver(4, "From: <a@b.example>\r\nSubject: x\r\n\r\nhi\r\n");
    library_.MoveMessage_Inbox(id, 4, 0, 0, "caf\xE9", "a@b.example", "From: <a@b.example>\r\n",
                               "hi", "");
    return installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon");
  };

  hook::LoaderContext context;
  context.executable = hook::kHostExe;
  context.desktop.windows = &model;
  context.desktop.notification_area = &model;
  library_main(static_cast<int32_t>(hook::LoaderEvent::kProcessAttach), &context);
  ASSERT_EQ(spam_arrives(), "1");
  library_.RemoveTrayIcon_Taskbar();
  EXPECT_EQ(icons(), 0u);
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon"), "0");
  EXPECT_NE(installation_.Log().find("[S] Tray icon removed for Incoming spam e-mail.\n"),
            std::string::npos);

  library_main(static_cast<int32_t>(hook::LoaderEvent::kProcessDetach), nullptr);
  ASSERT_TRUE(model.AddIcon({*owner, 2, 0x8002, false, "You have new e-mail"}).ok());
  ASSERT_EQ(spam_arrives(), "1");
  library_.RemoveTrayIcon_Taskbar();
  EXPECT_EQ(icons(), 1u);  // the detached loader's model is no longer reached
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon"), "1");
}

}  // namespace
}  // namespace vexmor::e2e
