// The IMAP adapter against a scripted server: servers without MOVE or UIDPLUS, connections that
// drop in the middle of a move, a changed UIDVALIDITY, garbage, and failed logins.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/fake_imap_server.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

using testing::FakeImapServer;

template <typename T>
T Value(StatusOr<T> result) {
  EXPECT_TRUE(result.ok()) << result.status().ToString();
  return result.ok() ? std::move(result).value() : T();
}

std::string Message(const std::string& id) {
  return "From: s@example.org\r\nMessage-ID: <" + id + "@t>\r\nSubject: " + id + "\r\n\r\nbody\r\n";
}

ImapConnectOptions OptionsFor(int port, std::string password = "secret") {
  ImapConnectOptions options;
  options.account.host = "127.0.0.1";
  options.account.port = port;
  options.account.user = "me";
  options.account.tls = ImapTls::kNone;
  options.password = std::move(password);
  options.timeout_seconds = 5;
  return options;
}

// A session on the fake server with the INBOX and "Spam" folders at hand.
class Client {
 public:
  explicit Client(FakeImapServer& server) : logon_(MakeImapLogon(OptionsFor(server.port()))) {
    session_ = Value(logon_->Logon());
    if (session_ == nullptr) return;
    store_ = Value(session_->OpenMsgStore(Value(session_->GetMsgStoresTable())[0].entry_id));
    inbox_ = Value(store_->GetReceiveFolder());
    spam_ = Value(store_->CreateFolder(
        Value(store_->GetWellKnownFolder(WellKnownFolder::kIpmSubtree)), "Spam", "", true));
  }
  MapiStore& store() { return *store_; }
  const EntryId& inbox() const { return inbox_; }
  const EntryId& spam() const { return spam_; }
  EntryId InboxMessage(size_t i) { return Value(store_->GetContentsTable(inbox_)).at(i); }
  StatusOr<EntryId> MoveToSpam(const EntryId& message) {
    return store_->MoveMessage(inbox_, message, spam_);
  }

 private:
  std::unique_ptr<MapiLogon> logon_;
  std::unique_ptr<MapiSession> session_;
  std::unique_ptr<MapiStore> store_;
  EntryId inbox_;
  EntryId spam_;
};

