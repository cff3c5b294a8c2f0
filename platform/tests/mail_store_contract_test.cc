// Behaviour both mail store adapters share: the same cases run on the in-memory store and on
// a Maildir++ tree in a temporary folder.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

// The value of a result, kept alive for a range loop.
template <typename T>
T Value(StatusOr<T> result) {
  EXPECT_TRUE(result.ok()) << result.status().ToString();
  return result.ok() ? std::move(result).value() : T();
}

using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

// One adapter under test plus a way to drop mail into it as a delivery would.
class Harness {
 public:
  virtual ~Harness() = default;
  virtual MailStore& store() = 0;
  // Delivers a message and returns the id the store gives it.
  virtual MessageId Deliver(FolderId folder, const std::string& source, bool read) = 0;
};

class MemoryHarness final : public Harness {
 public:
  MailStore& store() override { return *store_; }
  MessageId Deliver(FolderId folder, const std::string& source, bool read) override {
    StatusOr<MessageId> id = store_->Deliver(folder, source, read);
    EXPECT_TRUE(id.ok()) << id.status().ToString();
    return id.ok() ? *id : 0;
  }

 private:
  std::unique_ptr<MemoryMailStore> store_ = MakeMemoryMailStore();
};

class MaildirHarness final : public Harness {
 public:
  MaildirHarness() {
    for (const char* sub : {"cur", "new", "tmp"}) MakeDirectories(dir_.path() + sub).ok();
    StatusOr<std::unique_ptr<MailStore>> opened = OpenMaildirStore(dir_.path());
    EXPECT_TRUE(opened.ok()) << opened.status().ToString();
    store_ = std::move(opened).value();
  }
  MailStore& store() override { return *store_; }
  MessageId Deliver(FolderId folder, const std::string& source, bool read) override {
    std::string path = FolderPath(folder);
    for (const char* sub : {"cur", "new", "tmp"}) MakeDirectories(path + sub).ok();
    std::string base = "1700000000.M" + std::to_string(++serial_) + "P1.test";
    WriteFileOrDie(path + "tmp/" + base, source);
    std::string final_name = read ? path + "cur/" + base + ":2,S" : path + "new/" + base;
    EXPECT_EQ(0, ::rename((path + "tmp/" + base).c_str(), final_name.c_str()));
    StatusOr<std::vector<MessageInfo>> list = store_->ListMessages(folder);
    EXPECT_TRUE(list.ok() && !list->empty());
    return list.ok() && !list->empty() ? list->back().id : 0;
  }

 private:
  // The directory of a folder, found by walking the folder's display path.
  std::string FolderPath(FolderId folder) {
    if (folder == kInboxFolderId) return dir_.path();
    std::string dir;
    for (FolderId at = folder; at != kLocalFoldersId && at != kRootFolderId;) {
      FolderInfo info = store_->GetFolder(at).value();
      dir = "." + info.name + dir;
      at = info.parent;
    }
    return dir_.path() + dir + "/";
  }

  TempDir dir_;
  std::unique_ptr<MailStore> store_;
  int serial_ = 0;
};

class MailStoreContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "memory") {
      harness_ = std::make_unique<MemoryHarness>();
    } else {
      harness_ = std::make_unique<MaildirHarness>();
    }
  }
  MailStore& store() { return harness_->store(); }
  std::vector<MessageId> Ids(FolderId folder) {
    std::vector<MessageId> ids;
    for (const MessageInfo& m : Value(store().ListMessages(folder))) ids.push_back(m.id);
    return ids;
  }
  std::string Source(FolderId folder, MessageId id) {
    auto source = store().OpenMessage(folder, id);
    EXPECT_TRUE(source.ok()) << source.status().ToString();
    return source.ok() ? ReadSource(**source).value() : std::string();
  }
  std::unique_ptr<Harness> harness_;
};

