#include "plugin_host.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "recording_hook.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::plugin {
namespace {

using platform::kDeletedItemsFolderId;
using platform::kInboxFolderId;
using platform::kOutboxFolderId;
using platform::kRootFolderId;
using platform::kSentItemsFolderId;
using testing::HookCall;
using testing::RecordingHook;
namespace sf = vexmor::state;

std::string PlainMessage(const std::string& subject, const std::string& body = "hello\n",
                         const std::string& from = "Ann <ann@example.com>") {
  return "From: " + from +
         "\r\nTo: Bob <bob@example.org>, carol@example.net\r\nSubject: " + subject +
         "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + body;
}

std::string HtmlMessage(const std::string& subject) {
  return "From: shop@deals.example\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=b\r\n\r\n"
         "--b\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
         "--b\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n<p>offer</p>\r\n--b--\r\n";
}

std::string ImageOnlyMessage() {
  return "From: pic@example.com\r\nSubject: picture\r\nMIME-Version: 1.0\r\n"
         "Content-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\niVBORw0KGgo=\r\n";
}

// A plain message of exactly "size" bytes.
std::string MessageOfSize(size_t size) {
  std::string message = PlainMessage("big one", "");
  std::string body;
  while (message.size() + body.size() < size) {
    size_t left = size - message.size() - body.size();
    body += left >= 80 ? std::string(79, 'x') + "\n" : std::string(left, 'y');
  }
  return message + body;
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { Make(30102); }

  void Make(int32_t first_toolbar_id) {
    chrome_ = std::make_unique<MemoryClientChrome>(first_toolbar_id);
    host_ = std::make_unique<PlugInHost>(
        HostEnvironment{install_, profile_.get(), store_.get(), &hook_, chrome_.get()});
    host_->SetLog([this](std::string_view line) { log_.emplace_back(line); });
  }

  std::string Get(std::string_view section, std::string_view key,
                  const std::string& file = "Vexmor_Message.ini") {
    return profile_->GetString(install_ + file, section, key, "<none>");
  }
  void Set(std::string_view section, std::string_view key, const std::string& value,
           const std::string& file = "Vexmor_Message.ini") {
    ASSERT_TRUE(profile_->WriteString(install_ + file, section, key, value).ok());
  }

  // Delivers into a folder and raises the new-message event as the watch would.
  platform::MessageId Arrive(platform::FolderId folder, const std::string& source) {
    auto id = store_->Deliver(folder, source);
    EXPECT_TRUE(id.ok());
    host_->OnNewMessages(folder, {*id});
    return *id;
  }

  platform::FolderId FolderNamed(const std::string& name) {
    NewMailScanner walker(*store_);
    auto folders = walker.AllFolders();
    for (const auto& f : *folders) {
      if (f.name == name) return f.id;
    }
    return 0;
  }

  vexmor::testing::ScopedSystemDirs dirs_;
  const std::string install_ = "/vexmor-host-test/";
  std::vector<std::string> log_;
  std::unique_ptr<platform::Profile> profile_ = platform::MakeMemoryProfile();
  std::unique_ptr<platform::MemoryMailStore> store_ = platform::MakeMemoryMailStore();
  RecordingHook hook_;
  std::unique_ptr<MemoryClientChrome> chrome_;
  std::unique_ptr<PlugInHost> host_;
};

// --------------------------------------------------------------------------------------------
// Start-up, toolbar, menu, shut-down

TEST_F(HostTest, StartUpBuildsTheToolbarAndMenuItemAndCreatesBothSpamFolders) {
  host_->Start();
  auto toolbars = chrome_->Toolbars();
  ASSERT_EQ(toolbars.size(), 1u);
  const auto& bar = toolbars[0];
  EXPECT_EQ(bar.settings, std::vector<int32_t>{0});
  ASSERT_EQ(bar.entries.size(), 7u);
  using Kind = MemoryClientChrome::ToolbarEntry::Kind;
  const std::vector<std::string> captions = {
      "Report SPAM", "Not SPAM", "", "Vexmor         ", "", "Vexmor Help", "Feedback Form"};
  for (size_t i = 0; i < captions.size(); ++i) {
    EXPECT_EQ(bar.entries[i].kind, captions[i].empty() ? Kind::kSeparator : Kind::kButton) << i;
    EXPECT_EQ(bar.entries[i].button.caption, captions[i]) << i;
  }
  EXPECT_EQ(bar.entries[0].button.normal_bitmap, install_ + "Images/ReportSpam_normal.bmp");
  EXPECT_EQ(bar.entries[3].button.mouseover_bitmap, install_ + "Images/vexmor_mouseover.bmp");
  ASSERT_EQ(bar.entries[3].sub_buttons.size(), 1u);
  EXPECT_EQ(bar.entries[3].sub_buttons[0],
            (ButtonSpec{"About Vexmor", install_ + "Images/About_normal.bmp",
                        install_ + "Images/About_mouseover.bmp"}));

  auto items = chrome_->MenuItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].menu, 2);
  EXPECT_EQ(items[0].caption, "Vexmor");
  EXPECT_EQ(items[0].neighbour, "&Layout...");
  EXPECT_EQ(items[0].option, 10);

  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyToolbar), "30102");
  EXPECT_EQ(Get(sf::kSectionVexmor, sf::kKeyMenuChecked), "1");
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "2");
  EXPECT_NE(host_->spam_folder(), 0u);
  EXPECT_NE(host_->spam_posted_folder(), 0u);
  EXPECT_EQ(FolderNamed("Spam"), host_->spam_folder());
  EXPECT_EQ(FolderNamed("Spam_Posted"), host_->spam_posted_folder());
  EXPECT_TRUE(host_->ready());
  EXPECT_EQ(Get(sf::kSectionError, sf::kKeyErrorGuiFunctions), "<none>");

  host_->Shutdown();
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "0");
}

