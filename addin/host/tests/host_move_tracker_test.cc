// The add-in host's move tracker on an in-memory account, whose stored messages keep their
// object through a move and get a new one by delivery, as on the IMAP server: a person's move
// out of "Spam" is seen whenever it happens, even before the host lists "Spam" again, and a
// sender's resent copy is new mail.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host_move_tracker.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/platform/registry.h"

namespace {

namespace platform = vexmor::platform;
using platform::EntryId;
using vexmor::addin_host::MoveTracker;

constexpr char kSpamMail[] =
    "Message-ID: <pills@sender.example>\nFrom: a@sender.example\nSubject: Meds\n\nbuy now\n";

struct Account {
  std::unique_ptr<platform::MemoryMapiAccount> account = platform::MakeMemoryMapiAccount();
  std::unique_ptr<platform::MapiSession> session;
  std::unique_ptr<platform::MapiStore> host;    // the host's connection
  std::unique_ptr<platform::MapiStore> person;  // another reader on the same account
  EntryId inbox, spam;

  Account() {
    auto logged_on = account->Logon();
    session = std::move(*logged_on);
    const EntryId id = (*session->GetMsgStoresTable()).front().entry_id;
    auto first = session->OpenMsgStore(id);
    auto second = session->OpenMsgStore(id);
    host = std::move(*first);
    person = std::move(*second);
    inbox = *host->GetReceiveFolder();
    EntryId top = *host->GetWellKnownFolder(platform::WellKnownFolder::kIpmSubtree);
    spam = *host->CreateFolder(top, "Spam", "", true);
  }
  EntryId Only(const EntryId& folder) {
    std::vector<EntryId> listed = *host->GetContentsTable(folder);
    EXPECT_EQ(listed.size(), 1u);
    return listed.empty() ? EntryId() : listed.front();
  }
};

TEST(HostMoveTracker, APersonsMoveOutOfSpamIsSeenBeforeAndAfterTheHostListsSpam) {
  Account a;
  std::unique_ptr<platform::Registry> registry = platform::MakeMemoryRegistry();
  MoveTracker tracker(*a.host, *registry, "");
  tracker.RefreshSpam();

  // The host judges new mail and files it; the person takes it back out at once, before the
  // host looked at "Spam" again.
  const EntryId first = *a.account->Deliver("Inbox", kSpamMail);
  ASSERT_EQ(tracker.ClassifyInbox(first), MoveTracker::Arrival::kNew);
  ASSERT_TRUE(a.host->MoveMessage(a.inbox, first, a.spam).ok());
  tracker.Filed({{first, a.spam}});
  ASSERT_TRUE(a.person->MoveMessage(a.spam, a.Only(a.spam), a.inbox).ok());
  const EntryId back = a.Only(a.inbox);
  EXPECT_EQ(tracker.ClassifyInbox(back), MoveTracker::Arrival::kFromSpam);

  // The same, the host having listed "Spam" between its filing and the person's move.
  const EntryId second = *a.account->Deliver("Inbox", kSpamMail);
  ASSERT_EQ(tracker.ClassifyInbox(second), MoveTracker::Arrival::kNew);
  ASSERT_TRUE(a.host->MoveMessage(a.inbox, second, a.spam).ok());
  tracker.Filed({{second, a.spam}});
  tracker.RefreshSpam();
  ASSERT_TRUE(a.person->MoveMessage(a.spam, a.Only(a.spam), a.inbox).ok());
  tracker.RefreshSpam();
  std::vector<EntryId> inbox = *a.host->GetContentsTable(a.inbox);
  ASSERT_EQ(inbox.size(), 2u);
  EXPECT_EQ(tracker.ClassifyInbox(inbox.back()), MoveTracker::Arrival::kFromSpam);

  // The sender resends the very bytes while a filed copy lies in "Spam": new mail, judged.
  const EntryId third = *a.account->Deliver("Inbox", kSpamMail);
  ASSERT_EQ(tracker.ClassifyInbox(third), MoveTracker::Arrival::kNew);
  ASSERT_TRUE(a.host->MoveMessage(a.inbox, third, a.spam).ok());
  tracker.Filed({{third, a.spam}});
  const EntryId resent = *a.account->Deliver("Inbox", kSpamMail);
  EXPECT_EQ(tracker.ClassifyInbox(resent), MoveTracker::Arrival::kNew);

  // Filed elsewhere than "Spam", a message coming back is no rescue from it.
  EntryId top = *a.host->GetWellKnownFolder(platform::WellKnownFolder::kIpmSubtree);
  EntryId other = *a.host->CreateFolder(top, "Later", "", true);
  ASSERT_TRUE(a.host->MoveMessage(a.inbox, resent, other).ok());
  tracker.Filed({{resent, other}});
  ASSERT_TRUE(a.person->MoveMessage(other, a.Only(other), a.inbox).ok());
  inbox = *a.host->GetContentsTable(a.inbox);
  EXPECT_EQ(tracker.ClassifyInbox(inbox.back()), MoveTracker::Arrival::kNew);
}

}  // namespace
