// The IMAP adapter's connection against a real Dovecot behind a fault-injecting relay: a cut in
// the middle of a message's bytes, a server that stops answering, a stop request while waiting,
// garbage in answer to LOGIN, and the unread messages of a folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>

#include "vexmor/platform/imap_account.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/testing/dovecot_server.h"
#include "vexmor/testing/imap_fault_proxy.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace vexmor::platform {
namespace {

using testing::DovecotServer;
using testing::ImapFaultProxy;

template <typename T>
T Value(StatusOr<T> result) {
  EXPECT_TRUE(result.ok()) << result.status().ToString();
  return result.ok() ? std::move(result).value() : T();
}

std::string BigMessage(const std::string& subject) {
  std::string body;
  for (int i = 0; i < 400; ++i) body += "line " + std::to_string(i) + " of a long text\r\n";
  return "From: s@example.org\r\nSubject: " + subject + "\r\n\r\n" + body;
}

class ImapTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = DovecotServer::Get();
    if (server_ == nullptr) GTEST_SKIP() << "Dovecot is not available";
    user_ = server_->FreshUser();
    server_->MaildirOf(user_, "INBOX");
    proxy_ = std::make_unique<ImapFaultProxy>(server_->port());
  }
  void TearDown() override {
    for (int fd : stop_pipe_) {
      if (fd >= 0) ::close(fd);
    }
  }

  ImapConnectOptions Options(int timeout_seconds, int cancel_fd = -1) const {
    ImapConnectOptions options;
    options.account.host = "127.0.0.1";
    options.account.port = proxy_->port();
    options.account.user = user_;
    options.account.tls = ImapTls::kNone;
    options.password = "secret";
    options.timeout_seconds = timeout_seconds;
    options.cancel_fd = cancel_fd;
    return options;
  }

  // Logs on through the relay and opens the store; false when that failed.
  bool Open(int timeout_seconds = 10, int cancel_fd = -1) {
    logon_ = MakeImapLogon(Options(timeout_seconds, cancel_fd));
    StatusOr<std::unique_ptr<MapiSession>> session = logon_->Logon();
    if (!session.ok()) return false;
    session_ = std::move(*session);
    StatusOr<std::vector<StoreRow>> stores = session_->GetMsgStoresTable();
    if (!stores.ok()) return false;
    StatusOr<std::unique_ptr<MapiStore>> store = session_->OpenMsgStore(stores->at(0).entry_id);
    if (!store.ok()) return false;
    store_ = std::move(*store);
    StatusOr<EntryId> inbox = store_->GetReceiveFolder();
    if (!inbox.ok()) return false;
    inbox_ = *inbox;
    return true;
  }

  // Runs "call" on a thread of its own; its result once it ends, or nullopt when it has not
  // ended by the deadline (the thread is then left to finish on its own).
  template <typename T>
  std::optional<T> Within(std::chrono::seconds deadline, std::function<T()> call) {
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(call));
    std::future<T> result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (result.wait_for(deadline) != std::future_status::ready) return std::nullopt;
    return result.get();
  }

  DovecotServer* server_ = nullptr;
  std::string user_;
  std::unique_ptr<ImapFaultProxy> proxy_;
  std::unique_ptr<MapiLogon> logon_;
  std::unique_ptr<MapiSession> session_;
  std::unique_ptr<MapiStore> store_;
  EntryId inbox_;
  int stop_pipe_[2] = {-1, -1};
};

TEST_F(ImapTransport, ACutInTheMiddleOfAMessageIsAFailureThatAFreshConnectionMends) {
  server_->Deliver(user_, "INBOX", BigMessage("first"));
  server_->Deliver(user_, "INBOX", BigMessage("second"));
  ASSERT_TRUE(Open());
  StatusOr<std::vector<EntryId>> messages = store_->GetContentsTable(inbox_);
  ASSERT_TRUE(messages.ok() && messages->size() == 2u);

  // One cut: the read is tried again on a fresh connection and nothing is lost.
  proxy_->CutNextFetchLiteral(1);
  auto once = Within<StatusOr<MessageProps>>(
      std::chrono::seconds(20), [&] { return store_->GetMessageProps(messages->at(0)); });
  ASSERT_TRUE(once.has_value()) << "the read never ended";
  ASSERT_TRUE(once->ok()) << once->status().ToString();
  EXPECT_EQ((*once)->subject, "first");
  EXPECT_EQ(proxy_->cuts(), 1);
  EXPECT_EQ(store_->ConnectionFailures(), 0u);  // mended within the call

  // Cut on the retry too: a clear failure, counted, and the next call works again.
  proxy_->CutNextFetchLiteral(2);
  auto twice = Within<StatusOr<MessageProps>>(
      std::chrono::seconds(20), [&] { return store_->GetMessageProps(messages->at(1)); });
  ASSERT_TRUE(twice.has_value()) << "the read never ended";
  EXPECT_EQ(twice->status().code(), StatusCode::kUnavailable) << twice->status().ToString();
  EXPECT_EQ(proxy_->cuts(), 3);
  EXPECT_GE(store_->ConnectionFailures(), 1u);
  StatusOr<MessageProps> after = store_->GetMessageProps(messages->at(1));
  ASSERT_TRUE(after.ok()) << after.status().ToString();
  EXPECT_EQ(after->subject, "second");
}