TEST_F(HostTest, ToolbarIdOfAtMost30100IsNotWritten) {
  Make(30100);
  host_->Start();
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyToolbar), "<none>");
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "2");
}

TEST_F(HostTest, ClosedOneBuildsNoToolbarButMailIsStillFiltered) {
  Set(sf::kSectionPlugIn, sf::kKeyClosed, "1");
  host_->Start();
  EXPECT_TRUE(chrome_->Toolbars().empty());
  EXPECT_TRUE(chrome_->MenuItems().empty());
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "1");
  Arrive(kInboxFolderId, PlainMessage("hi"));
  host_->OnCheckTick();
  EXPECT_EQ(hook_.Named("MoveMessage_Inbox").size(), 1u);
}

TEST_F(HostTest, ExistingSpamFolderKeepsItsIdAndOtherCaseDoesNotCount) {
  auto spam = store_->CreateFolder(platform::kLocalFoldersId, "Spam");
  auto lower = store_->CreateFolder(platform::kLocalFoldersId, "spam_posted");
  ASSERT_TRUE(spam.ok() && lower.ok());
  host_->Start();
  EXPECT_EQ(host_->spam_folder(), *spam);
  EXPECT_NE(host_->spam_posted_folder(), *lower);
  EXPECT_NE(host_->spam_posted_folder(), 0u);
}

TEST_F(HostTest, FailedToolbarCallMarksStartUpAndRecordsProcedureSix) {
  chrome_->FailCall(4);  // menu item, toolbar, setting, then the first id read fails
  host_->Start();
  EXPECT_EQ(Get(sf::kSectionPlugIn, sf::kKeyClosed), "3");
  EXPECT_EQ(Get(sf::kSectionError, sf::kKeyErrorGuiFunctions),
            "6," + std::to_string(static_cast<int>(StatusCode::kUnavailable)));
  // The rest of start-up still ran.
  EXPECT_TRUE(host_->ready());
  EXPECT_NE(host_->spam_folder(), 0u);
}

