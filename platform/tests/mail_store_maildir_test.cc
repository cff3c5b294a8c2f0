// The Maildir++ adapter on real trees: persistence of ids, other readers' renames, odd and
// damaged trees, folder name mapping and where the store is found.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::ScopedEnv;
using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

void MakeMaildir(const std::string& path) {
  for (const char* sub : {"cur", "new", "tmp"}) ASSERT_TRUE(MakeDirectories(path + sub).ok());
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& e : std::filesystem::directory_iterator(dir, ignored)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class MaildirTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeMaildir(root()); }
  const std::string& root() const { return dir_.path(); }
  std::unique_ptr<MailStore> Open(MaildirOptions options = {}) {
    options.report = [this](std::string_view problem) { problems_.emplace_back(problem); };
    auto store = OpenMaildirStore(root(), std::move(options));
    EXPECT_TRUE(store.ok()) << store.status().ToString();
    return store.ok() ? std::move(store).value() : nullptr;
  }
  std::vector<MessageId> Ids(MailStore& store, FolderId folder) {
    std::vector<MessageId> ids;
    for (const MessageInfo& m : Value(store.ListMessages(folder))) ids.push_back(m.id);
    return ids;
  }
  std::string Source(MailStore& store, FolderId folder, MessageId id) {
    auto source = store.OpenMessage(folder, id);
    return source.ok() ? ReadSource(**source).value() : "<" + source.status().ToString() + ">";
  }
  FolderId Child(MailStore& store, FolderId parent, const std::string& name) {
    for (const FolderInfo& f : Value(store.ListSubfolders(parent))) {
      if (f.name == name) return f.id;
    }
    return 0;
  }

  TempDir dir_;
  std::vector<std::string> problems_;
};

TEST_F(MaildirTest, OpeningNeedsAMaildir) {
  EXPECT_EQ(StatusCode::kNotFound, OpenMaildirStore(root() + "absent").status().code());
  TempDir plain;
  EXPECT_EQ(StatusCode::kInvalidArgument, OpenMaildirStore(plain.path()).status().code());
}

