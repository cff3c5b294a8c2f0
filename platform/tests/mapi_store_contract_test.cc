// Behaviour both account store adapters share: the same cases run on the in-memory account and
// on a real Dovecot over IMAP.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/testing/dovecot_server.h"

namespace vexmor::platform {
namespace {

template <typename T>
T Value(StatusOr<T> result) {
  EXPECT_TRUE(result.ok()) << result.status().ToString();
  return result.ok() ? std::move(result).value() : T();
}

std::string Message(const std::string& subject, const std::string& body,
                    const std::string& id = "") {
  return "From: Sender <sender@example.org>\r\nTo: a@example.net, b@example.net\r\n"
         "Message-ID: <" +
         (id.empty() ? subject : id) + "@test>\r\nSubject: " + subject + "\r\n\r\n" + body + "\r\n";
}

// One adapter under test plus a way to drop mail into it and to change it behind its back.
class Harness {
 public:
  virtual ~Harness() = default;
  virtual MapiLogon& logon() = 0;
  // "INBOX" or a top-level mailbox name.
  virtual void Deliver(const std::string& mailbox, const std::string& raw) = 0;
  virtual void Rename(const std::string& mailbox, const std::string& to) = 0;
};

class MemoryHarness final : public Harness {
 public:
  MapiLogon& logon() override { return *account_; }
  void Deliver(const std::string& mailbox, const std::string& raw) override {
    ASSERT_TRUE(account_->Deliver(mailbox, raw).ok());
  }
  void Rename(const std::string& mailbox, const std::string& to) override {
    ASSERT_TRUE(account_->RenameFolder(mailbox, to).ok());
  }

 private:
  std::unique_ptr<MemoryMapiAccount> account_ = MakeMemoryMapiAccount();
};

class DovecotHarness final : public Harness {
 public:
  explicit DovecotHarness(testing::DovecotServer& server)
      : server_(server), user_(server.FreshUser()) {
    server_.MaildirOf(user_, "INBOX");
    ImapConnectOptions options;
    options.account.host = "127.0.0.1";
    options.account.port = server_.port();
    options.account.user = user_;
    options.account.tls = ImapTls::kNone;
    options.password = "secret";
    options.timeout_seconds = 10;
    logon_ = MakeImapLogon(options);
  }
  MapiLogon& logon() override { return *logon_; }
  void Deliver(const std::string& mailbox, const std::string& raw) override {
    server_.Deliver(user_, mailbox, raw);
  }
  void Rename(const std::string& mailbox, const std::string& to) override {
    ASSERT_TRUE(server_.RenameMailbox(user_, mailbox, to));
  }

 private:
  testing::DovecotServer& server_;
  std::string user_;
  std::unique_ptr<MapiLogon> logon_;
};

class MapiStoreContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "memory") {
      harness_ = std::make_unique<MemoryHarness>();
    } else {
      testing::DovecotServer* server = testing::DovecotServer::Get();
      if (server == nullptr) GTEST_SKIP() << "dovecot is not installed";
      harness_ = std::make_unique<DovecotHarness>(*server);
    }
  }

  // Logs on and opens the default store.
  void Open() {
    session_ = Value(harness_->logon().Logon());
    ASSERT_NE(nullptr, session_);
    std::vector<StoreRow> stores = Value(session_->GetMsgStoresTable());
    ASSERT_EQ(1u, stores.size());
    EXPECT_TRUE(stores[0].default_store);
    EXPECT_EQ("Personal Folders", stores[0].display_name);
    store_ = Value(session_->OpenMsgStore(stores[0].entry_id));
    ASSERT_NE(nullptr, store_);
  }

  EntryId Top() { return Value(store_->GetWellKnownFolder(WellKnownFolder::kIpmSubtree)); }
  EntryId Inbox() { return Value(store_->GetReceiveFolder()); }
  std::vector<std::string> Subjects(const EntryId& folder) {
    std::vector<std::string> subjects;
    for (const EntryId& m : Value(store_->GetContentsTable(folder))) {
      subjects.push_back(Value(store_->GetMessageProps(m)).subject);
    }
    return subjects;
  }

  std::unique_ptr<Harness> harness_;
  std::unique_ptr<MapiSession> session_;
  std::unique_ptr<MapiStore> store_;
};