TEST_F(HostTest, TwoMenuClicksHideAndShowTheToolbar) {
  host_->Start();
  ASSERT_TRUE(chrome_->ClickMenuItem("Vexmor").ok());
  EXPECT_FALSE(chrome_->Toolbars()[0].shown);
  EXPECT_EQ(Get(sf::kSectionVexmor, sf::kKeyMenuChecked), "0");
  ASSERT_TRUE(chrome_->ClickMenuItem("Vexmor").ok());
  EXPECT_TRUE(chrome_->Toolbars()[0].shown);
  EXPECT_EQ(Get(sf::kSectionVexmor, sf::kKeyMenuChecked), "1");
}

TEST_F(HostTest, FailedMenuClickLeavesTheCheckMarkOnAndRecordsProcedureSeven) {
  host_->Start();
  chrome_->FailCall(1);
  ASSERT_TRUE(chrome_->ClickMenuItem("Vexmor").ok());
  EXPECT_TRUE(host_->toolbar_shown());
  EXPECT_EQ(Get(sf::kSectionVexmor, sf::kKeyMenuChecked), "1");
  EXPECT_EQ(Get(sf::kSectionError, sf::kKeyErrorGuiFunctions).substr(0, 2), "7,");
}

// --------------------------------------------------------------------------------------------
// New messages and the queue

TEST_F(HostTest, InboxMessageIsHandedOnWithItsTextsAtTheNextQueueTick) {
  host_->Start();
  auto id = Arrive(kInboxFolderId, PlainMessage("Lunch"));
  EXPECT_TRUE(hook_.calls.empty());  // events only queue
  std::string during;
  hook_.on_call = [&](const HookCall&) { during = Get(sf::kSectionMessage, sf::kKeyNewIncoming); };
  host_->OnCheckTick();
  ASSERT_EQ(hook_.calls.size(), 1u);
  const auto& call = hook_.calls[0];
  EXPECT_EQ(call.name, "MoveMessage_Inbox");
  ASSERT_EQ(call.args.size(), 9u);
  EXPECT_EQ(call.args[0], std::to_string(id));
  EXPECT_EQ(call.args[1], "4");
  EXPECT_EQ(call.args[2], std::to_string(host_->spam_folder()));
  EXPECT_EQ(call.args[3], "0");
  EXPECT_EQ(call.args[4], "Lunch");
  EXPECT_EQ(call.args[5], "ann@example.com");
  EXPECT_NE(call.args[6].find("Subject: Lunch"), std::string::npos);
  EXPECT_EQ(call.args[7], "hello\n");
  EXPECT_NE(call.args[8].find("text/plain"), std::string::npos);
  EXPECT_EQ(during, "1");
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyNewIncoming), "0");
  EXPECT_TRUE(host_->queue().Empty());
}

TEST_F(HostTest, HtmlPartWinsOverThePlainPart) {
  host_->Start();
  Arrive(kInboxFolderId, HtmlMessage("Deal"));
  host_->OnCheckTick();
  ASSERT_EQ(hook_.calls.size(), 1u);
  EXPECT_EQ(hook_.calls[0].args[3], "1");
  EXPECT_EQ(hook_.calls[0].args[7], "<p>offer</p>");
}

TEST_F(HostTest, LargeMessageRuleStartsAt500000Bytes) {
  host_->Start();
  auto small = Arrive(kInboxFolderId, MessageOfSize(499999));
  auto large = Arrive(kInboxFolderId, MessageOfSize(500000));
  std::vector<std::string> during;
  hook_.on_call = [&](const HookCall&) {
    during.push_back(Get(sf::kSectionMessage, sf::kKeyNewIncoming));
  };
  host_->OnCheckTick();
  // The flag reads 1 during each call of the batch and 0 once it is done.
  EXPECT_EQ(during, (std::vector<std::string>{"1", "1"}));
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyNewIncoming), "0");
  ASSERT_EQ(hook_.calls.size(), 2u);
  EXPECT_EQ(hook_.calls[0].name, "MoveMessage_Inbox");
  EXPECT_EQ(hook_.calls[0].args[0], std::to_string(small));
  EXPECT_EQ(hook_.calls[1].name, "MoveMailMessage_Inbox");
  EXPECT_EQ(hook_.calls[1].args[0], std::to_string(large));
  EXPECT_NE(hook_.calls[1].args[3].find("Subject: big one"), std::string::npos);
  EXPECT_EQ(hook_.calls[1].args[4], "ann@example.com");
}

