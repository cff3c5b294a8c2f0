// The verdict log's line: whatever a sender writes into the Subject or the Message-ID, a line
// stays one line of valid JSON, with every text held to its bound, and names the folder and
// the rule in words beside the fields "vexmor why" reads.
#include "vexmor/hook/verdict_log.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "vexmor/log/verdict_fields.h"

namespace vexmor::hook {
namespace {

using namespace std::chrono_literals;

TEST(VerdictLogTest, SendersTextsStayOneBoundedLineOfJson) {
  // Quotes, a backslash, a header folded over lines, control bytes and Windows-1252 letters.
  const std::string hostile_id = "<\"a\\\\b\"\x01\x7f@evil.example>";
  const std::string long_subject = "Cheap \"pills\"\t\x93now\x94 " + std::string(5000, 'x');
  const std::string header =
      "From: Evil <evil@evil.example>\r\n"
      "Message-ID: " +
      hostile_id +
      "\r\n"
      "Subject: folded\r\n  over\r\n\r\n";
  VerdictTrace trace;
  trace.rule = "link-signature";
  trace.sender = "evil@evil.example";
  trace.asked.push_back({"link", "bargain-pills.biz", -1234567, true});
  trace.asked.push_back({"content", "", std::nullopt, false});

  const auto when = std::chrono::system_clock::time_point(1765100000s);
  const std::string line = VerdictLine(when, 4, 12, "Inbox", header, long_subject, true, trace);
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  EXPECT_LT(line.size(), 4u * log::kVerdictTextLimit);

  const nlohmann::json parsed = nlohmann::json::parse(line);
  EXPECT_EQ(parsed["time"], "2025-12-07T09:33:20Z");
  EXPECT_EQ(parsed["folder"], 4);
  EXPECT_EQ(parsed["message"], 12);
  EXPECT_EQ(parsed["folder_name"], "Inbox");
  EXPECT_EQ(parsed["message_id"], hostile_id);
  const std::string subject = parsed["subject"];
  EXPECT_LE(subject.size(), log::kVerdictTextLimit);
  EXPECT_TRUE(subject.starts_with("Cheap \"pills\"\t\xe2\x80\x9cnow\xe2\x80\x9d xxx"));
  EXPECT_TRUE(subject.ends_with("x..."));
  EXPECT_EQ(parsed["sender"], "evil@evil.example");
  EXPECT_EQ(parsed["verdict"], "spam");
  EXPECT_EQ(parsed["rule"], "link-signature");
  EXPECT_EQ(parsed["rule_text"], "its link domain was reported as spam by others");
  ASSERT_EQ(parsed["signatures"].size(), 2u);
  EXPECT_EQ(parsed["signatures"][0]["text"], "bargain-pills.biz");
  EXPECT_EQ(parsed["signatures"][0]["signature"], -1234567);
  EXPECT_EQ(parsed["signatures"][0]["spam"], true);
  EXPECT_FALSE(parsed["signatures"][1].contains("signature"));

  // Without a subject of its own the header's (unfolded) one is taken; no rule is said so.
  trace.rule = "none";
  const nlohmann::json plain =
      nlohmann::json::parse(VerdictLine(when, 6, 1, "Entw\xc3\xbcrfe", header, "", false, trace));
  EXPECT_EQ(plain["subject"], "folded over");
  EXPECT_EQ(plain["verdict"], "normal");
  EXPECT_EQ(plain["rule_text"], "no rule found it to be spam");
  // A folder's name is the store's UTF-8, kept as it is.
  EXPECT_EQ(plain["folder_name"], "Entw\xc3\xbcrfe");
}

TEST(VerdictLogTest, ACutTextNeverSplitsACharacter) {
  // "é" is two bytes in UTF-8: a cut that would fall inside it steps back before it.
  std::string text(log::kVerdictTextLimit - 4, 'a');
  text += "\xc3\xa9\xc3\xa9\xc3\xa9";
  const std::string bounded = log::BoundedText(text);
  EXPECT_LE(bounded.size(), log::kVerdictTextLimit);
  EXPECT_TRUE(bounded.ends_with("a..."));
  // The JSON writer refuses a split character (invalid UTF-8) by throwing.
  std::string dumped;
  EXPECT_NO_THROW(dumped = nlohmann::json(bounded).dump());
  EXPECT_EQ(log::BoundedText("short"), "short");
}

}  // namespace
}  // namespace vexmor::hook