TEST_F(ImapTransport, AServerThatStopsAnsweringTimesOutAndAStopRequestEndsTheWait) {
  server_->Deliver(user_, "INBOX", BigMessage("waiting"));
  ASSERT_TRUE(Open(1));
  proxy_->Stall(true);
  auto timed_out = Within<StatusOr<std::vector<EntryId>>>(
      std::chrono::seconds(20), [&] { return store_->GetContentsTable(inbox_); });
  ASSERT_TRUE(timed_out.has_value()) << "the wait never ended";
  EXPECT_EQ(timed_out->status().code(), StatusCode::kUnavailable);
  EXPECT_NE(timed_out->status().message().find("did not answer within 1 s"), std::string::npos)
      << timed_out->status().ToString();
  proxy_->Stall(false);

  // A long time-out, and a stop request while the call waits on the stalled server.
  ASSERT_EQ(::pipe2(stop_pipe_, O_CLOEXEC), 0);
  ASSERT_TRUE(Open(60, stop_pipe_[0]));
  proxy_->Stall(true);
  auto call = std::async(std::launch::async, [&] { return store_->GetContentsTable(inbox_); });
  ASSERT_TRUE(vexmor::testing::WaitUntil([&] { return proxy_->held() > 0; }));
  ASSERT_EQ(::write(stop_pipe_[1], "x", 1), 1);
  ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "a stop request did not end the wait";
  StatusOr<std::vector<EntryId>> stopped = call.get();
  EXPECT_EQ(stopped.status().code(), StatusCode::kUnavailable);
  EXPECT_NE(stopped.status().message().find("stopping"), std::string::npos)
      << stopped.status().ToString();
  // Stopping: no new connection is made for later calls.
  const int connections = proxy_->connections();
  proxy_->Stall(false);
  EXPECT_FALSE(store_->GetContentsTable(inbox_).ok());
  EXPECT_EQ(proxy_->connections(), connections);
}

TEST_F(ImapTransport, OverTlsAStalledServerTimesOutAndAStopRequestEndsTheWaitToo) {
  if (server_->tls_port() == 0) GTEST_SKIP() << "no certificate could be made";
  ImapFaultProxy tls_proxy(server_->tls_port());
  ASSERT_EQ(::pipe2(stop_pipe_, O_CLOEXEC), 0);
  auto logon_over_tls = [&](int timeout_seconds) {
    ImapConnectOptions options = Options(timeout_seconds, stop_pipe_[0]);
    options.account.port = tls_proxy.port();
    options.account.tls = ImapTls::kTls;
    options.account.ca_file = server_->certificate();
    return MakeImapLogon(options)->Logon();
  };
  StatusOr<std::unique_ptr<MapiSession>> session = logon_over_tls(1);
  ASSERT_TRUE(session.ok()) << session.status().ToString();
  StatusOr<std::unique_ptr<MapiStore>> store =
      (*session)->OpenMsgStore(Value((*session)->GetMsgStoresTable()).at(0).entry_id);
  ASSERT_TRUE(store.ok());
  EntryId inbox = Value((*store)->GetReceiveFolder());

  tls_proxy.Stall(true);
  auto timed_out = Within<StatusOr<std::vector<EntryId>>>(
      std::chrono::seconds(20), [&] { return (*store)->GetContentsTable(inbox); });
  ASSERT_TRUE(timed_out.has_value()) << "the wait never ended";
  EXPECT_EQ(timed_out->status().code(), StatusCode::kUnavailable);
  EXPECT_NE(timed_out->status().message().find("did not answer within 1 s"), std::string::npos)
      << timed_out->status().ToString();

  // The handshake itself waits on a stalled server: a stop request ends it.
  auto handshake = std::async(std::launch::async, [&] { return logon_over_tls(60); });
  ASSERT_TRUE(vexmor::testing::WaitUntil([&] { return tls_proxy.held() > 0; }));
  ASSERT_EQ(::write(stop_pipe_[1], "x", 1), 1);
  ASSERT_EQ(handshake.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "a stop request did not end the handshake";
  EXPECT_EQ(handshake.get().status().code(), StatusCode::kUnavailable);
  tls_proxy.Stall(false);
}

TEST_F(ImapTransport, GarbageInAnswerToLoginIsCorruptAndARealLoginThenWorks) {
  proxy_->GarbageToLogin(1);
  StatusOr<std::unique_ptr<MapiSession>> garbled = MakeImapLogon(Options(5))->Logon();
  EXPECT_EQ(garbled.status().code(), StatusCode::kCorrupt) << garbled.status().ToString();
  EXPECT_EQ(proxy_->garbage_answers(), 1);
  EXPECT_TRUE(Open(5));
}

TEST_F(ImapTransport, UnreadContentsLeaveOutWhatWasRead) {
  server_->Deliver(user_, "INBOX", BigMessage("unread"));
  std::string cur = server_->MaildirOf(user_, "INBOX") + "cur/1700000001.read.test:2,S";
  testing::WriteFileOrDie(cur, BigMessage("read"));
  ASSERT_EQ(::chown(cur.c_str(), testing::kDovecotNobody, testing::kDovecotNobody), 0);
  ASSERT_TRUE(Open());
  StatusOr<std::vector<EntryId>> all = store_->GetContentsTable(inbox_);
  StatusOr<std::vector<EntryId>> unread = store_->GetUnreadContents(inbox_);
  ASSERT_TRUE(all.ok() && unread.ok());
  EXPECT_EQ(all->size(), 2u);
  ASSERT_EQ(unread->size(), 1u);
  StatusOr<MessageProps> props = store_->GetMessageProps(unread->front());
  ASSERT_TRUE(props.ok());
  EXPECT_EQ(props->subject, "unread");
}

}  // namespace
}  // namespace vexmor::platform