// The sender rules apply to every message: one without a text part goes to the chain with
// its sender and header, and an empty text.
TEST_F(HostTest, MessageWithoutTextPartIsHandedOnWithItsSenderAndAnEmptyText) {
  host_->Start();
  const std::vector<std::string> shapes = {
      ImageOnlyMessage(),
      "From: cal@example.com\r\nSubject: invite\r\nMIME-Version: 1.0\r\n"
      "Content-Type: text/calendar; method=REQUEST\r\n\r\nBEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n",
      "From: fwd@example.com\r\nSubject: forwarded\r\nMIME-Version: 1.0\r\n"
      "Content-Type: message/rfc822\r\n\r\nFrom: inner@example.org\r\nSubject: inner\r\n\r\n"
      "inner text\r\n",
      "From: empty@example.com\r\nSubject: nothing\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b--\r\n"};
  for (const auto& shape : shapes) Arrive(kInboxFolderId, shape);
  host_->OnCheckTick();
  ASSERT_EQ(hook_.calls.size(), shapes.size());
  const std::vector<std::string> senders = {"pic@example.com", "cal@example.com", "fwd@example.com",
                                            "empty@example.com"};
  for (size_t i = 0; i < shapes.size(); ++i) {
    EXPECT_EQ(hook_.calls[i].name, "MoveMessage_Inbox");
    EXPECT_EQ(hook_.calls[i].args[3], "0") << i;  // a plain text, empty
    EXPECT_EQ(hook_.calls[i].args[5], senders[i]);
    EXPECT_EQ(hook_.calls[i].args[7], "") << i;
  }
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyNewIncoming), "0");
  EXPECT_TRUE(log_.empty());
}

TEST_F(HostTest, FolderManagerQueuesUserFoldersButNotSpamDeletedOrOutgoingFolders) {
  host_->Start();
  auto work = store_->CreateFolder(platform::kLocalFoldersId, "Work");
  ASSERT_TRUE(work.ok());
  Arrive(host_->spam_folder(), PlainMessage("a"));
  Arrive(kDeletedItemsFolderId, PlainMessage("b"));
  Arrive(kSentItemsFolderId, PlainMessage("c"));
  Arrive(platform::kDraftsFolderId, PlainMessage("d"));
  auto in_work = Arrive(*work, PlainMessage("e"));
  EXPECT_EQ(host_->queue().Size(), 1u);
  host_->OnCheckTick();
  ASSERT_EQ(hook_.calls.size(), 1u);
  EXPECT_EQ(hook_.calls[0].args[0], std::to_string(in_work));
  EXPECT_EQ(hook_.calls[0].args[1], std::to_string(*work));
}

TEST_F(HostTest, OutboxMessageApprovesItsRecipientsAndIsNotFiltered) {
  host_->Start();
  Arrive(kOutboxFolderId, PlainMessage("to friends"));
  EXPECT_TRUE(host_->queue().Empty());
  ASSERT_EQ(hook_.calls.size(), 1u);
  EXPECT_EQ(hook_.calls[0].name, "RemoveMsg_SentItems");
  EXPECT_NE(hook_.calls[0].args[0].find("bob@example.org"), std::string::npos);
  EXPECT_NE(hook_.calls[0].args[0].find("carol@example.net"), std::string::npos);
  EXPECT_NE(hook_.calls[0].args[1].find("To: Bob"), std::string::npos);
}

