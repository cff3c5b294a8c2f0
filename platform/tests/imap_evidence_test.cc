// What the IMAP adapter shows of a message for telling a person's move from a delivery, on a
// real Dovecot: the server's id of the stored message survives MOVE and is new for a delivery
// of the very same bytes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/testing/dovecot_server.h"

namespace vexmor::platform {
namespace {

TEST(ImapEvidence, TheServersIdSurvivesAMoveAndIsNewForEveryDelivery) {
  testing::DovecotServer* server = testing::DovecotServer::Get();
  if (server == nullptr) GTEST_SKIP() << "dovecot is not installed";
  const std::string user = server->FreshUser();
  const std::string message =
      "From: offers@campaign.example\nMessage-ID: <same@campaign.example>\nSubject: Best "
      "prices\n\nOrder now.\n";
  server->Deliver(user, "INBOX", message);
  ImapConnectOptions options;
  options.account.host = "127.0.0.1";
  options.account.port = server->port();
  options.account.user = user;
  options.account.tls = ImapTls::kNone;
  options.password = "secret";
  options.timeout_seconds = 10;
  auto session = MakeImapLogon(options)->Logon();
  ASSERT_TRUE(session.ok()) << session.status().ToString();
  auto stores = (*session)->GetMsgStoresTable();
  ASSERT_TRUE(stores.ok() && !stores->empty());
  auto opened = (*session)->OpenMsgStore((*stores)[0].entry_id);
  ASSERT_TRUE(opened.ok());
  MapiStore& store = **opened;
  auto inbox = store.GetReceiveFolder();
  auto top = store.GetWellKnownFolder(WellKnownFolder::kIpmSubtree);
  ASSERT_TRUE(inbox.ok() && top.ok());
  auto spam = store.CreateFolder(*top, "Spam", "", true);
  ASSERT_TRUE(spam.ok());

  auto listed = store.GetContentsTable(*inbox);
  ASSERT_TRUE(listed.ok() && listed->size() == 1u);
  auto first = store.GetEvidence(listed->front());
  ASSERT_TRUE(first.ok()) << first.status().ToString();
  ASSERT_FALSE(first->object.empty());
  EXPECT_FALSE(first->read);

  // Moved into "Spam": the same stored message.
  auto moved = store.MoveMessage(*inbox, listed->front(), *spam);
  ASSERT_TRUE(moved.ok());
  auto in_spam = store.GetContentsTable(*spam);
  ASSERT_TRUE(in_spam.ok() && in_spam->size() == 1u);
  auto after_move = store.GetEvidence(in_spam->front());
  ASSERT_TRUE(after_move.ok());
  EXPECT_EQ(after_move->object, first->object);

  // The same bytes delivered again, in the same second: another stored message.
  server->Deliver(user, "INBOX", message);
  auto again = store.GetContentsTable(*inbox);
  ASSERT_TRUE(again.ok() && again->size() == 1u);
  auto resent = store.GetEvidence(again->front());
  ASSERT_TRUE(resent.ok());
  EXPECT_FALSE(resent->object.empty());
  EXPECT_NE(resent->object, first->object);
  (*session)->Logoff();
}

}  // namespace
}  // namespace vexmor::platform