TEST_P(MapiStoreContract, RootTopAndInboxFormTheFolderTree) {
  Open();
  FolderProps root = Value(store_->GetFolderProps(store_->RootFolder()));
  EXPECT_EQ(FolderType::kRoot, root.type);
  EXPECT_EQ("", root.display_name);
  std::vector<FolderProps> below_root = Value(store_->GetHierarchyTable(store_->RootFolder()));
  ASSERT_EQ(1u, below_root.size());
  EXPECT_EQ("Top of Personal Folders", below_root[0].display_name);
  EXPECT_EQ(Top(), below_root[0].entry_id);

  FolderProps inbox = Value(store_->GetFolderProps(Inbox()));
  EXPECT_EQ("Inbox", inbox.display_name);
  EXPECT_EQ(Top(), inbox.parent_entry_id);
  EXPECT_EQ(ObjectType::kFolder, Value(store_->ObjectTypeOf(Inbox())));
  std::vector<FolderProps> below_top = Value(store_->GetHierarchyTable(Top()));
  ASSERT_FALSE(below_top.empty());
  EXPECT_EQ("Inbox", below_top[0].display_name);
  EXPECT_EQ(Inbox(), below_top[0].entry_id);

  EXPECT_FALSE(store_->GetWellKnownFolder(WellKnownFolder::kViews).ok());
  EXPECT_EQ(StatusCode::kNotFound, store_->ObjectTypeOf("garbage").status().code());
}