TEST_F(MaildirTest, IdsPersistAcrossInstancesAndOtherReadersRenames) {
  WriteFileOrDie(root() + "new/100.A.host", "first");
  WriteFileOrDie(root() + "cur/200.B.host:2,S", "second");
  WriteFileOrDie(root() + "new/.hidden", "not a message");
  const struct timeval old_times[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(0, ::utimes((root() + "cur/200.B.host:2,S").c_str(), old_times));  // arrived first
  std::vector<MessageId> ids;
  {
    auto store = Open();
    ids = Ids(*store, kInboxFolderId);
    ASSERT_EQ(2u, ids.size());
    EXPECT_EQ("second", Source(*store, kInboxFolderId, ids[0]));
  }
  // A reader takes the new message into cur/ and flags it; the ids do not move.
  ASSERT_EQ(
      0, ::rename((root() + "new/100.A.host").c_str(), (root() + "cur/100.A.host:2,FS").c_str()));
  ASSERT_EQ(
      0, ::rename((root() + "cur/200.B.host:2,S").c_str(), (root() + "cur/200.B.host:2,").c_str()));
  auto store = Open();
  EXPECT_EQ(ids, Ids(*store, kInboxFolderId));
  EXPECT_EQ("first", Source(*store, kInboxFolderId, ids[1]));
  EXPECT_EQ(kMessageReceived, store->GetMessage(kInboxFolderId, ids[1])->state);
  EXPECT_EQ(kMessageUnread | kMessageReceived, store->GetMessage(kInboxFolderId, ids[0])->state);

  // Our own read mark keeps the reader's other flags, in Maildir order.
  ASSERT_TRUE(store->MarkRead(kInboxFolderId, ids[1], false).ok());
  EXPECT_EQ((std::vector<std::string>{"100.A.host:2,F", "200.B.host:2,"}), FilesIn(root() + "cur"));
  ASSERT_TRUE(store->MarkRead(kInboxFolderId, ids[0], true).ok());
  EXPECT_EQ((std::vector<std::string>{"100.A.host:2,F", "200.B.host:2,S"}),
            FilesIn(root() + "cur"));
  EXPECT_TRUE(problems_.empty());
}

// A message moved out and brought back by another program (a reader moving it by rename) is a
// new arrival for every process, even one that reads the folder's list before it was written.
TEST_F(MaildirTest, AMessageThatComesBackGetsANewIdEverywhere) {
  WriteFileOrDie(root() + "new/1.M.host", "m1");
  auto store = Open();
  MessageId first = Ids(*store, kInboxFolderId).at(0);
  FolderId spam = Value(store->CreateFolder(kLocalFoldersId, "Spam"));
  ASSERT_TRUE(store->MoveMessage(kInboxFolderId, first, spam).ok());
  std::vector<std::string> in_spam = FilesIn(root() + ".Spam/cur");
  ASSERT_EQ(1u, in_spam.size());
  ASSERT_EQ(0, ::rename((root() + ".Spam/cur/" + in_spam[0]).c_str(),
                        (root() + "cur/" + in_spam[0]).c_str()));
  // Another process lists the Inbox first: it has only the files to go by. (A fork would
  // share this process's copy of the lists; the path spelled otherwise gives it its own.)
  auto other = OpenMaildirStore(root() + "./");
  ASSERT_TRUE(other.ok());
  std::vector<MessageId> seen_elsewhere = Ids(**other, kInboxFolderId);
  std::vector<MessageId> seen = Ids(*store, kInboxFolderId);
  ASSERT_EQ(1u, seen.size());
  EXPECT_GT(seen[0], first);
  EXPECT_EQ(seen, seen_elsewhere);
  EXPECT_EQ("m1", Source(*store, kInboxFolderId, seen[0]));
}

// A lookup may conclude that a message left without reading the folder again, when its name
// in new/ is gone and cur/ has provably not changed since the folder was read. A reader's move
// into cur/ changes cur/, so such a message is still found.
TEST_F(MaildirTest, AMessageTakenIntoCurIsFoundAndOneTakenAwayIsGone) {
  WriteFileOrDie(root() + "new/1.A.host", "a");
  WriteFileOrDie(root() + "new/2.B.host", "b");
  auto store = Open();
  std::vector<MessageId> ids = Ids(*store, kInboxFolderId);
  ASSERT_EQ(2u, ids.size());
  // cur/ ages past the window in which its times may not show a change yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  ASSERT_EQ(0, ::rename((root() + "new/1.A.host").c_str(), (root() + "cur/1.A.host:2,S").c_str()));
  ASSERT_EQ(0, ::rename((root() + "new/2.B.host").c_str(), (root() + "../elsewhere").c_str()));
  EXPECT_EQ("a", Source(*store, kInboxFolderId, ids[0]));
  EXPECT_EQ(StatusCode::kNotFound, store->GetMessage(kInboxFolderId, ids[1]).status().code());
  EXPECT_EQ(std::vector<MessageId>{ids[0]}, Ids(*store, kInboxFolderId));
}

// Other processes read the id list files, not this process's copy of them: after arrivals
// and moves out of the middle, the end and the start and back in, each file names exactly
// the folder's messages under the ids the store gives.
TEST_F(MaildirTest, IdListFilesStayExactThroughMovesInAndOut) {
  for (int i = 1; i <= 6; ++i) {
    WriteFileOrDie(root() + "new/" + std::to_string(i) + ".M.host", "m" + std::to_string(i));
  }
  auto store = Open();
  std::vector<MessageId> inbox = Ids(*store, kInboxFolderId);
  ASSERT_EQ(6u, inbox.size());
  FolderId spam = Value(store->CreateFolder(kLocalFoldersId, "Spam"));
  MessageId back = Value(store->MoveMessage(kInboxFolderId, inbox[2], spam));
  ASSERT_TRUE(store->MoveMessage(kInboxFolderId, inbox[5], spam).ok());
  ASSERT_TRUE(store->MoveMessage(kInboxFolderId, inbox[0], spam).ok());
  ASSERT_TRUE(store->MoveMessage(spam, back, kInboxFolderId).ok());
  WriteFileOrDie(root() + "new/7.M.host", "m7");
  ASSERT_EQ(5u, Ids(*store, kInboxFolderId).size());

  // A list may keep the lines of messages that left until the folder is next listed; another
  // process (the path spelled otherwise) reading it meanwhile sees the same ids, and the
  // listing makes it exact.
  auto other = OpenMaildirStore(root() + "./");
  ASSERT_TRUE(other.ok());
  for (const auto& [folder, dir] :
       {std::pair{kInboxFolderId, root()}, std::pair{spam, root() + ".Spam/"}}) {
    EXPECT_EQ(Ids(*store, folder), Ids(**other, folder));
    std::string text = ReadFileOrEmpty(dir + "vexmor-uidlist");
    ASSERT_EQ(0u, text.rfind("vexmor-uidlist 1 ", 0)) << text;
    std::vector<MessageId> ids;
    std::vector<std::string> bases;
    size_t at = text.find('\n') + 1;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      ASSERT_NE(std::string::npos, end) << text;
      std::string line = text.substr(at, end - at);
      size_t space = line.find(' ');
      ASSERT_NE(std::string::npos, space) << line;
      ids.push_back(static_cast<MessageId>(std::stoul(line.substr(0, space))));
      bases.push_back(line.substr(space + 1));
      at = end + 1;
    }
    EXPECT_EQ(Ids(*store, folder), ids) << text;
    std::vector<std::string> files;
    for (const char* sub : {"new", "cur"}) {
      for (const std::string& name : FilesIn(dir + sub))
        files.push_back(name.substr(0, name.find(':')));
    }
    std::sort(files.begin(), files.end());
    std::sort(bases.begin(), bases.end());
    EXPECT_EQ(files, bases) << text;
    MessageId highest = ids.empty() ? 0 : *std::max_element(ids.begin(), ids.end());
    EXPECT_GT(std::stoul(text.substr(17, text.find('\n') - 17)), highest) << text;
  }
  EXPECT_TRUE(problems_.empty());
}

