// Messages on the whole road: the library loaded by name, a real signature server on loopback,
// a Maildir++ tree and the sender-list store in temporary folders. Each test checks where the
// messages end up, the journal, the log lines and the state keys.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/hook/mail_analysis.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/platform/profile.h"
#include "vexmor/testing/e2e_support.h"
#include "vexmor/validate/CCheckSum.h"

namespace vexmor::e2e {
namespace {

using hook::SenderList;

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool Contains(const std::vector<std::string>& entries, const std::string& text) {
  return std::find(entries.begin(), entries.end(), text) != entries.end();
}

constexpr char kRuleTwo[] =
    "Rule II applied. E-mail found to be a spam e-mail and moved to spam folder.";
constexpr char kRuleThree[] =
    "Rule III applied. E-mail found to be a spam e-mail and moved to spam folder.";
constexpr char kRuleFour[] =
    "Rule IV applied. E-mail found to be a spam e-mail and moved to spam folder.";
constexpr char kRuleSix[] =
    "Rule VI applied. E-mail found to be a spam e-mail and moved to spam folder.";

class HookEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef VEXMOR_SIGD_PATH
    GTEST_SKIP() << "the build has no vexmor-sigd";
#else
    ASSERT_TRUE(library_.loaded()) << library_.error();
    server_ = std::make_unique<SigdProcess>(VEXMOR_SIGD_PATH);
    ASSERT_TRUE(server_->running());
    installation_.UseServer(server_->host());
#endif
  }

  std::string Dir() const {
    return installation_.install_dir();
  }

  // Posts signatures the way another user's report would.
  void SeedLink(const std::string& domain) {
    CCheckSum sum;
    sum.Arrange_SpamMail_Url(domain);
    ASSERT_TRUE(sum.UpdateCheckSumValue_Url(Dir()));
  }
  bool ServerKnowsLink(const std::string& domain) {
    CCheckSum sum;
    sum.Arrange_SpamMail_Url(domain);
    return sum.CompareCheckSumValue_Url(Dir());
  }
  void SeedContent(const hook::MessageTexts& texts) {
    std::unique_ptr<platform::HtmlText> html = platform::MakeGumboHtmlText();
    hook::HtmlRenderContext context;
    context.html = html.get();
    std::string content = hook::NormaliseContent(context, texts.kind, texts.subject, texts.body);
    ASSERT_FALSE(content.empty());
    CCheckSum sum;
    sum.Arrange_SpamMail(content);
    ASSERT_TRUE(sum.UpdateCheckSumValue(Dir()));
  }

  // Delivers into the Inbox and runs the incoming export; returns the message id.
  int32_t Receive(const TestMessage& message) {
    int32_t id = installation_.Deliver(4, message.source);
    library_.Incoming(id, 4, static_cast<int32_t>(installation_.FolderByName("Spam")),
                      message.texts);
    return id;
  }

  Installation installation_;
  HookLibrary library_{VEXMOR_HOOK_LIBRARY};
  std::unique_ptr<SigdProcess> server_;
};