TEST_P(MailStoreContract, FixedFoldersHangBelowLocalFolders) {
  auto top = store().ListSubfolders(kRootFolderId).value();
  ASSERT_EQ(1u, top.size());
  EXPECT_EQ(kLocalFoldersId, top[0].id);
  EXPECT_EQ("Local Folders", top[0].name);

  ASSERT_TRUE(store().CreateFolder(kLocalFoldersId, "Spam").ok());
  ASSERT_TRUE(store().CreateFolder(kLocalFoldersId, "Archive").ok());
  auto local = store().ListSubfolders(kLocalFoldersId).value();
  std::vector<std::pair<FolderId, std::string>> seen;
  for (const FolderInfo& f : local) seen.emplace_back(f.id, f.name);
  ASSERT_EQ(7u, seen.size());
  EXPECT_EQ(std::make_pair(kOutboxFolderId, std::string("Outbox")), seen[0]);
  EXPECT_EQ(std::make_pair(kInboxFolderId, std::string("Inbox")), seen[1]);
  EXPECT_EQ(std::make_pair(kDeletedItemsFolderId, std::string("Deleted Items")), seen[2]);
  EXPECT_EQ(std::make_pair(kSentItemsFolderId, std::string("Sent Items")), seen[3]);
  EXPECT_EQ(std::make_pair(kDraftsFolderId, std::string("Drafts")), seen[4]);
  EXPECT_EQ("Archive", seen[5].second);
  EXPECT_EQ("Spam", seen[6].second);
  EXPECT_GE(seen[5].first, kFirstUserFolderId);
  EXPECT_NE(seen[5].first, seen[6].first);
}

TEST_P(MailStoreContract, IdsFollowArrivalAndSurviveReadMarks) {
  MessageId a = harness_->Deliver(kInboxFolderId, "Subject: a\n\nA", false);
  MessageId b = harness_->Deliver(kInboxFolderId, "Subject: b\n\nB", true);
  MessageId c = harness_->Deliver(kInboxFolderId, "Subject: c\n\nC", false);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ((std::vector<MessageId>{a, b, c}), Ids(kInboxFolderId));

  auto list = store().ListMessages(kInboxFolderId).value();
  EXPECT_EQ(kMessageUnread | kMessageReceived, list[0].state);
  EXPECT_EQ(kMessageReceived, list[1].state);

  ASSERT_TRUE(store().MarkRead(kInboxFolderId, a, true).ok());
  ASSERT_TRUE(store().MarkRead(kInboxFolderId, b, false).ok());
  EXPECT_EQ(kMessageReceived, store().GetMessage(kInboxFolderId, a)->state);
  EXPECT_EQ(kMessageUnread | kMessageReceived, store().GetMessage(kInboxFolderId, b)->state);
  EXPECT_EQ((std::vector<MessageId>{a, b, c}), Ids(kInboxFolderId));
  EXPECT_EQ("Subject: a\n\nA", Source(kInboxFolderId, a));
  EXPECT_EQ("Subject: b\n\nB", Source(kInboxFolderId, b));

  MessageId sent = harness_->Deliver(kSentItemsFolderId, "To: x@y\n\n", true);
  EXPECT_EQ(0u, store().GetMessage(kSentItemsFolderId, sent)->state);
}

TEST_P(MailStoreContract, MoveGivesANewIdAndIdsAreNeverReused) {
  FolderId spam = store().CreateFolder(kLocalFoldersId, "Spam").value();
  MessageId a = harness_->Deliver(kInboxFolderId, "A", false);
  MessageId b = harness_->Deliver(kInboxFolderId, "B", true);
  MessageId c = harness_->Deliver(kInboxFolderId, "C", false);

  StatusOr<MessageId> moved = store().MoveMessage(kInboxFolderId, c, spam);
  ASSERT_TRUE(moved.ok()) << moved.status().ToString();
  EXPECT_EQ((std::vector<MessageId>{a, b}), Ids(kInboxFolderId));
  EXPECT_EQ((std::vector<MessageId>{*moved}), Ids(spam));
  EXPECT_EQ("C", Source(spam, *moved));
  EXPECT_EQ(StatusCode::kNotFound, store().GetMessage(kInboxFolderId, c).status().code());
  EXPECT_EQ(StatusCode::kNotFound, store().OpenMessage(kInboxFolderId, c).status().code());

  // Read marks travel with the message.
  MessageId b_in_spam = store().MoveMessage(kInboxFolderId, b, spam).value();
  EXPECT_EQ(kMessageReceived, store().GetMessage(spam, b_in_spam)->state);

  MessageId d = harness_->Deliver(kInboxFolderId, "D", false);
  EXPECT_GT(d, c);  // c's id is not given again
  MessageId back = store().MoveMessage(spam, *moved, kInboxFolderId).value();
  EXPECT_GT(back, d);
  EXPECT_EQ("C", Source(kInboxFolderId, back));

  EXPECT_EQ(StatusCode::kNotFound, store().MoveMessage(kInboxFolderId, 999, spam).status().code());
  EXPECT_FALSE(store().MoveMessage(kInboxFolderId, a, 4242).ok());
  EXPECT_EQ((std::vector<MessageId>{a, d, back}), Ids(kInboxFolderId));
}

