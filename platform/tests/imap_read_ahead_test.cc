// A burst of new mail read the way the account client reads it, one message after the other
// after listing the folder: the adapter reads ahead in a few commands, never holds a large
// message whole, gives each message its own bytes and evidence, and sends a run of moves as
// one command.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/fake_imap_server.h"
#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"

namespace vexmor::platform {
namespace {

using testing::FakeImapServer;

std::string Mail(int i, size_t body_bytes = 40) {
  return "From: sender" + std::to_string(i) + "@example.org\r\nMessage-ID: <m" + std::to_string(i) +
         "@t>\r\nSubject: message " + std::to_string(i) + "\r\nContent-Type: text/plain\r\n\r\n" +
         std::string(body_bytes, 'a' + i % 26) + "\r\n";
}

ImapConnectOptions Options(int port, std::string user) {
  ImapConnectOptions options;
  options.account.host = "127.0.0.1";
  options.account.port = port;
  options.account.user = std::move(user);
  options.account.tls = ImapTls::kNone;
  options.password = "secret";
  options.timeout_seconds = 10;
  return options;
}

struct Opened {
  std::unique_ptr<MapiSession> session;
  std::unique_ptr<MapiStore> store;
  EntryId inbox;
};

Opened Open(const ImapConnectOptions& options) {
  Opened opened;
  auto session = MakeImapLogon(options)->Logon();
  EXPECT_TRUE(session.ok()) << session.status().ToString();
  if (!session.ok()) return opened;
  opened.session = std::move(*session);
  auto stores = opened.session->GetMsgStoresTable();
  auto store = opened.session->OpenMsgStore((*stores)[0].entry_id);
  opened.store = std::move(*store);
  opened.inbox = *opened.store->GetReceiveFolder();
  return opened;
}

size_t CountSent(FakeImapServer& server, std::string_view what) {
  auto commands = server.Commands();
  return static_cast<size_t>(std::count_if(commands.begin(), commands.end(), [&](const auto& c) {
    return c.find(what) != std::string::npos;
  }));
}

TEST(ImapReadAhead, AListedBurstIsReadInFewCommandsAndItsMovesGoAsOne) {
  FakeImapServer server("IMAP4rev1 MOVE UIDPLUS");
  constexpr int kMessages = 40;
  for (int i = 0; i < kMessages; ++i) server.Add("INBOX", Mail(i));
  server.Add("Spam", Mail(1000));
  Opened opened = Open(Options(server.port(), "me"));
  ASSERT_NE(opened.store, nullptr);
  MapiStore& store = *opened.store;
  auto spam =
      store.CreateFolder(*store.GetWellKnownFolder(WellKnownFolder::kIpmSubtree), "Spam", "", true);
  ASSERT_TRUE(spam.ok());

  auto listed = store.GetContentsTable(opened.inbox);
  ASSERT_TRUE(listed.ok());
  ASSERT_EQ(listed->size(), static_cast<size_t>(kMessages));
  const size_t fetches_before = CountSent(server, "FETCH");
  store.OpenMoveBatch();
  for (int i = 0; i < kMessages; ++i) {
    auto props = store.GetMessagePropsBounded((*listed)[i], 100000, 100000);
    ASSERT_TRUE(props.ok()) << i << ": " << props.status().ToString();
    EXPECT_EQ(props->subject, "message " + std::to_string(i));
    EXPECT_EQ(props->sender_address, "sender" + std::to_string(i) + "@example.org");
    EXPECT_EQ(props->body.substr(0, 3), std::string(3, static_cast<char>('a' + i % 26)));
    EXPECT_FALSE(props->header_only);
    if (i % 2 == 0) {
      auto moved = store.MoveMessage(opened.inbox, (*listed)[i], *spam);
      ASSERT_TRUE(moved.ok()) << moved.status().ToString();
    }
  }
  ASSERT_TRUE(store.CloseMoveBatch().ok());
  // One command for the sizes and one for the bytes, instead of one per message.
  EXPECT_LE(CountSent(server, "FETCH") - fetches_before, 2u);
  EXPECT_EQ(CountSent(server, "UID MOVE"), 1u);
  EXPECT_EQ(server.Messages("INBOX").size(), static_cast<size_t>(kMessages / 2));
  EXPECT_EQ(server.Messages("Spam").size(), static_cast<size_t>(kMessages / 2 + 1));
  for (const auto& [uid, message] : server.Messages("INBOX")) {
    EXPECT_NE(message.raw.find("sender"), std::string::npos);
    EXPECT_EQ(std::stoi(message.raw.substr(message.raw.find("<m") + 2)) % 2, 1) << message.raw;
  }
}

TEST(ImapReadAhead, AMessageExpungedAfterTheListingIsGoneAndTheOthersStillRead) {
  FakeImapServer server("IMAP4rev1 MOVE UIDPLUS");
  std::vector<uint32_t> uids;
  for (int i = 0; i < 5; ++i) uids.push_back(server.Add("INBOX", Mail(i)));
  Opened opened = Open(Options(server.port(), "me"));
  ASSERT_NE(opened.store, nullptr);
  auto listed = opened.store->GetContentsTable(opened.inbox);
  ASSERT_TRUE(listed.ok() && listed->size() == 5u);
  server.Remove("INBOX", uids[0]);  // another client, before anything was read
  server.Remove("INBOX", uids[2]);
  auto gone = opened.store->GetMessagePropsBounded((*listed)[0], 100000, 100000);
  EXPECT_EQ(gone.status().code(), StatusCode::kNotFound);
  auto second = opened.store->GetMessagePropsBounded((*listed)[1], 100000, 100000);
  ASSERT_TRUE(second.ok()) << second.status().ToString();
  EXPECT_EQ(second->subject, "message 1");
  EXPECT_EQ(opened.store->GetMessagePropsBounded((*listed)[2], 100000, 100000).status().code(),
            StatusCode::kNotFound);
  auto fifth = opened.store->GetMessagePropsBounded((*listed)[4], 100000, 100000);
  ASSERT_TRUE(fifth.ok());
  EXPECT_EQ(fifth->subject, "message 4");
}

TEST(ImapReadAhead, OnDovecotLargeMessagesGiveTheirHeaderAndEvidenceMatchesOneByOne) {
  testing::DovecotServer* server = testing::DovecotServer::Get();
  if (server == nullptr) GTEST_SKIP() << "dovecot is not installed";
  const std::string user = server->FreshUser();
  constexpr size_t kWholeLimit = 3000;
  for (int i = 0; i < 8; ++i) server->Deliver(user, "INBOX", Mail(i, i == 3 ? 20000 : 100));
  const ImapConnectOptions options = Options(server->port(), user);

  Opened burst = Open(options);
  ASSERT_NE(burst.store, nullptr);
  auto listed = burst.store->GetContentsTable(burst.inbox);
  ASSERT_TRUE(listed.ok() && listed->size() == 8u);
  std::vector<MoveEvidence> evidence;
  for (int i = 0; i < 8; ++i) {
    auto props = burst.store->GetMessagePropsBounded((*listed)[i], kWholeLimit, 100000);
    ASSERT_TRUE(props.ok()) << props.status().ToString();
    EXPECT_EQ(props->subject, "message " + std::to_string(i));
    EXPECT_EQ(props->header_only, i == 3);
    EXPECT_EQ(props->body.empty(), i == 3);
    auto found = burst.store->GetEvidence((*listed)[i]);
    ASSERT_TRUE(found.ok()) << found.status().ToString();
    evidence.push_back(*found);
  }
  // The large one read on its own, whole, is still all there.
  auto whole = burst.store->GetMessageProps((*listed)[3], SIZE_MAX);
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(whole->body.size(), 20000u + 2u);

  // Each message's evidence as a session that reads one at a time (no listing) sees it.
  Opened single = Open(options);
  ASSERT_NE(single.store, nullptr);
  for (int i = 0; i < 8; ++i) {
    auto alone = single.store->GetEvidence((*listed)[i]);
    ASSERT_TRUE(alone.ok());
    EXPECT_FALSE(alone->object.empty());
    EXPECT_EQ(alone->object, evidence[i].object) << i;
  }
  EXPECT_NE(evidence[0].object, evidence[1].object);
}

}  // namespace
}  // namespace vexmor::platform