TEST_F(HookEndToEndTest, EveryRuleOnTheIncomingRoad) {
  SeedLink("known-link.example");
  TestMessage known_content =
      MakeMessage("unknown@random.example", "Lowest mortgage rates",
                  "Refinance today and save thousands, no questions asked.");
  SeedContent(known_content.texts);
  hook::SenderLists lists(Dir());
  lists.Add(SenderList::kApprovedIds, "approved@friends.example");
  lists.Add(SenderList::kApprovedDomains, "partner.example");
  lists.Add(SenderList::kBlockedIds, "blocked@bad.example");
  lists.Add(SenderList::kBlockedDomains, "worse.example");
  installation_.ClearJournal();

  struct Case {
    std::string name;
    TestMessage message;
    bool spam;
    std::string journal;   // the rule's entry, or "" when a server answer decides
    std::string log_line;  // the filter line, or "" for normal mail
  };
  std::string link = "<a href=\"http://www.known-link.example/buy\">offer</a>";
  std::vector<Case> cases = {
      {"approved sender", MakeMessage("approved@friends.example", "Caf\xE9 tonight?", "see you"),
       false, "Rule I applied.E-mail treated as normal e-mail.", ""},
      {"approved domain", MakeMessage("sales@partner.example", "Quote", "the figures", 0, "gb2312"),
       false, "Rule V applied.E-mail treated as normal e-mail.", ""},
      {"foreign charset", MakeMessage("x@stranger.example", "Hello", "privet", 0, "KOI8-R"), true,
       kRuleTwo, "I-Second"},
      {"accented subject", MakeMessage("y@stranger.example", "R\xE9sum\xE9", "plain text"), true,
       kRuleTwo, "I-Second"},
      {"blocked sender", MakeMessage("blocked@bad.example", "Hi", "plain text"), true, kRuleThree,
       "I-Third"},
      {"blocked domain", MakeMessage("anyone@worse.example", "Hi", "plain text"), true, kRuleSix,
       "I-Third"},
      {"keyword with link",
       MakeMessage("z@pills.example", "Pharmacy",
                   "<html><body>Cheap Vi<b>agra</b> <a href=\"http://shop.pills.example/\">"
                   "here</a></body></html>",
                   1),
       true, kRuleFour, "I-Fourth"},
      {"known link",
       MakeMessage("w@sender.example", "Offer", "<html><body>Click " + link + "</body></html>", 1),
       true, "", "I-Fifth"},
      {"known content", known_content, true, "", "I-Sixth"},
  };
  std::string corpus =
      testing::ReadFileOrEmpty(testing::TestDataDir() + "/corpus/easy-ham-1_00001.eml");
  ASSERT_FALSE(corpus.empty());
  cases.push_back({"clean corpus mail", {corpus, TextsOf(corpus)}, false, "", ""});

  std::vector<uint32_t> expected_inbox;
  int spam_count = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t log_before = installation_.Log().size();
    int32_t id = Receive(c.message);
    std::string log = installation_.Log().substr(log_before);
    std::vector<std::string> journal = installation_.Journal();
    if (!c.journal.empty()) {
      ASSERT_FALSE(journal.empty());
      EXPECT_EQ(journal.back(), c.journal);
    }
    EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon"), c.spam ? "1" : "0");
    EXPECT_NE(log.find("[S] Trying to apply Vexmor filters on Incoming mail (4-" +
                       std::to_string(id) + ")."),
              std::string::npos);
    if (c.spam) {
      ++spam_count;
      EXPECT_NE(log.find("[S] Incoming mail added to SPAM list by " + c.log_line + " filter."),
                std::string::npos)
          << log;
      EXPECT_NE(log.find("[S] Incoming mail moved to SPAM folder."), std::string::npos);
    } else {
      expected_inbox.push_back(static_cast<uint32_t>(id));
      EXPECT_EQ(log.find("SPAM"), std::string::npos) << log;
    }
    EXPECT_NE(log.find("[S] Completed applying Vexmor filters on Incoming mail.\n"),
              std::string::npos);
    EXPECT_EQ(installation_.MessagesIn(4), expected_inbox);
  }
  uint32_t spam = installation_.FolderByName("Spam");
  ASSERT_NE(spam, 0u);
  EXPECT_EQ(installation_.MessagesIn(spam).size(), static_cast<size_t>(spam_count));
  EXPECT_EQ(installation_.Key("Vexmor_ProcessMsg.ini", "Vexmor_Checked", "Count"),
            std::to_string(cases.size()));
  std::vector<std::string> journal = installation_.Journal();
  EXPECT_TRUE(std::any_of(journal.begin(), journal.end(), [](const std::string& e) {
    return e.find("Found in the Server.Mail moved to spam folder.") != std::string::npos;
  }));
  EXPECT_EQ(installation_.Log().find("[F] "), std::string::npos);
}

