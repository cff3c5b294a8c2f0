// New mail in the folders readers and delivery agents fill besides the Inbox: which exports the
// host calls for it, in and outside a receive cycle.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "plugin_host.h"
#include "recording_hook.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::plugin {
namespace {

using platform::FolderId;
using platform::kLocalFoldersId;
using testing::RecordingHook;
namespace sf = vexmor::state;

std::string Mail(const std::string& subject) {
  return "From: Ann <ann@example.com>\r\nTo: Bob <bob@pals.example>\r\nSubject: " + subject +
         "\r\nContent-Type: text/plain\r\n\r\nhello\r\n";
}

class ReaderFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<PlugInHost>(
        HostEnvironment{"/vexmor-reader-folders/", profile_.get(), store_.get(), &hook_, nullptr});
    host_->SetLog([](std::string_view) {});
    host_->Start();
  }

  FolderId Folder(FolderId parent, const std::string& name) {
    auto id = store_->CreateFolder(parent, name);
    EXPECT_TRUE(id.ok()) << name;
    return id.ok() ? *id : 0;
  }
  void Arrive(FolderId folder, const std::string& subject, bool read = false) {
    auto id = store_->Deliver(folder, Mail(subject), read);
    ASSERT_TRUE(id.ok());
    host_->OnNewMessages(folder, {*id});
  }
  void Cycle(bool receiving) {
    ASSERT_TRUE(profile_
                    ->WriteString(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart,
                                  receiving ? "1" : "0")
                    .ok());
  }
  // The folder ids the named export was called with.
  std::vector<std::string> FoldersOf(const std::string& name) {
    std::vector<std::string> folders;
    for (const auto& call : hook_.Named(name)) folders.push_back(call.args.at(1));
    return folders;
  }

  vexmor::testing::ScopedSystemDirs dirs_;
  std::unique_ptr<platform::Profile> profile_ = platform::MakeMemoryProfile();
  std::unique_ptr<platform::MemoryMailStore> store_ = platform::MakeMemoryMailStore();
  RecordingHook hook_;
  std::unique_ptr<PlugInHost> host_;
};

TEST_F(ReaderFoldersTest, EverySentFolderNameTeachesOnlyTheReadersOwnCopies) {
  // "Sent Items" is the fixed folder; a reader's "Sent" and "Sent Messages" beside it are sent
  // folders all the same, and never judged.
  const FolderId sent = Folder(kLocalFoldersId, "Sent");
  const FolderId sent_messages = Folder(kLocalFoldersId, "Sent Messages");
  Arrive(platform::kSentItemsFolderId, "fixed", /*read=*/true);
  Arrive(sent, "neomutt", /*read=*/true);
  Arrive(sent_messages, "other reader", /*read=*/true);
  Arrive(sent, "filed by a rule", /*read=*/false);  // written by someone else
  host_->OnCheckTick();
  const auto approvals = hook_.Named("RemoveMsg_SentItems");
  ASSERT_EQ(approvals.size(), 3u);
  for (const auto& call : approvals) {
    EXPECT_NE(call.args.at(1).find("To: Bob <bob@pals.example>"), std::string::npos);
  }
  EXPECT_EQ(hook_.calls.size(), 3u);  // nothing judged
}

TEST_F(ReaderFoldersTest, DeliveriesIntoUserFoldersAreJudgedInAndOutsideACycle) {
  const FolderId lists = Folder(kLocalFoldersId, "Lists");
  const FolderId nested_sent = Folder(lists, "Sent");  // only the top-level names are special
  const FolderId trash = Folder(kLocalFoldersId, "Trash");

  Cycle(false);
  Arrive(lists, "outside");
  Arrive(nested_sent, "nested");
  Arrive(trash, "thrown away");
  Arrive(platform::kInboxFolderId, "inbox outside");
  host_->OnCheckTick();
  // Outside a cycle the incoming export would let them pass: the folder check judges them.
  EXPECT_EQ(FoldersOf("CheckMessage_Folder"),
            (std::vector<std::string>{std::to_string(lists), std::to_string(nested_sent)}));
  // The Inbox keeps its road: it waits for the end of the next cycle.
  EXPECT_EQ(FoldersOf("MoveMessage_Inbox"),
            std::vector<std::string>{std::to_string(platform::kInboxFolderId)});

  Cycle(true);
  Arrive(lists, "inside");
  host_->OnCheckTick();
  EXPECT_EQ(
      FoldersOf("MoveMessage_Inbox"),
      (std::vector<std::string>{std::to_string(platform::kInboxFolderId), std::to_string(lists)}));
  EXPECT_EQ(FoldersOf("CheckMessage_Folder").size(), 2u);
}

}  // namespace
}  // namespace vexmor::plugin