TEST_F(MaildirTest, OnlyRegularFilesInsideTheStoreAreMessages) {
  TempDir outside;
  WriteFileOrDie(outside.File("secret"), "private bytes");
  WriteFileOrDie(root() + "cur/1.A.host:2,S", "real message");
  ASSERT_EQ(0, ::symlink(outside.File("secret").c_str(), (root() + "cur/2.B.host:2,S").c_str()));
  ASSERT_EQ(0, ::symlink("1.A.host:2,S", (root() + "new/3.C.host").c_str()));  // even inside
  ASSERT_EQ(0, ::mkdir((root() + "cur/4.D.host:2,").c_str(), 0755));
  ASSERT_EQ(0, ::mkfifo((root() + "new/5.E.host").c_str(), 0600));
  auto store = Open();
  std::vector<MessageId> ids = Ids(*store, kInboxFolderId);
  ASSERT_EQ(1u, ids.size());
  EXPECT_EQ("real message", Source(*store, kInboxFolderId, ids[0]));
  EXPECT_EQ(1u, Value(store->GetFolder(kInboxFolderId)).message_count);  // the same count

  // A message swapped for a link after it was listed is not followed either.
  ASSERT_EQ(0, ::unlink((root() + "cur/1.A.host:2,S").c_str()));
  ASSERT_EQ(0, ::symlink(outside.File("secret").c_str(), (root() + "cur/1.A.host:2,S").c_str()));
  auto opened = store->OpenMessage(kInboxFolderId, ids[0]);
  EXPECT_FALSE(opened.ok());
  ASSERT_EQ(0, ::unlink((root() + "cur/1.A.host:2,S").c_str()));
  ASSERT_EQ(0, ::mkfifo((root() + "cur/1.A.host:2,S").c_str(), 0600));
  EXPECT_FALSE(store->OpenMessage(kInboxFolderId, ids[0]).ok());  // at once, never blocking
}

