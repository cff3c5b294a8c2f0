// The account client's verdict line: the texts a sender wrote stay one bounded line of JSON, and
// the line names the folder and the rule in words beside the fields the local client's have.
#include "account_verdict.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "vexmor/log/verdict_fields.h"

namespace vexmor::addin {
namespace {

TEST(AccountVerdictTest, SendersTextsStayOneBoundedLineOfJson) {
  AccountVerdict verdict;
  verdict.judged = true;
  verdict.mailbox = "INBOX";
  verdict.uid = 17;
  verdict.message_id = "<\"x\"\n\\@evil.example>";
  verdict.subject = "Line one\r\nX-Injected: yes " + std::string(3000, 'z');
  verdict.sender = "evil@evil.example";
  verdict.spam = true;
  verdict.rule = "blocked-domain";
  verdict.asked.push_back({"content", "", -5, false});

  const std::string line = AccountVerdictLine(verdict);
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  EXPECT_EQ(line.back(), '\n');
  const nlohmann::json parsed = nlohmann::json::parse(line);
  EXPECT_EQ(parsed["message"], 17);
  EXPECT_EQ(parsed["mailbox"], "INBOX");
  EXPECT_EQ(parsed["folder_name"], "Inbox");
  EXPECT_EQ(parsed["message_id"], verdict.message_id);
  const std::string subject = parsed["subject"];
  EXPECT_LE(subject.size(), log::kVerdictTextLimit);
  EXPECT_TRUE(subject.starts_with("Line one\r\nX-Injected: yes zzz"));
  EXPECT_EQ(parsed["rule"], "blocked-domain");
  EXPECT_EQ(parsed["rule_text"], "the sender's domain is on the blocked domains list");
  EXPECT_EQ(parsed["signatures"][0]["signature"], -5);

  // Another mailbox keeps its own name.
  verdict.mailbox = "Lists/Debian";
  EXPECT_EQ(nlohmann::json::parse(AccountVerdictLine(verdict))["folder_name"], "Lists/Debian");
}

}  // namespace
}  // namespace vexmor::addin