TEST_F(HookEndToEndTest, FolderChecksAndLargeForms) {
  SeedLink("known-link.example");
  hook::SenderLists lists(Dir());
  lists.Add(SenderList::kBlockedIds, "blocked@bad.example");
  lists.Add(SenderList::kBlockedDomains, "worse.example");
  uint32_t archive = installation_.CreateFolder("Archive");
  ASSERT_NE(archive, 0u);

  TestMessage big = MakeMessage("blocked@bad.example", "Huge", "attachment");
  TestMessage linked =
      MakeMessage("v@fresh.example", "Hi",
                  "<html><body><a href=\"http://known-link.example/x\">go</a></body></html>", 1);
  TestMessage clean = MakeMessage("friend@home.example", "Notes", "minutes of the meeting");
  int32_t big_id = installation_.Deliver(archive, big.source);
  int32_t linked_id = installation_.Deliver(archive, linked.source);
  int32_t clean_id = installation_.Deliver(archive, clean.source);
  ASSERT_EQ(installation_.MessagesIn(archive).size(), 3u);

  // A check does not need filtering to be on, and then leaves "Remove_Icon" alone.
  installation_.SetReceive(false);
  library_.CheckMailMessage_Folder(big_id, static_cast<int32_t>(archive), 0,
                                   big.texts.header.c_str(), big.texts.sender.c_str());
  library_.Check(linked_id, static_cast<int32_t>(archive), 0, linked.texts);
  library_.Check(clean_id, static_cast<int32_t>(archive), 0, clean.texts);
  EXPECT_EQ(installation_.MessagesIn(archive),
            std::vector<uint32_t>{static_cast<uint32_t>(clean_id)});
  uint32_t spam = installation_.FolderByName("Spam");
  ASSERT_NE(spam, 0u);
  EXPECT_EQ(installation_.MessagesIn(spam).size(), 2u);
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon"), "<none>");
  EXPECT_EQ(installation_.Key("Vexmor_ProcessMsg.ini", "Vexmor_Checked", "Count"), "<none>");
  std::string log = installation_.Log();
  EXPECT_NE(log.find("[S] Trying to apply Vexmor filters on Mail."), std::string::npos);
  EXPECT_NE(log.find("[S] Mail added to SPAM list by CS-Second filter."), std::string::npos);
  EXPECT_NE(log.find("[S] Mail added to SPAM list by CS-Fifth filter."), std::string::npos);
  EXPECT_EQ(Occurrences(log, "[S] Mail moved to SPAM folder."), 2);
  EXPECT_EQ(Occurrences(log, "[S] Completed applying Vexmor filters on a mail.\n"), 3);

  // With filtering off an incoming message is left entirely alone.
  TestMessage incoming = MakeMessage("someone@worse.example", "Big", "x");
  int32_t incoming_id = installation_.Deliver(4, incoming.source);
  size_t log_size = installation_.Log().size();
  library_.MoveMailMessage_Inbox(incoming_id, 4, static_cast<int32_t>(spam),
                                 incoming.texts.header.c_str(), incoming.texts.sender.c_str());
  EXPECT_EQ(installation_.Log().size(), log_size);
  EXPECT_EQ(installation_.MessagesIn(4).size(), 1u);

  installation_.SetReceive(true);
  library_.MoveMailMessage_Inbox(incoming_id, 4, static_cast<int32_t>(spam),
                                 incoming.texts.header.c_str(), incoming.texts.sender.c_str());
  EXPECT_TRUE(installation_.MessagesIn(4).empty());
  EXPECT_EQ(installation_.Journal().back(), kRuleSix);
  log = installation_.Log().substr(log_size);
  EXPECT_NE(log.find("[S] Incoming mail added to SPAM list by I-Second filter."),
            std::string::npos);
  EXPECT_NE(log.find("[S] Applied Vexmor filters on Incoming mail.\n"), std::string::npos);
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon"), "1");
  EXPECT_EQ(installation_.Key("Vexmor_ProcessMsg.ini", "Vexmor_Checked", "MessageIndex_1"),
            std::to_string(incoming_id));
}

TEST_F(HookEndToEndTest, ReportedCampaignIsCaughtAndNotSpamWithdrawsIt) {
  auto campaign = [](const std::string& sender, const std::string& path) {
    return MakeMessage(sender, "Limited offer",
                       "<html><body>Act now: <a href=\"http://www.mega-deals.example/" + path +
                           "\">claim</a></body></html>",
                       1);
  };
  std::vector<TestMessage> reported = {campaign("a@one.example", "1"),
                                       campaign("b@two.example", "2"),
                                       campaign("c@three.example", "3")};
  ASSERT_TRUE(platform::DefaultProfile()
                  .WriteString(Dir() + "Vexmor_Message.ini", "Message", "Selected_Count", "3")
                  .ok());
  ASSERT_TRUE(platform::DefaultProfile()
                  .WriteString(Dir() + "Vexmor_Message.ini", "Message", "Allowed", "0")
                  .ok());
  std::vector<std::string> counts;
  for (const TestMessage& message : reported) {
    library_.Feedback(1, message.texts);
    counts.push_back(installation_.Key("Vexmor_Message.ini", "Message", "Selected_Count"));
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"2", "1", "0"}));
  EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Message", "Allowed"), "1");
  EXPECT_EQ(Occurrences(installation_.Log(), "[S] Reporting of an e-mail is completed."), 3);
  EXPECT_EQ(Occurrences(installation_.Log(), "[S] Reporting of selected e-mails completed.\n"), 1);
  hook::SenderLists lists(Dir());
  EXPECT_TRUE(lists.Contains(SenderList::kBlockedIds, "b@two.example"));
  EXPECT_TRUE(lists.Contains(SenderList::kBlockedDomains, "three.example"));
  EXPECT_TRUE(ServerKnowsLink("mega-deals.example"));

  // The same campaign from a sender nobody listed: the link signature catches it.
  TestMessage fresh = campaign("d@four.example", "4");
  int32_t fresh_id = Receive(fresh);
  uint32_t spam = installation_.FolderByName("Spam");
  ASSERT_NE(spam, 0u);
  EXPECT_EQ(installation_.MessagesIn(spam), std::vector<uint32_t>{1u});
  EXPECT_NE(installation_.Log().find("[S] Incoming mail added to SPAM list by I-Fifth filter."),
            std::string::npos);
  (void)fresh_id;

  // The user says it is not spam: the link is withdrawn and the sender approved.
  library_.Feedback(2, fresh.texts);
  EXPECT_FALSE(ServerKnowsLink("mega-deals.example"));
  EXPECT_TRUE(lists.Contains(SenderList::kApprovedIds, "d@four.example"));
  EXPECT_TRUE(lists.Contains(SenderList::kApprovedDomains, "four.example"));
  EXPECT_TRUE(Contains(installation_.Journal(), [&] {
    CCheckSum sum;
    sum.Arrange_SpamMail_Url("mega-deals.example");
    return "Signature Value " + std::to_string(sum.m_i64UrlCheckSum) + " removed from the server.";
  }()));
  EXPECT_NE(installation_.Log().find("[S] Not SPAM operation for an e-mail is completed.\n"),
            std::string::npos);

  TestMessage later = campaign("e@five.example", "5");
  int32_t later_id = Receive(later);
  EXPECT_EQ(installation_.MessagesIn(4), std::vector<uint32_t>{static_cast<uint32_t>(later_id)});
}