TEST_F(MaildirTest, RenamesBehindTheStoresBackAreFollowed) {
  WriteFileOrDie(root() + "new/1.A.host", "moving");
  auto store = Open();
  MessageId id = Ids(*store, kInboxFolderId).at(0);
  // Between the listing and the use, a reader moves and flags the file.
  ASSERT_EQ(0, ::rename((root() + "new/1.A.host").c_str(), (root() + "cur/1.A.host:2,S").c_str()));
  EXPECT_EQ("moving", Source(*store, kInboxFolderId, id));
  ASSERT_EQ(
      0, ::rename((root() + "cur/1.A.host:2,S").c_str(), (root() + "cur/1.A.host:2,RS").c_str()));
  EXPECT_TRUE(store->MarkRead(kInboxFolderId, id, false).ok());
  EXPECT_EQ((std::vector<std::string>{"1.A.host:2,R"}), FilesIn(root() + "cur"));

  // A file that is gone for good is NotFound, and the walk skips it.
  ASSERT_EQ(0, ::unlink((root() + "cur/1.A.host:2,R").c_str()));
  EXPECT_EQ(StatusCode::kNotFound, store->GetMessage(kInboxFolderId, id).status().code());
  EXPECT_EQ(StatusCode::kNotFound, store->OpenMessage(kInboxFolderId, id).status().code());
  EXPECT_TRUE(Ids(*store, kInboxFolderId).empty());
}

TEST_F(MaildirTest, CorruptIdListIsRebuiltAboveItsOldNumbersAndKept) {
  for (int i = 0; i < 3; ++i) WriteFileOrDie(root() + "new/" + std::to_string(i) + ".X.h", "m");
  {
    auto store = Open();
    ASSERT_EQ(3u, Ids(*store, kInboxFolderId).size());
  }
  WriteFileOrDie(root() + "vexmor-uidlist", "vexmor-uidlist 1 4\n1 0.X.h\n1 1.X.h\n57 garbage\n");
  auto store = Open();
  std::vector<MessageId> ids = Ids(*store, kInboxFolderId);
  ASSERT_EQ(3u, ids.size());  // no mail lost
  EXPECT_GT(ids[0], 57u);     // stale ids elsewhere name nothing
  ASSERT_EQ(1u, problems_.size());
  EXPECT_NE(std::string::npos, problems_[0].find("corrupt"));
  EXPECT_NE(std::string::npos, ReadFileOrEmpty(root() + "vexmor-uidlist.corrupt").find("garbage"));
  EXPECT_EQ(ids, Ids(*store, kInboxFolderId));  // and stable from then on

  WriteFileOrDie(root() + "vexmor-uidlist", "");
  auto again = Open();
  EXPECT_EQ(3u, Ids(*again, kInboxFolderId).size());
  EXPECT_EQ(2u, problems_.size());
}

TEST_F(MaildirTest, FolderWithoutCurIsReportedAndStillListed) {
  ASSERT_TRUE(MakeDirectories(root() + ".Broken/new").ok());
  WriteFileOrDie(root() + ".Broken/new/1.A.h", "still here");
  auto store = Open();
  FolderId broken = Child(*store, kLocalFoldersId, "Broken");
  ASSERT_NE(0u, broken);
  std::vector<MessageId> ids = Ids(*store, broken);
  ASSERT_EQ(1u, ids.size());
  EXPECT_EQ("still here", Source(*store, broken, ids[0]));
  ASSERT_FALSE(problems_.empty());
  EXPECT_NE(std::string::npos, problems_[0].find("no cur/"));
  // Reading it as read repairs the folder by the ordinary Maildir rename into cur/.
  ASSERT_TRUE(MakeDirectories(root() + ".Broken/cur").ok());
  ASSERT_TRUE(store->MarkRead(broken, ids[0], true).ok());
  EXPECT_EQ((std::vector<std::string>{"1.A.h:2,S"}), FilesIn(root() + ".Broken/cur"));
}