TEST_F(HostTest, MessageArrivingInSpamPostedIsReported) {
  host_->Start();
  Arrive(host_->spam_posted_folder(), PlainMessage("buy now"));
  Arrive(host_->spam_posted_folder(), MessageOfSize(600000));
  EXPECT_TRUE(host_->queue().Empty());
  ASSERT_EQ(hook_.calls.size(), 2u);
  EXPECT_EQ(hook_.calls[0].name, "MoveMessage_DeletedItems");
  EXPECT_EQ(hook_.calls[0].args[0], "0");
  EXPECT_EQ(hook_.calls[0].args[1], "1");
  EXPECT_EQ(hook_.calls[0].args[2], "buy now");
  EXPECT_EQ(hook_.calls[1].name, "MoveMailMessage_DeletedItems");
  EXPECT_EQ(hook_.calls[1].args[0], "1");
}

TEST_F(HostTest, BurstOf150ArrivalsIsFilteredOnceEachInOrder) {
  host_->Start();
  std::vector<std::string> ids;
  for (int i = 0; i < 150; ++i) {
    ids.push_back(std::to_string(Arrive(kInboxFolderId, PlainMessage("m" + std::to_string(i)))));
  }
  EXPECT_EQ(host_->queue().Size(), 150u);
  host_->OnCheckTick();
  ASSERT_EQ(hook_.calls.size(), 150u);
  for (size_t i = 0; i < 150; ++i) {
    EXPECT_EQ(hook_.calls[i].args[0], ids[i]);
    EXPECT_EQ(hook_.calls[i].args[4], "m" + std::to_string(i));
  }
}

TEST_F(HostTest, QueueWaitsWhileNotReadyAndMessagesGoneMeanwhileAreSkipped) {
  Arrive(kInboxFolderId, PlainMessage("early"));  // before start-up: not ready
  host_->OnCheckTick();
  EXPECT_TRUE(hook_.calls.empty());
  host_->Start();  // start-up empties the queue
  EXPECT_TRUE(host_->queue().Empty());
  auto gone = Arrive(kInboxFolderId, PlainMessage("gone"));
  Arrive(kInboxFolderId, PlainMessage("kept"));
  ASSERT_TRUE(store_->MoveMessage(kInboxFolderId, gone, kDeletedItemsFolderId).ok());
  host_->OnCheckTick();
  ASSERT_EQ(hook_.calls.size(), 1u);
  EXPECT_EQ(hook_.calls[0].args[4], "kept");
  EXPECT_EQ(Get(sf::kSectionError, sf::kKeyErrorGuiFunctions), "<none>");
}

// --------------------------------------------------------------------------------------------
// The command board

TEST_F(HostTest, UnknownCommandIsClearedAndDoesNothing) {
  host_->Start();
  Set(sf::kSectionVexmor, sf::kKeyOperation, "7");
  host_->OnGuiTick();
  EXPECT_EQ(Get(sf::kSectionVexmor, sf::kKeyOperation), "0");
  EXPECT_TRUE(hook_.calls.empty());
}

TEST_F(HostTest, CommandThreeRemovesTheTrayIcon) {
  host_->Start();
  Set(sf::kSectionVexmor, sf::kKeyOperation, "3");
  host_->OnGuiTick();
  ASSERT_EQ(hook_.calls.size(), 1u);
  EXPECT_EQ(hook_.calls[0].name, "RemoveTrayIcon_Taskbar");
  host_->OnGuiTick();  // one-shot
  EXPECT_EQ(hook_.calls.size(), 1u);
}

