// The Maildir++ adapter while another process delivers, files and flags mail in the same
// folder: walks never fail, and an id never changes or changes its message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

using vexmor::testing::TempDir;

// The outside process: delivers "count" messages the proper way (tmp/, then new/), takes
// every other one into cur/ and flips its seen flag back and forth. Only POSIX calls, so it
// is safe after fork().
void BusyReader(const std::string& root, int count) {
  for (int i = 0; i < count; ++i) {
    std::string base = std::to_string(1700000000 + i) + ".M" + std::to_string(i) + "P9.busy";
    std::string body = "Message-Tag: " + std::to_string(i) + "\n\nbody\n";
    std::string tmp = root + "tmp/" + base;
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) ::_exit(3);
    if (::write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) ::_exit(4);
    ::close(fd);
    std::string fresh = root + "new/" + base;
    if (::rename(tmp.c_str(), fresh.c_str()) != 0) ::_exit(5);
    if (i % 2 == 0) {
      std::string seen = root + "cur/" + base + ":2,S";
      std::string unseen = root + "cur/" + base + ":2,";
      ::rename(fresh.c_str(), seen.c_str());
      for (int flip = 0; flip < 3; ++flip) {
        ::rename(seen.c_str(), unseen.c_str());
        ::rename(unseen.c_str(), seen.c_str());
      }
    }
  }
  ::_exit(0);
}

TEST(MaildirConcurrency, WalksDuringDeliveryAndFlagFlipsKeepIds) {
  TempDir dir;
  for (const char* sub : {"cur", "new", "tmp"}) ASSERT_TRUE(MakeDirectories(dir.path() + sub).ok());
  std::vector<std::string> problems;
  MaildirOptions options;
  options.report = [&problems](std::string_view p) { problems.emplace_back(p); };
  auto opened = OpenMaildirStore(dir.path(), options);
  ASSERT_TRUE(opened.ok());
  MailStore& store = **opened;

  constexpr int kMessages = 400;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) BusyReader(dir.path(), kMessages);

  std::map<MessageId, std::string> tag_of;  // the first source seen for each id
  std::vector<MessageId> previous;
  int walks = 0;
  bool done = false;
  while (!done) {
    int status = 0;
    done = ::waitpid(child, &status, WNOHANG) == child;
    if (done) {
      ASSERT_TRUE(WIFEXITED(status));
      ASSERT_EQ(0, WEXITSTATUS(status));
    }
    auto list = store.ListMessages(kInboxFolderId);
    ASSERT_TRUE(list.ok()) << list.status().ToString();
    ++walks;
    std::vector<MessageId> ids;
    for (const MessageInfo& m : *list) ids.push_back(m.id);
    // Nothing leaves the folder, so every id seen before is still there.
    for (MessageId id : previous) {
      EXPECT_TRUE(std::binary_search(ids.begin(), ids.end(), id)) << "id " << id << " lost";
    }
    previous = ids;
    for (const MessageInfo& m : *list) {
      auto source = store.OpenMessage(kInboxFolderId, m.id);
      if (!source.ok()) continue;  // renamed twice between the walk and the open: next time
      std::string text = ReadSource(**source, 40).value();
      auto [it, fresh] = tag_of.emplace(m.id, text);
      EXPECT_EQ(it->second, text) << "id " << m.id << " changed its message";
      // A read mark of ours may race the reader's renames; it must never lose the message.
      (void)store.MarkRead(kInboxFolderId, m.id, m.id % 3 == 0);
    }
  }
  auto final_list = store.ListMessages(kInboxFolderId).value();
  ASSERT_EQ(static_cast<size_t>(kMessages), final_list.size());
  for (size_t i = 0; i < final_list.size(); ++i) EXPECT_EQ(i + 1, final_list[i].id);
  EXPECT_GT(walks, 1);
  EXPECT_TRUE(problems.empty()) << problems.front();
}

}  // namespace
}  // namespace vexmor::platform