TEST_F(HookEndToEndTest, BadInputIsJudgedAndNothingBreaks) {
  std::string high;
  for (int c = 0x80; c <= 0xFF; ++c) high.push_back(static_cast<char>(c));
  std::string two_mb(2 * 1024 * 1024, 'a');
  for (size_t i = 80; i < two_mb.size(); i += 81) two_mb[i] = '\n';

  struct Case {
    std::string name;
    hook::MessageTexts texts;
    bool spam;
  };
  hook::MessageTexts empty;
  hook::MessageTexts no_fields;
  no_fields.header = "this header has no field at all";
  no_fields.subject = "plain";
  no_fields.body = "hello";
  hook::MessageTexts huge;
  huge.subject = "big";
  huge.sender = "big@bulk.example";
  huge.body = two_mb;
  hook::MessageTexts bytes;
  bytes.kind = 1;
  bytes.subject = "ok";
  bytes.sender = high + "@" + high;
  bytes.header = "From: " + high + "\r\nContent-Type: text/html; charset=" + high + "\r\n";
  bytes.body = "<a href=\"http://" + high + "/\">" + high + "</a>" + high;
  bytes.extra = high;
  hook::MessageTexts bytes_subject = bytes;
  bytes_subject.subject = high;
  std::vector<Case> cases = {{"empty", empty, false},
                             {"header without fields", no_fields, false},
                             {"2 MB body", huge, false},
                             {"high bytes", bytes, false},
                             {"high bytes in the subject", bytes_subject, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t id = installation_.Deliver(4, "Subject: x\r\n\r\nbody\r\n");
    library_.Incoming(id, 4, 0, c.texts);
    library_.Check(id, 4, 0, c.texts);
    EXPECT_EQ(installation_.Key("Vexmor_Message.ini", "Vexmor", "Remove_Icon"), c.spam ? "1" : "0");
  }
  // Not Spam approves what it can of each sender; run it after the verdicts it would change.
  for (const Case& c : cases) library_.Feedback(2, c.texts);
  EXPECT_EQ(
      Occurrences(installation_.Log(), "[S] Not SPAM operation for an e-mail is completed.\n"), 5);
  std::string log = installation_.Log();
  EXPECT_EQ(Occurrences(log, "[S] Completed applying Vexmor filters on Incoming mail.\n"), 5);
  EXPECT_EQ(log.find("[F] "), std::string::npos);
}

TEST_F(HookEndToEndTest, ServerDownLeavesTheLocalRulesInCharge) {
  SeedLink("known-link.example");
  server_.reset();  // stopped: nothing listens on its port any more
  hook::SenderLists lists(Dir());
  lists.Add(SenderList::kBlockedIds, "blocked@bad.example");
  installation_.ClearJournal();

  TestMessage linked =
      MakeMessage("v@fresh.example", "Hi",
                  "<html><body><a href=\"http://known-link.example/x\">go</a></body></html>", 1);
  TestMessage blocked = MakeMessage("blocked@bad.example", "Hi", "text");
  TestMessage plain = MakeMessage("p@q.example", "Hello", "no links here");
  int32_t linked_id = Receive(linked);
  Receive(blocked);
  int32_t plain_id = Receive(plain);
  EXPECT_EQ(installation_.MessagesIn(4), (std::vector<uint32_t>{static_cast<uint32_t>(linked_id),
                                                                static_cast<uint32_t>(plain_id)}));
  EXPECT_EQ(installation_.MessagesIn(installation_.FolderByName("Spam")).size(), 1u);
  std::vector<std::string> journal = installation_.Journal();
  EXPECT_TRUE(Contains(journal, kRuleThree));
  EXPECT_TRUE(Contains(journal, "Could not Establish internet connection to specified url."));
  EXPECT_EQ(
      Occurrences(installation_.Log(), "[S] Completed applying Vexmor filters on Incoming mail.\n"),
      3);
}

}  // namespace
}  // namespace vexmor::e2e