TEST_F(HostTest, FolderCheckCountsAndChecksEveryMessageWithNewMailWaiting) {
  host_->Start();
  auto work = store_->CreateFolder(platform::kLocalFoldersId, "Work");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(store_->Deliver(*work, PlainMessage("w")).ok());
  ASSERT_TRUE(store_->Deliver(*work, MessageOfSize(500000)).ok());
  ASSERT_TRUE(store_->Deliver(*work, ImageOnlyMessage()).ok());
  Set(sf::kSectionMessage, sf::kKeyPresentCount, "1");  // as the progress dialog opens
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(*work));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "1");
  std::vector<bool> ready_during;
  hook_.on_call = [&](const HookCall&) { ready_during.push_back(host_->ready()); };
  host_->OnGuiTick();
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyTotalCount), "5");
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyPresentCount), "5");  // 1 + one per further message
  ASSERT_EQ(hook_.calls.size(), 5u);
  EXPECT_EQ(hook_.Named("CheckMessage_Folder").size(), 4u);  // the image one with an empty text
  EXPECT_EQ(hook_.Named("CheckMailMessage_Folder").size(), 1u);
  EXPECT_EQ(hook_.calls[0].args[1], std::to_string(*work));
  EXPECT_EQ(ready_during, std::vector<bool>(5, false));
  EXPECT_TRUE(host_->ready());
}

TEST_F(HostTest, CheckStopEndsTheCheckAfterTheCurrentMessage) {
  host_->Start();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(store_->Deliver(kInboxFolderId, PlainMessage("i")).ok());
  Set(sf::kSectionMessage, sf::kKeyPresentCount, "1");
  Set(sf::kSectionVexmor, sf::kKeyCheckStop, "0");
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, "4");
  Set(sf::kSectionVexmor, sf::kKeyOperation, "1");
  hook_.on_call = [&](const HookCall&) { Set(sf::kSectionVexmor, sf::kKeyCheckStop, "1"); };
  host_->OnGuiTick();
  EXPECT_EQ(hook_.calls.size(), 1u);
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyPresentCount), "1");
  EXPECT_TRUE(host_->ready());
}

TEST_F(HostTest, CheckOfAnEmptyFolderAdvancesPresentCountOnly) {
  host_->Start();
  Set(sf::kSectionMessage, sf::kKeyPresentCount, "1");
  Set(sf::kSectionMessage, sf::kKeyTotalCount, "0");
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(host_->spam_folder()));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "1");
  host_->OnGuiTick();
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyTotalCount), "0");
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyPresentCount), "2");
}

TEST_F(HostTest, CheckOfAMissingFolderRecordsProcedureElevenAndStaysReady) {
  host_->Start();
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, "999");
  Set(sf::kSectionVexmor, sf::kKeyOperation, "1");
  host_->OnGuiTick();
  EXPECT_EQ(Get(sf::kSectionError, sf::kKeyErrorGuiFunctions),
            "11," + std::to_string(static_cast<int>(StatusCode::kNotFound)));
  EXPECT_TRUE(host_->ready());
}

TEST_F(HostTest, ProcessListIsTakenOffTheBoardAndChecked) {
  host_->Start();
  auto a = store_->Deliver(kInboxFolderId, PlainMessage("a"));
  auto b = store_->Deliver(kInboxFolderId, PlainMessage("b"));
  const std::string file = "Vexmor_ProcessMsg.ini";
  Set(sf::kSectionProcess, sf::kKeyCount, "3", file);
  Set(sf::kSectionProcess, sf::FolderIndexKey(1), "4", file);
  Set(sf::kSectionProcess, sf::MessageIndexKey(1), std::to_string(*a), file);
  Set(sf::kSectionProcess, sf::FolderIndexKey(2), "4", file);
  Set(sf::kSectionProcess, sf::MessageIndexKey(2), "777", file);  // gone
  Set(sf::kSectionProcess, sf::FolderIndexKey(3), "4", file);
  Set(sf::kSectionProcess, sf::MessageIndexKey(3), std::to_string(*b), file);
  Set(sf::kSectionVexmor, sf::kKeyOperation, "4");
  host_->OnGuiTick();
  EXPECT_EQ(Get(sf::kSectionProcess, sf::kKeyCount, file), "0");
  auto checks = hook_.Named("CheckMessage_Folder");
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(checks[0].args[4], "a");
  EXPECT_EQ(checks[1].args[4], "b");
}