TEST_P(MailStoreContract, FoldersAreCreatedAndDeletedIntoDeletedItems) {
  FolderId spam = store().CreateFolder(kLocalFoldersId, "Spam").value();
  FolderId sub = store().CreateFolder(spam, "Old").value();
  EXPECT_EQ(spam, store().GetFolder(sub)->parent);
  auto named = store().GetFolderName(sub);
  ASSERT_TRUE(named.ok());
  EXPECT_EQ("Old", named->name);
  EXPECT_EQ(spam, named->parent);
  EXPECT_EQ(sub, named->id);
  EXPECT_FALSE(store().CreateFolder(kLocalFoldersId, "Spam").ok());
  EXPECT_FALSE(store().CreateFolder(kLocalFoldersId, "").ok());
  EXPECT_FALSE(store().CreateFolder(kLocalFoldersId, "a/b").ok());
  harness_->Deliver(sub, "kept", false);

  for (FolderId fixed : {kRootFolderId, kLocalFoldersId, kInboxFolderId, kOutboxFolderId,
                         kSentItemsFolderId, kDeletedItemsFolderId, kDraftsFolderId}) {
    EXPECT_FALSE(store().DeleteFolder(fixed).ok()) << fixed;
  }

  ASSERT_TRUE(store().DeleteFolder(spam).ok());
  auto trash = store().ListSubfolders(kDeletedItemsFolderId).value();
  ASSERT_EQ(1u, trash.size());
  EXPECT_EQ("Spam", trash[0].name);
  auto inner = store().ListSubfolders(trash[0].id).value();
  ASSERT_EQ(1u, inner.size());
  EXPECT_EQ("Old", inner[0].name);
  EXPECT_EQ(1u, inner[0].message_count);  // no mail lost on the way

  // A second folder of the same name does not overwrite the first in Deleted Items.
  FolderId again = store().CreateFolder(kLocalFoldersId, "Spam").value();
  ASSERT_TRUE(store().DeleteFolder(again).ok());
  std::vector<std::string> names;
  for (const FolderInfo& f : Value(store().ListSubfolders(kDeletedItemsFolderId))) {
    names.push_back(f.name);
  }
  EXPECT_EQ((std::vector<std::string>{"Spam", "Spam (2)"}), names);

  // Inside Deleted Items a delete is for good.
  ASSERT_TRUE(store().DeleteFolder(trash[0].id).ok());
  names.clear();
  for (const FolderInfo& f : Value(store().ListSubfolders(kDeletedItemsFolderId))) {
    names.push_back(f.name);
  }
  EXPECT_EQ((std::vector<std::string>{"Spam (2)"}), names);
  EXPECT_FALSE(store().GetFolder(inner[0].id).ok());
  EXPECT_FALSE(store().GetFolderName(inner[0].id).ok());
}

TEST_P(MailStoreContract, SourcesReadInPiecesAndWithALimit) {
  std::string big(100000, 'x');
  big.replace(0, 10, "Subject: b");
  MessageId id = harness_->Deliver(kInboxFolderId, big, false);
  EXPECT_EQ(big, Source(kInboxFolderId, id));
  auto source = store().OpenMessage(kInboxFolderId, id).value();
  EXPECT_EQ(big.substr(0, 4095), ReadSource(*source, 4095).value());
  EXPECT_EQ(big.size(), store().GetMessage(kInboxFolderId, id)->size);
  auto sized = store().ListMessages(kInboxFolderId, true).value();
  ASSERT_EQ(1u, sized.size());
  EXPECT_EQ(big.size(), sized[0].size);
  EXPECT_EQ(1u, store().GetFolder(kInboxFolderId)->message_count);
}

INSTANTIATE_TEST_SUITE_P(Adapters, MailStoreContract, ::testing::Values("memory", "maildir"));

}  // namespace
}  // namespace vexmor::platform