TEST_F(MaildirTest, NestedAndImpliedFoldersAndStableFolderIds) {
  MakeMaildir(root() + ".Deleted Items.Spam/");
  MakeMaildir(root() + ".Projects.2024.Q1/");  // ".Projects" and ".Projects.2024" implied
  FolderId spam, q1;
  {
    auto store = Open();
    spam = Child(*store, kDeletedItemsFolderId, "Spam");
    FolderId projects = Child(*store, kLocalFoldersId, "Projects");
    ASSERT_NE(0u, projects);
    FolderId y2024 = Child(*store, projects, "2024");
    ASSERT_NE(0u, y2024);
    q1 = Child(*store, y2024, "Q1");
    ASSERT_NE(0u, spam);
    ASSERT_NE(0u, q1);
  }
  MakeMaildir(root() + ".Aardvark/");  // a new folder sorts first but takes a new id
  auto store = Open();
  EXPECT_EQ(spam, Child(*store, kDeletedItemsFolderId, "Spam"));
  FolderId projects = Child(*store, kLocalFoldersId, "Projects");
  EXPECT_EQ(q1, Child(*store, Child(*store, projects, "2024"), "Q1"));
  EXPECT_GT(Child(*store, kLocalFoldersId, "Aardvark"), q1);

  // Mail moved into an implied folder makes it a real one.
  WriteFileOrDie(root() + "new/1.A.h", "m");
  MessageId id = Ids(*store, kInboxFolderId).at(0);
  ASSERT_TRUE(store->MoveMessage(kInboxFolderId, id, projects).ok());
  EXPECT_EQ(1u, FilesIn(root() + ".Projects/cur").size());
}

TEST_F(MaildirTest, CorruptFolderIndexIsRebuilt) {
  MakeMaildir(root() + ".Spam/");
  { Open(); }
  EXPECT_NE(std::string::npos, ReadFileOrEmpty(root() + "vexmor-folders").find(" Spam"));
  WriteFileOrDie(root() + "vexmor-folders", "vexmor-folders 1\nnext 101\n100 Spam\n100 Ham\n");
  auto store = Open();
  FolderId spam = Child(*store, kLocalFoldersId, "Spam");
  EXPECT_GE(spam, 101u);
  ASSERT_EQ(1u, problems_.size());
  EXPECT_TRUE(std::filesystem::exists(root() + "vexmor-folders.corrupt"));
}

// The folder tree is kept between store objects while it is unchanged; folders another
// program makes, renames or removes, and a folder index another process rewrites, are seen
// by the next operation.
TEST_F(MaildirTest, KeptFolderTreeFollowsOtherProgramsChanges) {
  MakeMaildir(root() + ".Lists/");
  FolderId lists = 0;
  {
    auto store = Open();
    lists = Child(*store, kLocalFoldersId, "Lists");
    ASSERT_NE(0u, lists);
  }
  // Old enough that its times can be trusted, so the view is kept from here on.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  auto first = Open();
  ASSERT_TRUE(first->HasFolder(lists));
  EXPECT_FALSE(first->HasFolder(lists + 1));

  MakeMaildir(root() + ".Later/");  // a mail reader makes a folder
  auto second = Open();
  FolderId later = Child(*second, kLocalFoldersId, "Later");
  EXPECT_GT(later, lists);

  std::filesystem::rename(root() + ".Lists", root() + ".Renamed");
  std::filesystem::remove_all(root() + ".Later");
  auto third = Open();
  EXPECT_FALSE(third->HasFolder(later));
  EXPECT_EQ(0u, Child(*third, kLocalFoldersId, "Lists"));
  EXPECT_NE(0u, Child(*third, kLocalFoldersId, "Renamed"));

  // Another process maps a special folder in the index: the root itself is unchanged.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  MakeMaildir(root() + ".Junk/");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  auto fourth = Open();
  EXPECT_NE(0u, Child(*fourth, kLocalFoldersId, "Junk"));
  std::string index = ReadFileOrEmpty(root() + "vexmor-folders");
  ASSERT_TRUE(
      ReplaceFileAtomically(root() + "vexmor-folders", index + "map Deleted Items=Junk\n").ok());
  auto fifth = Open();
  EXPECT_EQ(0u, Child(*fifth, kLocalFoldersId, "Junk"));  // now the Deleted Items
  EXPECT_TRUE(fifth->HasFolder(kDeletedItemsFolderId));
}