TEST_F(HostTest, NotSpamReportsOperationTwoAndMovesTheMessageBackWithoutRefiltering) {
  host_->Start();
  auto id = store_->Deliver(host_->spam_folder(), PlainMessage("not junk"));
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(host_->spam_folder()));
  Set(sf::kSectionVexmor, sf::kKeySelectedMsgId, std::to_string(*id));
  Set(sf::kSectionVexmor, sf::kKeyOperation, "5");
  host_->OnGuiTick();
  ASSERT_EQ(hook_.calls.size(), 1u);
  EXPECT_EQ(hook_.calls[0].name, "MoveMessage_DeletedItems");
  EXPECT_EQ(hook_.calls[0].args[1], "2");
  auto inbox = store_->ListMessages(kInboxFolderId);
  ASSERT_EQ(inbox->size(), 1u);
  EXPECT_TRUE(store_->ListMessages(host_->spam_folder())->empty());
  // The watch then sees the message arrive in the Inbox: it is the host's own move.
  host_->OnNewMessages(kInboxFolderId, {inbox->front().id});
  host_->OnCheckTick();
  EXPECT_EQ(hook_.calls.size(), 1u);
}

TEST_F(HostTest, NotSpamOnAMissingMessageDoesNothing) {
  host_->Start();
  Set(sf::kSectionVexmor, sf::kKeySelectedFolderId, std::to_string(host_->spam_folder()));
  Set(sf::kSectionVexmor, sf::kKeySelectedMsgId, "55");
  Set(sf::kSectionVexmor, sf::kKeyOperation, "5");
  host_->OnGuiTick();
  EXPECT_TRUE(hook_.calls.empty());
  EXPECT_EQ(Get(sf::kSectionError, sf::kKeyErrorGuiFunctions), "<none>");
}

TEST_F(HostTest, ReportListRunsOnlyWhenNotAllowedAndReportsEachMessageOnce) {
  host_->Start();
  auto a = store_->Deliver(kInboxFolderId, PlainMessage("spam a"));
  auto b = store_->Deliver(kInboxFolderId, PlainMessage("spam b"));
  const std::string file = "Vexmor_ProcessMsg.ini";
  Set(sf::kSectionReport, sf::kKeyCount, "3", file);
  Set(sf::kSectionReport, sf::FolderIndexKey(1), "4", file);
  Set(sf::kSectionReport, sf::MessageIndexKey(1), std::to_string(*a), file);
  Set(sf::kSectionReport, sf::FolderIndexKey(2), "4", file);
  Set(sf::kSectionReport, sf::MessageIndexKey(2), std::to_string(*b), file);

  Set(sf::kSectionVexmor, sf::kKeyOperation, "6");  // "Allowed" missing reads 1
  host_->OnGuiTick();
  EXPECT_TRUE(hook_.calls.empty());
  EXPECT_EQ(Get(sf::kSectionReport, sf::kKeyCount, file), "3");

  Set(sf::kSectionMessage, sf::kKeyAllowed, "0");
  Set(sf::kSectionVexmor, sf::kKeyOperation, "6");
  host_->OnGuiTick();
  auto reports = hook_.Named("MoveMessage_DeletedItems");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].args[1], "1");
  EXPECT_EQ(reports[0].args[2], "spam a");
  EXPECT_EQ(reports[1].args[2], "spam b");
  EXPECT_EQ(Get(sf::kSectionReport, sf::kKeyCount, file), "1");
  EXPECT_TRUE(store_->ListMessages(kInboxFolderId)->empty());
  auto posted = store_->ListMessages(host_->spam_posted_folder());
  ASSERT_EQ(posted->size(), 2u);
  // Their arrival in "Spam_Posted" is the host's own move: no second report.
  host_->OnNewMessages(host_->spam_posted_folder(), {(*posted)[0].id, (*posted)[1].id});
  EXPECT_EQ(hook_.Named("MoveMessage_DeletedItems").size(), 2u);
}