TEST_P(MapiStoreContract, MessagePropertiesAreDecoded) {
  harness_->Deliver(
      "INBOX",
      "From: =?ISO-8859-1?Q?Jos=E9?= <jose@example.org>\r\n"
      "To: Ann <ann@example.net>\r\nCc: bob@example.net\r\n"
      "Subject: =?UTF-8?B?Q2Fmw6kgb2ZmZXI=?=\r\nMessage-ID: <m1@test>\r\n"
      "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\nCaf=E9 at half price\r\n"
      "--b\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      "PGEgaHJlZj0iaHR0cDovL2V4YW1wbGUuY29tLyI+Q2Fmw6k8L2E+\r\n--b--\r\n");
  Open();
  std::vector<EntryId> messages = Value(store_->GetContentsTable(Inbox()));
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ(ObjectType::kMessage, Value(store_->ObjectTypeOf(messages[0])));
  MessageProps props = Value(store_->GetMessageProps(messages[0]));
  EXPECT_EQ("Caf\xC3\xA9 offer", props.subject);
  EXPECT_EQ("Caf\xE9 offer", Ansi(props.subject));
  EXPECT_EQ("Caf\xC3\xA9 at half price", props.body.substr(0, 19));
  EXPECT_EQ("<a href=\"http://example.com/\">Caf\xC3\xA9</a>", props.body_html);
  EXPECT_EQ("jose@example.org", props.sender_address);
  EXPECT_EQ((std::vector<std::string>{"ann@example.net", "bob@example.net"}),
            props.recipient_addresses);
  EXPECT_EQ("IPM.Note", props.message_class);
  EXPECT_EQ(messages[0], props.entry_id);
  EXPECT_EQ(Inbox(), props.parent_entry_id);
}

TEST_P(MapiStoreContract, InvitationsAndReportsAreNotPlainNotes) {
  const std::string head = "From: s@example.org\r\nMIME-Version: 1.0\r\n";
  harness_->Deliver("INBOX", head +
                                 "Subject: meeting\r\nContent-Type: multipart/mixed; boundary=b\r\n"
                                 "\r\n--b\r\nContent-Type: text/plain\r\n\r\nJoin us\r\n--b\r\n"
                                 "Content-Type: text/calendar; charset=utf-8\r\n"
                                 "Content-Disposition: attachment; filename=invite.ics\r\n\r\n"
                                 "BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nEND:VCALENDAR\r\n--b--\r\n");
  harness_->Deliver("INBOX", head +
                                 "Subject: bounce\r\nContent-Type: multipart/report; "
                                 "report-type=delivery-status; boundary=b\r\n\r\n--b\r\n"
                                 "Content-Type: text/plain\r\n\r\nFailed\r\n--b--\r\n");
  harness_->Deliver("INBOX", Message("note", "plain"));
  Open();
  std::vector<std::string> classes;
  for (const EntryId& m : Value(store_->GetContentsTable(Inbox()))) {
    classes.push_back(Value(store_->GetMessageProps(m)).message_class);
  }
  EXPECT_EQ(
      (std::vector<std::string>{"IPM.Schedule.Meeting.Request", "REPORT.IPM.Note.NDR", "IPM.Note"}),
      classes);
}

TEST_P(MapiStoreContract, FoldersAreCreatedOnceAndMessagesMoveBetweenThem) {
  harness_->Deliver("INBOX", Message("first", "one"));
  harness_->Deliver("INBOX", Message("second", "two"));
  Open();
  EntryId spam = Value(store_->CreateFolder(Top(), "Spam", "Personal Folder Spam Messages", true));
  EXPECT_EQ(spam, Value(store_->CreateFolder(Top(), "spam", "", true)));
  EXPECT_EQ(StatusCode::kInvalidArgument,
            store_->CreateFolder(Top(), "Spam", "", false).status().code());
  EXPECT_EQ(StatusCode::kInvalidArgument,
            store_->CreateFolder(Top(), "", "", true).status().code());
  EXPECT_EQ("Spam", Value(store_->GetFolderProps(spam)).display_name);
  // Names beyond ASCII, and the characters IMAP escapes, come back as they were given.
  const std::string accented = "R\xC3\xA9sum\xC3\xA9 & \xE2\x82\xAC \xF0\x9F\x93\xA7";
  EntryId resume = Value(store_->CreateFolder(Top(), accented, "", true));
  EXPECT_EQ(accented, Value(store_->GetFolderProps(resume)).display_name);
  EXPECT_EQ(resume, Value(store_->CreateFolder(Top(), accented, "", true)));

  std::vector<EntryId> inbox = Value(store_->GetContentsTable(Inbox()));
  ASSERT_EQ(2u, inbox.size());
  EntryId moved = Value(store_->MoveMessage(Inbox(), inbox[0], spam));
  EXPECT_EQ(std::vector<std::string>{"second"}, Subjects(Inbox()));
  EXPECT_EQ(std::vector<std::string>{"first"}, Subjects(spam));
  ASSERT_FALSE(moved.empty());
  EXPECT_EQ("first", Value(store_->GetMessageProps(moved)).subject);
  EXPECT_EQ(spam, Value(store_->GetMessageProps(moved)).parent_entry_id);
  // The old id names nothing now, and moving it again changes nothing.
  EXPECT_EQ(StatusCode::kNotFound, store_->GetMessageProps(inbox[0]).status().code());
  EXPECT_FALSE(store_->MoveMessage(Inbox(), inbox[0], spam).ok());
  // A message named with the wrong source folder is not moved.
  EXPECT_FALSE(store_->MoveMessage(Inbox(), moved, spam).ok());
  EXPECT_EQ(1u, Value(store_->GetContentsTable(spam)).size());

  EntryId posted =
      Value(store_->CreateFolder(Top(), "Spam_Posted", "Incoming Spam Messages", true));
  EntryId again = Value(store_->MoveMessage(spam, moved, posted));
  Value(store_->MoveMessage(posted, again, Inbox()));
  EXPECT_EQ(2u, Subjects(Inbox()).size());
  EXPECT_TRUE(Subjects(spam).empty());
  EXPECT_TRUE(Subjects(posted).empty());

  ASSERT_TRUE(store_->EmptyFolder(Inbox()).ok());
  EXPECT_TRUE(Subjects(Inbox()).empty());
}

TEST_P(MapiStoreContract, FolderRenamedBehindOurBackKeepsItsMessages) {
  harness_->Deliver("Spam", Message("kept", "body"));
  Open();
  std::vector<FolderProps> top = Value(store_->GetHierarchyTable(Top()));
  auto spam = std::find_if(top.begin(), top.end(),
                           [](const FolderProps& f) { return f.display_name == "Spam"; });
  ASSERT_NE(top.end(), spam);
  EntryId spam_id = spam->entry_id;
  std::vector<EntryId> messages = Value(store_->GetContentsTable(spam_id));
  ASSERT_EQ(1u, messages.size());

  harness_->Rename("Spam", "Junk");
  EXPECT_EQ(StatusCode::kNotFound, store_->GetFolderProps(spam_id).status().code());
  EXPECT_FALSE(store_->MoveMessage(spam_id, messages[0], Inbox()).ok());
  EXPECT_TRUE(Subjects(Inbox()).empty());
  top = Value(store_->GetHierarchyTable(Top()));
  auto junk = std::find_if(top.begin(), top.end(),
                           [](const FolderProps& f) { return f.display_name == "Junk"; });
  ASSERT_NE(top.end(), junk);
  EXPECT_EQ(std::vector<std::string>{"kept"}, Subjects(junk->entry_id));
}

TEST_P(MapiStoreContract, LargeBodiesAreReadAsAStreamInChunks) {
  std::string line(99, 'x');
  std::string body;
  while (body.size() < 5 * 1000 * 1000) body += line + "\r\n";
  harness_->Deliver("INBOX", Message("big", body));
  Open();
  std::vector<EntryId> messages = Value(store_->GetContentsTable(Inbox()));
  ASSERT_EQ(1u, messages.size());
  MessageProps props = Value(store_->GetMessageProps(messages[0], 100000));
  EXPECT_TRUE(props.body_too_large);
  EXPECT_TRUE(props.body.empty());
  EXPECT_EQ("big", props.subject);

  std::unique_ptr<MessageSource> stream = Value(store_->OpenBodyStream(messages[0]));
  ASSERT_NE(nullptr, stream);
  std::string buffer(100000, '\0');
  size_t total = 0;
  int full_chunks = 0;
  for (;;) {
    size_t n = Value(stream->Read(buffer.data(), buffer.size()));
    total += n;
    if (n < buffer.size()) break;
    ++full_chunks;
  }
  EXPECT_EQ(props.body_size, total);
  EXPECT_GE(total, body.size());
  EXPECT_EQ(static_cast<int>(total / 100000), full_chunks);
}

TEST_P(MapiStoreContract, MessagesOverTheBoundGiveTheirHeaderOnly) {
  std::string body;
  while (body.size() < 2 * 1000 * 1000) body += "<p>" + std::string(95, 'y') + "</p>\r\n";
  harness_->Deliver("INBOX", Message("huge", body));
  harness_->Deliver("INBOX", Message("small", "a few words"));
  Open();
  std::vector<EntryId> messages = Value(store_->GetContentsTable(Inbox()));
  ASSERT_EQ(2u, messages.size());

  MessageProps huge = Value(store_->GetMessagePropsBounded(messages[0], 499999, 100000));
  EXPECT_TRUE(huge.header_only);
  EXPECT_EQ("huge", huge.subject);
  EXPECT_EQ("sender@example.org", huge.sender_address);
  EXPECT_FALSE(huge.has_body);
  EXPECT_TRUE(huge.body.empty());
  EXPECT_EQ(messages[0], huge.entry_id);
  EXPECT_EQ(Inbox(), huge.parent_entry_id);

  // Within the bound the read is the ordinary one, body and all.
  MessageProps small = Value(store_->GetMessagePropsBounded(messages[1], 499999, 100000));
  EXPECT_FALSE(small.header_only);
  EXPECT_EQ("small", small.subject);
  EXPECT_NE(std::string::npos, small.body.find("a few words"));
  EXPECT_EQ(messages[1], small.entry_id);
}

TEST_P(MapiStoreContract, StoresFailAfterLogoff) {
  Open();
  EntryId inbox = Inbox();
  session_->Logoff();
  EXPECT_EQ(StatusCode::kUnavailable, store_->GetContentsTable(inbox).status().code());
  EXPECT_FALSE(session_->GetMsgStoresTable().ok());
}

INSTANTIATE_TEST_SUITE_P(Adapters, MapiStoreContract, ::testing::Values("memory", "dovecot"),
                         [](const auto& param_info) { return param_info.param; });

}  // namespace
}  // namespace vexmor::platform