// Every id list written in the root changes the root directory, so its times are always
// fresh while mail flows; folders made or renamed then are still seen at once.
TEST_F(MaildirTest, KeptFolderTreeFollowsChangesWhileTheRootKeepsChanging) {
  MakeMaildir(root() + ".Lists/");
  FolderId lists = 0;
  {
    auto store = Open();
    lists = Child(*store, kLocalFoldersId, "Lists");
    ASSERT_NE(0u, lists);
  }
  // The index is old enough to be trusted; the root is not, from here on.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  auto store = Open();
  for (int round = 0; round < 3; ++round) {
    WriteFileOrDie(root() + "note" + std::to_string(round), "x");
    EXPECT_TRUE(store->HasFolder(lists));
    EXPECT_EQ(lists, Child(*store, kLocalFoldersId, "Lists"));
  }
  MakeMaildir(root() + ".Fresh/");
  FolderId fresh = Child(*store, kLocalFoldersId, "Fresh");
  EXPECT_NE(0u, fresh);
  EXPECT_NE(lists, fresh);

  // A rename keeps the number of folders: the names still tell.
  std::filesystem::rename(root() + ".Lists", root() + ".Moved");
  EXPECT_EQ(0u, Child(*store, kLocalFoldersId, "Lists"));
  EXPECT_NE(0u, Child(*store, kLocalFoldersId, "Moved"));
  EXPECT_FALSE(store->HasFolder(lists));

  std::filesystem::remove_all(root() + ".Fresh");
  EXPECT_FALSE(Open()->HasFolder(fresh));
  EXPECT_FALSE(store->HasFolder(fresh));
}

TEST_F(MaildirTest, OtherReadersFolderNamesAreKept) {
  MakeMaildir(root() + ".Sent/");
  MakeMaildir(root() + ".Trash/");
  WriteFileOrDie(root() + ".Sent/cur/1.A.h:2,S", "To: a@b\n\n");
  auto store = Open();
  std::vector<MessageId> sent = Ids(*store, kSentItemsFolderId);
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(0u, Child(*store, kLocalFoldersId, "Sent"));  // shown only as "Sent Items"
  FolderId old = store->CreateFolder(kLocalFoldersId, "Old").value();
  ASSERT_TRUE(store->DeleteFolder(old).ok());
  EXPECT_TRUE(std::filesystem::is_directory(root() + ".Trash.Old/cur"));
  EXPECT_NE(0u, Child(*store, kDeletedItemsFolderId, "Old"));
}

TEST_F(MaildirTest, ExplicitMappingWinsAndIndexMapLinesAreRead) {
  MakeMaildir(root() + ".Sent/");
  MakeMaildir(root() + ".Outgoing/");
  WriteFileOrDie(root() + ".Outgoing/cur/1.A.h:2,S", "x");
  {
    MaildirOptions options;
    options.special_dirs[kSentItemsFolderId] = "Outgoing";
    auto store = Open(options);
    EXPECT_EQ(1u, Ids(*store, kSentItemsFolderId).size());
    EXPECT_NE(0u, Child(*store, kLocalFoldersId, "Sent"));  // now an ordinary folder
  }
  std::string index = ReadFileOrEmpty(root() + "vexmor-folders");
  index.insert(index.find('\n') + 1, "map Sent Items=Outgoing\n");
  WriteFileOrDie(root() + "vexmor-folders", index);
  auto store = Open();
  EXPECT_EQ(1u, Ids(*store, kSentItemsFolderId).size());
  EXPECT_NE(std::string::npos, ReadFileOrEmpty(root() + "vexmor-folders").find("map Sent Items"));
}