TEST_F(HostTest, ReportListRecreatesAMissingSpamPostedFolder) {
  host_->Start();
  ASSERT_TRUE(store_->DeleteFolder(host_->spam_posted_folder()).ok());
  auto a = store_->Deliver(kInboxFolderId, PlainMessage("spam a"));
  const std::string file = "Vexmor_ProcessMsg.ini";
  Set(sf::kSectionReport, sf::kKeyCount, "1", file);
  Set(sf::kSectionReport, sf::FolderIndexKey(1), "4", file);
  Set(sf::kSectionReport, sf::MessageIndexKey(1), std::to_string(*a), file);
  Set(sf::kSectionMessage, sf::kKeyAllowed, "0");
  Set(sf::kSectionVexmor, sf::kKeyOperation, "6");
  host_->OnGuiTick();
  platform::FolderId posted = host_->spam_posted_folder();
  ASSERT_NE(posted, 0u);
  auto info = store_->GetFolder(posted);
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->name, "Spam_Posted");
  EXPECT_EQ(store_->ListMessages(posted)->size(), 1u);
}

TEST_F(HostTest, CommandTwoFindsTheSpamFoldersAgainWithoutCreatingThem) {
  host_->Start();
  ASSERT_TRUE(store_->DeleteFolder(host_->spam_folder()).ok());
  auto again = store_->CreateFolder(platform::kLocalFoldersId, "Spam_Posted2");
  ASSERT_TRUE(again.ok());
  Set(sf::kSectionVexmor, sf::kKeyOperation, "2");
  host_->OnGuiTick();
  // "Spam" went into "Deleted Items" and is found there: folders are found at any depth.
  EXPECT_EQ(FolderNamed("Spam"), host_->spam_folder());
  EXPECT_EQ(FolderNamed("Spam_Posted"), host_->spam_posted_folder());
}

TEST_F(HostTest, SelectionWatchdogGivesUpAStalledSelectionAfterThirtyTicks) {
  host_->Start();
  Set(sf::kSectionMessage, sf::kKeyAllowed, "0");
  Set(sf::kSectionMessage, sf::kKeySelectedCount, "3");
  host_->OnGuiTick();  // remembers 3
  for (int i = 0; i < 30; ++i) {
    host_->OnGuiTick();
    ASSERT_EQ(Get(sf::kSectionMessage, sf::kKeyAllowed), "0") << i;
  }
  EXPECT_EQ(host_->unchanged_ticks(), 30);
  host_->OnGuiTick();
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyAllowed), "1");
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeySelectedCount), "0");
}

TEST_F(HostTest, SelectionWatchdogWaitsAgainAfterProgress) {
  host_->Start();
  Set(sf::kSectionMessage, sf::kKeyAllowed, "0");
  Set(sf::kSectionMessage, sf::kKeySelectedCount, "3");
  for (int i = 0; i < 20; ++i) host_->OnGuiTick();
  Set(sf::kSectionMessage, sf::kKeySelectedCount, "2");  // one report went through
  for (int i = 0; i < 31; ++i) host_->OnGuiTick();       // remembers 2, then 30 unchanged ticks
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyAllowed), "0");
  host_->OnGuiTick();
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyAllowed), "1");
}

TEST_F(HostTest, SelectionWatchdogReleasesAtOnceWhenNothingIsSelected) {
  host_->Start();
  Set(sf::kSectionMessage, sf::kKeyAllowed, "0");
  host_->OnGuiTick();
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeyAllowed), "1");
  EXPECT_EQ(Get(sf::kSectionMessage, sf::kKeySelectedCount), "0");
}

}  // namespace
}  // namespace vexmor::plugin