bool Sent(FakeImapServer& server, std::string_view prefix) {
  for (const std::string& line : server.Commands()) {
    size_t space = line.find(' ');
    if (line.compare(space + 1, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

size_t Count(const std::map<uint32_t, FakeImapServer::Message>& messages) {
  return messages.size();
}

TEST(ImapMove, WithoutMoveCopiesThenExpungesOnlyThatMessage) {
  FakeImapServer server("IMAP4rev1 UIDPLUS");
  server.Add("INBOX", Message("target"));
  uint32_t other = server.Add("INBOX", Message("other"), /*deleted=*/true);
  Client client(server);
  EntryId moved = Value(client.MoveToSpam(client.InboxMessage(0)));
  EXPECT_FALSE(moved.empty());
  EXPECT_EQ("target", Value(client.store().GetMessageProps(moved)).subject);
  // Someone else's deleted message is left for its owner to expunge.
  auto inbox = server.Messages("INBOX");
  ASSERT_EQ(1u, Count(inbox));
  EXPECT_EQ(other, inbox.begin()->first);
  EXPECT_EQ(1u, Count(server.Messages("Spam")));
  EXPECT_TRUE(Sent(server, "UID COPY"));
  EXPECT_TRUE(Sent(server, "UID EXPUNGE 1"));
  EXPECT_FALSE(Sent(server, "EXPUNGE"));
  EXPECT_FALSE(Sent(server, "UID MOVE"));
}

TEST(ImapMove, WithoutMoveOrUidplusNothingIsCopied) {
  FakeImapServer server("IMAP4rev1");
  server.Add("INBOX", Message("target"));
  Client client(server);
  StatusOr<EntryId> moved = client.MoveToSpam(client.InboxMessage(0));
  EXPECT_EQ(StatusCode::kUnavailable, moved.status().code());
  EXPECT_EQ(1u, Count(server.Messages("INBOX")));
  EXPECT_EQ(0u, Count(server.Messages("Spam")));
  EXPECT_FALSE(Sent(server, "UID COPY"));
}

TEST(ImapMove, ADropMidMoveMovesOnceOrNotAtAll) {
  {
    FakeImapServer server("IMAP4rev1 UIDPLUS MOVE");
    server.Add("INBOX", Message("done-then-dropped"));
    Client client(server);
    server.AddFault({"MOVE", /*after=*/true, ""});
    EntryId moved = Value(client.MoveToSpam(client.InboxMessage(0)));
    EXPECT_EQ(0u, Count(server.Messages("INBOX")));
    EXPECT_EQ(1u, Count(server.Messages("Spam")));
    EXPECT_EQ("done-then-dropped", Value(client.store().GetMessageProps(moved)).subject);
    EXPECT_EQ(2, server.connections());
  }
  {
    FakeImapServer server("IMAP4rev1 UIDPLUS MOVE");
    server.Add("INBOX", Message("dropped-first"));
    Client client(server);
    server.AddFault({"MOVE", /*after=*/false, ""});
    StatusOr<EntryId> moved = client.MoveToSpam(client.InboxMessage(0));
    EXPECT_EQ(StatusCode::kUnavailable, moved.status().code()) << moved.status().ToString();
    EXPECT_EQ(1u, Count(server.Messages("INBOX")));
    EXPECT_EQ(0u, Count(server.Messages("Spam")));
    // The store goes on over a fresh connection.
    EXPECT_EQ(1u, Value(client.store().GetContentsTable(client.inbox())).size());
  }
}

TEST(ImapMove, ADropMidCopyDeletesTheOriginalOnlyOnceTheCopyIsFound) {
  {
    FakeImapServer server("IMAP4rev1 UIDPLUS");
    server.Add("INBOX", Message("copied-then-dropped"));
    Client client(server);
    server.AddFault({"COPY", /*after=*/true, ""});
    Value(client.MoveToSpam(client.InboxMessage(0)));
    EXPECT_EQ(0u, Count(server.Messages("INBOX")));
    EXPECT_EQ(1u, Count(server.Messages("Spam")));
  }
  {
    FakeImapServer server("IMAP4rev1 UIDPLUS");
    server.Add("INBOX", Message("dropped-before-copy"));
    Client client(server);
    server.AddFault({"COPY", /*after=*/false, ""});
    EXPECT_FALSE(client.MoveToSpam(client.InboxMessage(0)).ok());
    auto inbox = server.Messages("INBOX");
    ASSERT_EQ(1u, Count(inbox));
    EXPECT_FALSE(inbox.begin()->second.deleted);
    EXPECT_EQ(0u, Count(server.Messages("Spam")));
  }
  {
    // Copied, then the connection drops before the original is marked: the move finishes.
    FakeImapServer server("IMAP4rev1 UIDPLUS");
    server.Add("INBOX", Message("store-dropped"));
    Client client(server);
    server.AddFault({"STORE", /*after=*/false, ""});
    Value(client.MoveToSpam(client.InboxMessage(0)));
    EXPECT_EQ(0u, Count(server.Messages("INBOX")));
    EXPECT_EQ(1u, Count(server.Messages("Spam")));
  }
}

TEST(ImapMove, AnUnconfirmedCopyIsLookedForBeforeTheOriginalGoes) {
  FakeImapServer server("IMAP4rev1 UIDPLUS");
  server.set_copyuid(false);
  server.Add("INBOX", Message("no-copyuid"));
  Client client(server);
  Value(client.MoveToSpam(client.InboxMessage(0)));
  EXPECT_EQ(0u, Count(server.Messages("INBOX")));
  EXPECT_EQ(1u, Count(server.Messages("Spam")));

  // Without a Message-ID the copy cannot be told apart: the original stays.
  server.Add("INBOX", "From: s@example.org\r\nSubject: anonymous\r\n\r\nbody\r\n");
  EXPECT_EQ(StatusCode::kCorrupt, client.MoveToSpam(client.InboxMessage(0)).status().code());
  auto inbox = server.Messages("INBOX");
  ASSERT_EQ(1u, Count(inbox));
  EXPECT_FALSE(inbox.begin()->second.deleted);
}

TEST(ImapReads, AReadThatLosesItsConnectionIsRetriedOnce) {
  FakeImapServer server("IMAP4rev1 UIDPLUS MOVE");
  server.Add("INBOX", Message("target"));
  Client client(server);
  EntryId message = client.InboxMessage(0);
  server.AddFault({"FETCH", false, ""});
  EXPECT_EQ("target", Value(client.store().GetMessageProps(message)).subject);
  EXPECT_EQ(2, server.connections());
}

TEST(ImapMove, AChangedUidValidityMovesNothing) {
  FakeImapServer server("IMAP4rev1 UIDPLUS MOVE");
  server.Add("INBOX", Message("target"));
  Client client(server);
  EntryId message = client.InboxMessage(0);
  server.SetUidValidity("INBOX", 99);
  StatusOr<EntryId> moved = client.MoveToSpam(message);
  EXPECT_EQ(StatusCode::kNotFound, moved.status().code());
  EXPECT_EQ(StatusCode::kNotFound, client.store().GetMessageProps(message).status().code());
  EXPECT_EQ(1u, Count(server.Messages("INBOX")));
  EXPECT_EQ(0u, Count(server.Messages("Spam")));
  EXPECT_FALSE(Sent(server, "UID MOVE"));
}

// A message just read is moved without fetching its header again; one that left meanwhile
// (another client took it) is reported gone, and nothing lands in "Spam" for it.
TEST(ImapMove, AMessageJustReadMovesWithoutAnotherFetchAndOneGoneIsNotFound) {
  FakeImapServer server("IMAP4rev1 UIDPLUS MOVE");
  server.Add("INBOX", Message("first"));
  uint32_t taken = server.Add("INBOX", Message("second"));
  Client client(server);
  EntryId first = client.InboxMessage(0);
  EntryId second = client.InboxMessage(1);
  EXPECT_EQ("first", Value(client.store().GetMessageProps(first)).subject);
  EntryId moved = Value(client.MoveToSpam(first));
  EXPECT_EQ("first", Value(client.store().GetMessageProps(moved)).subject);
  EXPECT_FALSE(Sent(server, "UID FETCH 1 (UID BODY.PEEK[HEADER])"));

  EXPECT_EQ("second", Value(client.store().GetMessageProps(second)).subject);
  server.Remove("INBOX", taken);
  EXPECT_EQ(StatusCode::kNotFound, client.MoveToSpam(second).status().code());
  EXPECT_EQ(0u, Count(server.Messages("INBOX")));
  EXPECT_EQ(1u, Count(server.Messages("Spam")));
}

// A run of moves goes to the server as one command, before anything that lists folders and
// at the close; a message taken meanwhile is no error, and a dropped connection moves each
// message once or leaves it where it was, never twice and never lost.
TEST(ImapMove, ABatchSendsItsMovesTogetherAndADropLosesNothing) {
  for (bool after : {false, true}) {
    SCOPED_TRACE(after ? "dropped after the move" : "dropped before the move");
    FakeImapServer server("IMAP4rev1 UIDPLUS MOVE");
    for (const char* id : {"a", "b", "c", "d", "e"}) server.Add("INBOX", Message(id));
    Client client(server);
    std::vector<EntryId> inbox = Value(client.store().GetContentsTable(client.inbox()));
    client.store().OpenMoveBatch();
    auto read_and_move = [&](size_t i) {
      EXPECT_EQ(std::string(1, static_cast<char>('a' + i)),
                Value(client.store().GetMessageProps(inbox[i])).subject);
      EXPECT_TRUE(client.MoveToSpam(inbox[i]).ok());
    };
    read_and_move(0);
    read_and_move(1);
    EXPECT_EQ(5u, Count(server.Messages("INBOX")));  // queued, not sent yet
    // A listing sees the folders as the moves leave them.
    EXPECT_EQ(3u, Value(client.store().GetContentsTable(client.inbox())).size());
    EXPECT_EQ(2u, Count(server.Messages("Spam")));

    read_and_move(2);
    read_and_move(3);
    read_and_move(4);
    server.Remove("INBOX", 4);  // another client takes "d" before the queue is sent
    server.AddFault({"MOVE", after, ""});
    EXPECT_TRUE(client.store().CloseMoveBatch().ok());
    EXPECT_EQ(2, server.connections());
    EXPECT_EQ(0u, Count(server.Messages("INBOX")));
    std::multiset<std::string> subjects;
    for (const auto& [uid, message] : server.Messages("Spam")) {
      subjects.insert(message.raw.substr(message.raw.find("Subject: ") + 9, 1));
    }
    EXPECT_EQ(subjects, (std::multiset<std::string>{"a", "b", "c", "e"}));
    // Outside a batch a move is sent at once.
    server.Add("INBOX", Message("f"));
    EXPECT_TRUE(client.MoveToSpam(client.InboxMessage(0)).ok());
    EXPECT_EQ(0u, Count(server.Messages("INBOX")));
  }
}

TEST(ImapErrors, GarbageAndFailedLoginsAreClearErrors) {
  {
    FakeImapServer server("IMAP4rev1");
    server.set_greeting("HTTP/1.1 400 Bad Request");
    StatusOr<std::unique_ptr<MapiSession>> session =
        MakeImapLogon(OptionsFor(server.port()))->Logon();
    EXPECT_EQ(StatusCode::kCorrupt, session.status().code());
  }
  {
    FakeImapServer server("IMAP4rev1 UIDPLUS MOVE");
    server.Add("INBOX", Message("target"));
    Client client(server);
    // Garbage ends the connection; a read tries once more on a fresh one.
    server.AddFault({"SEARCH", false, "* SEARCH \x01\x02 (((("});
    server.AddFault({"SEARCH", false, "* SEARCH \x01\x02 (((("});
    EXPECT_EQ(StatusCode::kCorrupt,
              client.store().GetContentsTable(client.inbox()).status().code());
    EXPECT_EQ(1u, Value(client.store().GetContentsTable(client.inbox())).size());
    EXPECT_EQ(3, server.connections());
  }
  {
    FakeImapServer server("IMAP4rev1");
    StatusOr<std::unique_ptr<MapiSession>> session =
        MakeImapLogon(OptionsFor(server.port(), "wrong"))->Logon();
    EXPECT_EQ(StatusCode::kInvalidArgument, session.status().code());
    EXPECT_NE(std::string::npos, session.status().message().find("wrong user name or password"));
    EXPECT_EQ(std::string::npos, session.status().message().find("secret"));
  }
  StatusOr<std::unique_ptr<MapiSession>> unreachable =
      MakeImapLogon(OptionsFor(testing::UnusedLoopbackPort()))->Logon();
  EXPECT_EQ(StatusCode::kUnavailable, unreachable.status().code());
  EXPECT_NE(std::string::npos, unreachable.status().message().find("cannot be reached"));
}

TEST(ImapFolders, CommentsAreKeptWhereTheServerHasMetadata) {
  FakeImapServer server("IMAP4rev1 UIDPLUS MOVE METADATA");
  Client client(server);
  EXPECT_TRUE(Sent(server, "CREATE Spam"));
  EXPECT_FALSE(Sent(server, "SETMETADATA"));  // no comment was given
  EntryId top = Value(client.store().GetWellKnownFolder(WellKnownFolder::kIpmSubtree));
  Value(client.store().CreateFolder(top, "Spam_Posted", "Incoming Spam Messages", true));
  EXPECT_TRUE(
      Sent(server, "SETMETADATA \"Spam_Posted\" (/private/comment \"Incoming Spam Messages\")"));
  EXPECT_EQ(StatusCode::kInvalidArgument,
            client.store().CreateFolder(top, "a\"b", "", true).status().code());
}

TEST(ImapFolders, FoldersBelowAPersonalPrefixHangBelowTheTop) {
  FakeImapServer server("IMAP4rev1 UIDPLUS MOVE NAMESPACE");
  server.set_namespace("((\"INBOX/\" \"/\")) NIL NIL");
  server.Add("INBOX/Archive", Message("old"));
  server.Add("INBOX", Message("target"));
  Client client(server);  // makes "Spam"
  EXPECT_TRUE(Sent(server, "CREATE INBOX/Spam") || Sent(server, "CREATE \"INBOX/Spam\""));
  EntryId top = Value(client.store().GetWellKnownFolder(WellKnownFolder::kIpmSubtree));
  std::vector<std::string> names;
  for (const FolderProps& f : Value(client.store().GetHierarchyTable(top))) {
    names.push_back(f.display_name);
    EXPECT_EQ(top, f.parent_entry_id);
  }
  EXPECT_EQ((std::vector<std::string>{"Inbox", "Archive", "Spam"}), names);
  EXPECT_TRUE(Value(client.store().GetHierarchyTable(client.inbox())).empty());
  EXPECT_EQ(top, Value(client.store().GetFolderProps(client.spam())).parent_entry_id);
  Value(client.MoveToSpam(client.InboxMessage(0)));
  EXPECT_EQ(1u, Count(server.Messages("INBOX/Spam")));
}

TEST(ImapTlsCheck, ATlsClientRefusesAPlainServer) {
  FakeImapServer server("IMAP4rev1");
  ImapConnectOptions options = OptionsFor(server.port());
  options.account.tls = ImapTls::kTls;
  StatusOr<std::unique_ptr<MapiSession>> session = MakeImapLogon(options)->Logon();
  EXPECT_EQ(StatusCode::kUnavailable, session.status().code());
  EXPECT_NE(std::string::npos, session.status().message().find("TLS"));
  EXPECT_FALSE(Sent(server, "LOGIN"));
}

}  // namespace
}  // namespace vexmor::platform