TEST_F(MaildirTest, MoveNeverOverwritesACopyInTheDestination) {
  MakeMaildir(root() + ".Spam/");
  WriteFileOrDie(root() + "new/9.A.h", "original");
  WriteFileOrDie(root() + ".Spam/cur/9.A.h:2,", "older copy");
  auto store = Open();
  FolderId spam = Child(*store, kLocalFoldersId, "Spam");
  ASSERT_EQ(1u, Ids(*store, spam).size());
  MessageId id = Ids(*store, kInboxFolderId).at(0);
  MessageId moved = store->MoveMessage(kInboxFolderId, id, spam).value();
  std::vector<MessageId> in_spam = Ids(*store, spam);
  ASSERT_EQ(2u, in_spam.size());
  EXPECT_EQ(moved, in_spam[1]);
  EXPECT_EQ("older copy", Source(*store, spam, in_spam[0]));
  EXPECT_EQ("original", Source(*store, spam, moved));
  EXPECT_TRUE(FilesIn(root() + "new").empty());
  // The moved message lands in cur/ of the destination, keeping no unread flag change.
  EXPECT_EQ(kMessageUnread | kMessageReceived, store->GetMessage(spam, moved)->state);
}

TEST_F(MaildirTest, DeletedFoldersLeaveNoTrace) {
  auto store = Open();
  FolderId old = store->CreateFolder(kLocalFoldersId, "Old").value();
  EXPECT_TRUE(std::filesystem::exists(root() + ".Old/maildirfolder"));
  ASSERT_TRUE(store->DeleteFolder(old).ok());
  FolderId in_trash = Child(*store, kDeletedItemsFolderId, "Old");
  EXPECT_EQ(old, in_trash);  // the folder keeps its id on the way into Deleted Items
  ASSERT_TRUE(store->DeleteFolder(in_trash).ok());
  EXPECT_FALSE(std::filesystem::exists(root() + ".Deleted Items.Old"));
  EXPECT_TRUE(FilesIn(root() + "tmp").empty());
  EXPECT_EQ(StatusCode::kNotFound, store->GetFolder(in_trash).status().code());
}

// A registry holding one string value, enough for the store lookup.
class OneValueRegistry final : public Registry {
 public:
  explicit OneValueRegistry(std::string value) : value_(std::move(value)) {}
  bool KeyExists(std::string_view) const override { return true; }
  Status CreateKey(std::string_view) override { return Status::Ok(); }
  Status DeleteKey(std::string_view) override { return Status::Ok(); }
  StatusOr<RegistryValue> QueryValue(std::string_view key, std::string_view name) const override {
    if (key != kProductKey || name != kMailStoreValue) return Status::NotFound("none");
    return RegistryValue::String(value_);
  }
  Status SetValue(std::string_view, std::string_view, const RegistryValue&) override {
    return Status::Ok();
  }
  Status DeleteValue(std::string_view, std::string_view) override { return Status::Ok(); }
  StatusOr<std::vector<std::string>> EnumerateValues(std::string_view) const override {
    return std::vector<std::string>{};
  }
  StatusOr<std::vector<std::string>> EnumerateSubkeys(std::string_view) const override {
    return std::vector<std::string>{};
  }

 private:
  std::string value_;
};

TEST(LocateMailStore, SettingThenEnvironmentThenHome) {
  TempDir home;
  ScopedEnv home_env("HOME", home.path());
  auto paths = MakeEnvironmentPaths();
  {
    ScopedEnv maildir("MAILDIR", std::nullopt);
    EXPECT_EQ(home.path() + "Maildir/", LocateMailStore(nullptr, *paths));
  }
  ScopedEnv maildir("MAILDIR", "/srv/mail/me");
  EXPECT_EQ("/srv/mail/me/", LocateMailStore(nullptr, *paths));
  OneValueRegistry empty("");
  EXPECT_EQ("/srv/mail/me/", LocateMailStore(&empty, *paths));
  OneValueRegistry set("/data/Mail");
  EXPECT_EQ("/data/Mail/", LocateMailStore(&set, *paths));
  OneValueRegistry tilde("~/Mail");
  EXPECT_EQ(home.path() + "Mail/", LocateMailStore(&tilde, *paths));
}

}  // namespace
}  // namespace vexmor::platform
