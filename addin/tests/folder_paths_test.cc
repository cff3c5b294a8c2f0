// Folder paths and the mover, on the in-memory account and on a real Dovecot.
#include <gtest/gtest.h>

#include <set>

#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/mover.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::addin {
namespace {

using platform::EntryId;
using platform::HexFromBin;
using platform::MapiStore;

template <typename T>
T Value(StatusOr<T> result) {
  EXPECT_TRUE(result.ok()) << result.status().ToString();
  return result.ok() ? std::move(result).value() : T();
}

std::string Message(const std::string& subject) {
  return "From: s@example.org\r\nMessage-ID: <" + subject + "@t>\r\nSubject: " + subject +
         "\r\n\r\nbody\r\n";
}

class Opened {
 public:
  explicit Opened(platform::MapiLogon& logon) {
    session = Value(logon.Logon());
    if (session) store = Value(session->OpenMsgStore(Value(FindDefaultStore(*session))));
  }
  std::unique_ptr<platform::MapiSession> session;
  std::unique_ptr<MapiStore> store;
};

std::vector<std::string> SubjectsAt(MapiStore& store, std::string_view path) {
  std::vector<std::string> subjects;
  StatusOr<EntryId> folder = OpenFolderByPath(store, '\\', path);
  if (!folder.ok()) return {"<no folder>"};
  for (const EntryId& m : Value(store.GetContentsTable(*folder))) {
    subjects.push_back(Value(store.GetMessageProps(m)).subject);
  }
  return subjects;
}

TEST(FolderPaths, WellKnownNamesAndPathsRoundTrip) {
  std::set<std::string_view> names(kWellKnownFolderNames.begin(), kWellKnownFolderNames.end());
  EXPECT_EQ(22u, names.size());
  EXPECT_EQ(platform::WellKnownFolder::kAddrbookForLocalSite,
            WellKnownFolderOf("@pr_addrbook_for_local_site_entryid"));
  EXPECT_FALSE(WellKnownFolderOf("@PR_IPM_INBOX_ENTRYID").has_value());

  auto account = platform::MakeMemoryMapiAccount();
  ASSERT_TRUE(account->Deliver("Archive/2024", Message("old")).ok());
  ASSERT_TRUE(account->Deliver("Sent Items", Message("sent")).ok());
  Opened opened(*account);
  MapiStore& store = *opened.store;

  EntryId inbox = Value(store.GetReceiveFolder());
  EXPECT_EQ("@PR_IPM_SUBTREE_ENTRYID\\Inbox", Value(FolderPathOf(store, inbox)));
  EntryId nested = Value(OpenFolderByPath(store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\archive\\2024"));
  EXPECT_EQ("@PR_IPM_SUBTREE_ENTRYID\\Archive\\2024", Value(FolderPathOf(store, nested)));
  EXPECT_EQ(inbox, Value(OpenFolderByPath(store, '\\', "\\\\@pr_ipm_subtree_entryid\\INBOX")));
  EXPECT_EQ(inbox, Value(OpenFolderByPath(store, '\\', "@PR_IPM_INBOX_ENTRYID")));
  EXPECT_EQ(inbox, Value(OpenFolderByPath(store, '/', "@PR_IPM_SUBTREE_ENTRYID/Inbox")));
  EXPECT_EQ(Value(OpenFolderByPath(store, '\\', kSentItemsPath)),
            Value(OpenFolderByPath(store, '\\', "@PR_IPM_SENTMAIL_ENTRYID")));
  // The root by the empty path, and the top by its own display name from there.
  EXPECT_EQ(store.RootFolder(), Value(OpenFolderByPath(store, '\\', "")));
  EXPECT_EQ(inbox, Value(OpenFolderByPath(store, '\\', "Top of Personal Folders\\Inbox")));
  EXPECT_EQ("", Value(FolderPathOf(store, store.RootFolder())));
  // The top names itself; only its children's paths begin with the well-known name.
  EXPECT_EQ("Top of Personal Folders",
            Value(FolderPathOf(store, Value(OpenFolderByPath(store, '\\', kSubtreeName)))));

  // A name not in the table counts from the root; a known folder the store lacks fails.
  EXPECT_EQ(StatusCode::kNotFound,
            OpenFolderByPath(store, '\\', "@NO_SUCH_NAME\\Inbox").status().code());
  EXPECT_FALSE(OpenFolderByPath(store, '\\', "@PR_VIEWS_ENTRYID\\Inbox").ok());
  EXPECT_FALSE(OpenFolderByPath(store, '\\', "@PR_IPM_SUBTREE_ENTRYID\\Nowhere").ok());
  // Messages are not folders.
  std::vector<EntryId> sent =
      Value(store.GetContentsTable(Value(OpenFolderByPath(store, '\\', kSentItemsPath))));
  ASSERT_EQ(1u, sent.size());
  EXPECT_FALSE(FolderPathOf(store, sent[0]).ok());
  EXPECT_FALSE(FolderPathOf(store, "not an id").ok());
}

TEST(FolderPaths, SpamFoldersAreCreatedOnceWithTheirComments) {
  auto account = platform::MakeMemoryMapiAccount();
  Opened opened(*account);
  MapiStore& store = *opened.store;
  EXPECT_FALSE(OpenFolderByPath(store, '\\', kSpamPath).ok());
  EXPECT_TRUE(CreateSpamFolder(store, false));
  EXPECT_TRUE(CreateSpamFolder(store, false));
  EXPECT_TRUE(CreateSpamFolder(store, true));
  EntryId spam = Value(OpenFolderByPath(store, '\\', kSpamPath));
  EntryId posted = Value(OpenFolderByPath(store, '\\', kSpamPostedPath));
  EXPECT_EQ("Personal Folder Spam Messages", Value(store.GetFolderProps(spam)).comment);
  EXPECT_EQ("Incoming Spam Messages", Value(store.GetFolderProps(posted)).comment);
  EntryId top = Value(OpenFolderByPath(store, '\\', kSubtreeName));
  EXPECT_EQ(3u, Value(store.GetHierarchyTable(top)).size());  // Inbox, Spam, Spam_Posted
}

// The mover's process-wide state, reset for each test.
class Mover : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetInboxPath();
    SetMessageIdHex("");
    SetParentIdHex("");
    log::WriteAddinLog(dirs_.install_dir() + std::string(log::kOutlookLogFile), true);
    UseTrayIconRemover([this] {
      ++tray_calls_;
      return true;
    });
  }
  void TearDown() override {
    UseMapiLogon(nullptr);
    UseTrayIconRemover(nullptr);
  }
  // Designates the first message of a folder for the next move.
  void Designate(platform::MapiLogon& logon, std::string_view path) {
    Opened opened(logon);
    EntryId folder = Value(OpenFolderByPath(*opened.store, '\\', path));
    std::vector<EntryId> messages = Value(opened.store->GetContentsTable(folder));
    ASSERT_FALSE(messages.empty());
    SetMessageIdHex(HexFromBin(messages[0]));
    SetParentIdHex(HexFromBin(folder));
  }
  std::string Log() {
    return testing::ReadFileOrEmpty(dirs_.install_dir() + std::string(log::kOutlookLogFile));
  }
  // Inbox → Spam (made on demand) → Spam_Posted → Inbox on one account.
  void MoveRoundTrip(platform::MapiLogon& logon) {
    UseMapiLogon(&logon);
    Designate(logon, kInboxPath);
    EXPECT_EQ(HexFromBin(platform::FBinFromHex(MessageIdHex()).value()), MessageIdHex());
    EXPECT_TRUE(MoveToFolder(MoveKind::kSpam));
    EXPECT_EQ("@PR_IPM_SUBTREE_ENTRYID\\Inbox", InboxPath());
    EXPECT_EQ(1, tray_calls_);
    EXPECT_NE(std::string::npos, Log().find("Tray Icon removed for incoming spam mail(S)."));
    {
      Opened opened(logon);
      EXPECT_EQ(std::vector<std::string>{"second"}, SubjectsAt(*opened.store, kInboxPath));
      EXPECT_EQ(std::vector<std::string>{"first"}, SubjectsAt(*opened.store, kSpamPath));
    }
    // The same ids again: the message is no longer where they say.
    EXPECT_FALSE(MoveToFolder(MoveKind::kSpamPosted));

    Designate(logon, kSpamPath);
    EXPECT_TRUE(MoveToFolder(MoveKind::kSpamPosted));
    Designate(logon, kSpamPostedPath);
    EXPECT_TRUE(MoveToFolder(MoveKind::kInbox));
    EXPECT_EQ(1, tray_calls_);  // only moves to Spam take the icon down
    Opened opened(logon);
    EXPECT_EQ(2u, SubjectsAt(*opened.store, kInboxPath).size());
    EXPECT_TRUE(SubjectsAt(*opened.store, kSpamPath).empty());
    EXPECT_TRUE(SubjectsAt(*opened.store, kSpamPostedPath).empty());
  }

  testing::ScopedSystemDirs dirs_;
  int tray_calls_ = 0;
};

TEST_F(Mover, MovesBetweenInboxSpamAndSpamPostedInMemory) {
  auto account = platform::MakeMemoryMapiAccount();
  ASSERT_TRUE(account->Deliver("Inbox", Message("first")).ok());
  ASSERT_TRUE(account->Deliver("Inbox", Message("second")).ok());
  MoveRoundTrip(*account);
  Opened opened(*account);
  EntryId spam = Value(OpenFolderByPath(*opened.store, '\\', kSpamPath));
  EXPECT_EQ("Personal Folder Spam Messages", Value(opened.store->GetFolderProps(spam)).comment);
}

TEST_F(Mover, MovesBetweenInboxSpamAndSpamPostedOnDovecot) {
  testing::DovecotServer* server = testing::DovecotServer::Get();
  if (server == nullptr) GTEST_SKIP() << "dovecot is not installed";
  std::string user = server->FreshUser();
  server->Deliver(user, "INBOX", Message("first"));
  server->Deliver(user, "INBOX", Message("second"));
  platform::ImapConnectOptions options;
  options.account = {"127.0.0.1", server->port(), user, platform::ImapTls::kNone, "", "", ""};
  options.password = "secret";
  std::unique_ptr<platform::MapiLogon> logon = platform::MakeImapLogon(options);
  MoveRoundTrip(*logon);
}

TEST_F(Mover, NothingMovesFromAStoreWhoseTopHasAnotherName) {
  auto account = platform::MakeMemoryMapiAccount("Mailbox");
  ASSERT_TRUE(account->Deliver("Inbox", Message("stays")).ok());
  UseMapiLogon(account.get());
  Designate(*account, "@PR_IPM_SUBTREE_ENTRYID\\Inbox");
  EXPECT_FALSE(MoveToFolder(MoveKind::kSpam));
  EXPECT_EQ("Mailbox\\Inbox", InboxPath());
  Opened opened(*account);
  EXPECT_EQ(std::vector<std::string>{"stays"},
            SubjectsAt(*opened.store, "@PR_IPM_SUBTREE_ENTRYID\\Inbox"));
}

TEST_F(Mover, BadIdsAndAMissingAccountMoveNothing) {
  auto account = platform::MakeMemoryMapiAccount();
  ASSERT_TRUE(account->Deliver("Inbox", Message("stays")).ok());
  Designate(*account, kInboxPath);
  EXPECT_FALSE(MoveToFolder(MoveKind::kSpam));  // no account installed
  UseMapiLogon(account.get());
  std::string good = MessageIdHex();
  SetMessageIdHex("XYZ");
  EXPECT_FALSE(MoveToFolder(MoveKind::kSpam));
  SetMessageIdHex("");
  EXPECT_FALSE(MoveToFolder(MoveKind::kSpam));
  // An unknown parent counts as the Inbox, where the message indeed is.
  SetMessageIdHex(good);
  SetParentIdHex("00");
  EXPECT_TRUE(MoveToFolder(MoveKind::kSpam));
  Opened opened(*account);
  EXPECT_EQ(std::vector<std::string>{"stays"}, SubjectsAt(*opened.store, kSpamPath));
}

TEST_F(Mover, AFolderRenamedBehindTheMoversBackIsFoundAfresh) {
  auto account = platform::MakeMemoryMapiAccount();
  ASSERT_TRUE(account->Deliver("Inbox", Message("one")).ok());
  ASSERT_TRUE(account->Deliver("Inbox", Message("two")).ok());
  UseMapiLogon(account.get());
  Designate(*account, kInboxPath);
  ASSERT_TRUE(MoveToFolder(MoveKind::kSpam));
  // Another mail client renames "Spam": the folder the mover kept is gone, so the next move
  // makes "Spam" again instead of failing or reaching the renamed folder.
  ASSERT_TRUE(account->RenameFolder("Spam", "Old spam").ok());
  Designate(*account, kInboxPath);
  ASSERT_TRUE(MoveToFolder(MoveKind::kSpam));
  Opened opened(*account);
  EXPECT_EQ(std::vector<std::string>{"two"}, SubjectsAt(*opened.store, kSpamPath));
  EXPECT_EQ(std::vector<std::string>{"one"},
            SubjectsAt(*opened.store, "@PR_IPM_SUBTREE_ENTRYID\\Old spam"));
}

TEST_F(Mover, TheFirstInboxPathIsKept) {
  auto account = platform::MakeMemoryMapiAccount();
  ASSERT_TRUE(account->Deliver("Inbox", Message("one")).ok());
  UseMapiLogon(account.get());
  Designate(*account, kInboxPath);
  ASSERT_TRUE(MoveToFolder(MoveKind::kSpam));
  ASSERT_EQ("@PR_IPM_SUBTREE_ENTRYID\\Inbox", InboxPath());
  // Another account whose top has another name: the kept path still names its Inbox by the
  // well-known top, so the move back works there too.
  auto other = platform::MakeMemoryMapiAccount("Mailbox");
  ASSERT_TRUE(other->Deliver("Spam", Message("two")).ok());
  UseMapiLogon(other.get());
  Designate(*other, kSpamPath);
  EXPECT_FALSE(MoveToFolder(MoveKind::kInbox));  // its source path is "Mailbox\Spam"
  EXPECT_EQ("@PR_IPM_SUBTREE_ENTRYID\\Inbox", InboxPath());
}

}  // namespace
}  // namespace vexmor::addin
