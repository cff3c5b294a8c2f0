// The rules and their order, against real sender lists in a temporary system folder and a
// recording signature service.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/clock.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/state/state_files.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/validate/CXml.h"

namespace vexmor::hook {
namespace {

using testing::ReadFileOrEmpty;
using testing::ScopedSystemDirs;

// Knows the signatures it was told about and records every request.
class RecordingSignatures final : public SignatureService {
 public:
  bool IsSpamLink(const std::string&, const std::string& link) override {
    calls.push_back("compare-link " + link);
    return links.count(link) > 0;
  }
  bool IsSpamContent(const std::string&, const std::string& content) override {
    calls.push_back("compare-content " + content);
    return contents.count(content) > 0;
  }
  void ReportLink(const std::string&, const std::string& link) override {
    calls.push_back("report-link " + link);
  }
  void ReportContent(const std::string&, const std::string& content) override {
    calls.push_back("report-content " + content);
  }
  void WithdrawLink(const std::string&, const std::string& link) override {
    calls.push_back("withdraw-link " + link);
  }
  std::set<std::string> links, contents;
  std::vector<std::string> calls;
};

class FilterChainTest : public ::testing::Test {
 protected:
  FilterChainTest() : profile_(platform::MakeMemoryProfile()), lists_(Dir()) {}

  MailFilterChain Chain() {
    FilterEnvironment env;
    env.install_dir = Dir();
    env.profile = profile_.get();
    env.clock = &platform::SystemClock();
    env.html = html_.get();
    env.signatures = &signatures_;
    return MailFilterChain(env);
  }
  std::string Dir() const { return dirs_.install_dir(); }
  std::string Log() const { return ReadFileOrEmpty(Dir() + std::string(log::kOeLogFile)); }
  std::string JournalFile() const { return Dir() + std::string(state::kJournalFile); }
  int32_t JournalCount() const {
    return profile_->GetInt(JournalFile(), state::kSectionMessage, state::kKeyCount, 0);
  }
  std::string Entry(int32_t n) const {
    return profile_->GetString(JournalFile(), state::kSectionMessage, state::InfoKey(n), "");
  }
  std::string LastEntry() const { return Entry(JournalCount()); }

  static MessageTexts Message(std::string sender, std::string subject, std::string body,
                              int kind = 0) {
    MessageTexts texts;
    texts.kind = kind;
    texts.sender = std::move(sender);
    texts.subject = std::move(subject);
    texts.body = std::move(body);
    texts.header = "From: <" + texts.sender + ">\r\nSubject: " + texts.subject + "\r\n";
    return texts;
  }

  ScopedSystemDirs dirs_;
  std::unique_ptr<platform::Profile> profile_;
  std::unique_ptr<platform::HtmlText> html_ = platform::MakeGumboHtmlText();
  SenderLists lists_;
  RecordingSignatures signatures_;
};

const char kLinkBody[] = "Buy now at <a href=\"http://www.cheap-deals.biz/offer\">here</a>";

TEST_F(FilterChainTest, ApprovedSenderWinsOverEveryOtherRule) {
  lists_.Add(SenderList::kApprovedIds, "friend@example.org");
  lists_.Add(SenderList::kBlockedIds, "friend@example.org");
  MessageTexts texts = Message("friend@example.org", "R\xE9sum\xE9", kLinkBody);
  texts.extra = "Content-Type: text/plain; charset=GB2312";
  EXPECT_FALSE(Chain().RunFull(ChainForm::kIncoming, 4, 17, texts));
  EXPECT_EQ(LastEntry(), "Rule I applied.E-mail treated as normal e-mail.");
  EXPECT_EQ(JournalCount(), 1);
  EXPECT_TRUE(signatures_.calls.empty());
  EXPECT_NE(Log().find("[S] Trying to apply Vexmor filters on Incoming mail (4-17)."),
            std::string::npos);
  EXPECT_EQ(Log().find("SPAM list"), std::string::npos);
}

TEST_F(FilterChainTest, ApprovedDomainMakesAForeignCharsetNormal) {
  lists_.Add(SenderList::kApprovedDomains, "partner.cn");
  MessageTexts texts = Message("sales@partner.cn", "Quote", "hello");
  texts.header += "Content-Type: text/plain; charset=\"gb2312\"\r\n";
  EXPECT_FALSE(Chain().RunFull(ChainForm::kIncoming, 4, 1, texts));
  EXPECT_EQ(LastEntry(), "Rule V applied.E-mail treated as normal e-mail.");
}

TEST_F(FilterChainTest, ForeignCharsetsAndAccentedSubjectsAreSpamByRuleTwo) {
  for (std::string charset : {"GB2312", "big5", "KOI8-R", "koi8-u", "EUC-JP", "HZ-GB-2312",
                              "ISO-2022-JP", "csISO2022JP", "ks_c_5601-1987", "EUC-KR"}) {
    MessageTexts texts = Message("a@b.com", "Hello", "text");
    texts.extra = "Content-Type: text/html; charset=" + charset + "\r\n";
    EXPECT_TRUE(Chain().RunFull(ChainForm::kIncoming, 4, 2, texts)) << charset;
  }
  MessageTexts accented = Message("a@b.com", "Your caf\xE9 order", "plain english text");
  EXPECT_TRUE(Chain().RunFull(ChainForm::kFolderCheck, 9, 3, accented));
  EXPECT_EQ(LastEntry(),
            "Rule II applied. E-mail found to be a spam e-mail and moved to spam folder.");
  EXPECT_EQ(JournalCount(), 11);
  EXPECT_NE(Log().find("[S] Trying to apply Vexmor filters on a mail (9-3)."), std::string::npos);
  EXPECT_NE(Log().find("[S] Mail added to SPAM list by CS-Second filter."), std::string::npos);
  EXPECT_NE(Log().find("[S] Incoming mail added to SPAM list by I-Second filter."),
            std::string::npos);

  MessageTexts western = Message("a@b.com", "Hello", "text");
  western.header += "Content-Type: text/plain; charset=iso-8859-1\r\n";
  EXPECT_FALSE(Chain().RunFull(ChainForm::kIncoming, 4, 4, western));
  EXPECT_FALSE(IsForeignCharset("GB2312 "));
}

TEST_F(FilterChainTest, BlockedSenderAndBlockedDomain) {
  lists_.Add(SenderList::kBlockedIds, "spammer@bad.example");
  lists_.Add(SenderList::kBlockedDomains, "worse.example");
  EXPECT_TRUE(Chain().RunFull(ChainForm::kIncoming, 4, 5,
                              Message("SPAMMER@bad.example", "Hi", "no link here")));
  EXPECT_EQ(LastEntry(),
            "Rule III applied. E-mail found to be a spam e-mail and moved to spam folder.");
  EXPECT_TRUE(Chain().RunFull(ChainForm::kIncoming, 4, 6,
                              Message("other@worse.example", "Hi", "no link here")));
  EXPECT_EQ(LastEntry(),
            "Rule VI applied. E-mail found to be a spam e-mail and moved to spam folder.");
  EXPECT_NE(Log().find("[S] Incoming mail added to SPAM list by I-Third filter."),
            std::string::npos);
  EXPECT_TRUE(signatures_.calls.empty()) << "a blocked sender never reaches the server";
}

TEST_F(FilterChainTest, AListStoreMadeAfterAMessageIsUsedFromTheNextMessageOn) {
  // No store yet: every sender rule answers "not listed".
  ASSERT_EQ(ReadFileOrEmpty(dirs_.system_dir() + "Vexmor_MailIds.xml"), "");
  EXPECT_FALSE(
      Chain().RunFull(ChainForm::kIncoming, 4, 1, Message("spammer@bad.example", "Hi", "plain")));
  EXPECT_EQ(signatures_.calls.size(), 1u) << "the chain went on to the content signature";

  // Another process makes the store with the sender blocked: the next message sees it.
  SenderLists other(Dir());
  other.Add(SenderList::kBlockedIds, "spammer@bad.example");
  EXPECT_TRUE(
      Chain().RunFull(ChainForm::kIncoming, 4, 2, Message("spammer@bad.example", "Hi", "plain")));
  EXPECT_EQ(LastEntry(),
            "Rule III applied. E-mail found to be a spam e-mail and moved to spam folder.");

  // One object that found no store and then made it finds what it added.
  ASSERT_TRUE(std::filesystem::remove(dirs_.system_dir() + "Vexmor_MailIds.xml"));
  SenderLists one(Dir());
  EXPECT_FALSE(one.Contains(SenderList::kApprovedIds, "friend@example.org"));
  one.Add(SenderList::kApprovedIds, "friend@example.org");
  EXPECT_TRUE(one.Contains(SenderList::kApprovedIds, "friend@example.org"));
}

TEST_F(FilterChainTest, KeywordsCountOnlyWithALinkAndAreFoundInTheVisibleText) {
  EXPECT_TRUE(Chain().RunFull(ChainForm::kIncoming, 4, 7,
                              Message("a@b.com", "Cheap ViAgRa", kLinkBody, 1)));
  EXPECT_EQ(LastEntry(),
            "Rule IV applied. E-mail found to be a spam e-mail and moved to spam folder.");
  EXPECT_NE(Log().find("[S] Incoming mail added to SPAM list by I-Fourth filter."),
            std::string::npos);

  // Split by markup in the body: only the rendered text shows the word.
  std::string split = std::string(kLinkBody) + " <html><body>CIA<b>LIS</b></body></html>";
  EXPECT_TRUE(Chain().RunFull(ChainForm::kIncoming, 4, 8, Message("a@b.com", "Hi", split, 1)));

  // Without a link the keyword rule does not run; the content signature is asked instead.
  signatures_.calls.clear();
  int32_t before = JournalCount();
  EXPECT_FALSE(
      Chain().RunFull(ChainForm::kIncoming, 4, 9, Message("a@b.com", "Hi", "buy viagra today")));
  EXPECT_EQ(JournalCount(), before);
  ASSERT_EQ(signatures_.calls.size(), 1u);
  EXPECT_EQ(signatures_.calls[0].rfind("compare-content ", 0), 0u);
}

TEST_F(FilterChainTest, LinkSignatureAndContentSignatureAreExclusive) {
  signatures_.links.insert("cheap-deals.biz");
  EXPECT_TRUE(Chain().RunFull(ChainForm::kIncoming, 4, 10, Message("a@b.com", "Hi", kLinkBody)));
  EXPECT_EQ(signatures_.calls, std::vector<std::string>{"compare-link cheap-deals.biz"});
  EXPECT_NE(Log().find("[S] Incoming mail added to SPAM list by I-Fifth filter."),
            std::string::npos);

  signatures_.calls.clear();
  signatures_.contents.insert("Offerwin a prize");
  EXPECT_TRUE(
      Chain().RunFull(ChainForm::kFolderCheck, 4, 11, Message("a@b.com", "Offer", "win a prize")));
  EXPECT_EQ(signatures_.calls, std::vector<std::string>{"compare-content Offerwin a prize"});
  EXPECT_NE(Log().find("[S] Mail added to SPAM list by CS-Sixth filter."), std::string::npos);
  EXPECT_EQ(JournalCount(), 0) << "the server's verdicts are journalled by the client only";
}

TEST_F(FilterChainTest, CleanAndEmptyMessagesAreNormal) {
  EXPECT_FALSE(
      Chain().RunFull(ChainForm::kIncoming, 4, 12, Message("a@b.com", "Lunch", "see you at noon")));
  EXPECT_FALSE(Chain().RunFull(ChainForm::kIncoming, 0, 0, MessageTexts{}));
  // Nothing to sign for the empty message.
  EXPECT_EQ(signatures_.calls.size(), 1u);
  EXPECT_NE(Log().find("(0-0)."), std::string::npos);
  EXPECT_FALSE(Chain().RunFull(ChainForm::kIncoming, -1, -2147483647 - 1, MessageTexts{}));
  EXPECT_NE(Log().find("(-1--2147483648)."), std::string::npos);
}

TEST_F(FilterChainTest, HighBytesEverywhereDoNotDisturbTheRules) {
  std::string high;
  for (int c = 0x80; c <= 0xFF; ++c) high.push_back(static_cast<char>(c));
  MessageTexts texts;
  texts.kind = 1;
  texts.sender = high + "@" + high;
  texts.header = "From: " + high + "\r\n" + high;
  texts.body = "<a href=\"http://" + high + ".com/\">" + high + "</a>" + high;
  texts.extra = high;
  texts.subject = "plain";
  EXPECT_FALSE(Chain().RunFull(ChainForm::kIncoming, 4, 13, texts));
  texts.subject = high;
  EXPECT_TRUE(Chain().RunFull(ChainForm::kIncoming, 4, 14, texts));
}

TEST_F(FilterChainTest, LargeChainUsesOnlySenderRulesAndTheSecondLine) {
  lists_.Add(SenderList::kBlockedIds, "bulk@mailer.example");
  std::string header =
      "From: Bulk <bulk@mailer.example>\r\nContent-Type: text/plain; "
      "charset=GB2312\r\nSubject: caf\xE9\r\n";
  EXPECT_TRUE(Chain().RunLarge(ChainForm::kIncoming, 4, 20, header, "Bulk"));
  EXPECT_NE(Log().find("[S] Trying to apply Vexmor filters on Incoming mail (4-20)."),
            std::string::npos);
  EXPECT_NE(Log().find("[S] Incoming mail added to SPAM list by I-Second filter."),
            std::string::npos);
  EXPECT_EQ(Log().find("Third"), std::string::npos);
  EXPECT_TRUE(Chain().RunLarge(ChainForm::kFolderCheck, 4, 21, header, ""));
  EXPECT_NE(Log().find("[S] Trying to apply Vexmor filters on Mail."), std::string::npos);
  EXPECT_NE(Log().find("[S] Mail added to SPAM list by CS-Second filter."), std::string::npos);
  // The foreign charset and the accented subject of the header do not count without a body.
  EXPECT_FALSE(Chain().RunLarge(ChainForm::kIncoming, 4, 22,
                                "From: <x@y.org>\r\nContent-Type: text/plain; charset=GB2312\r\n",
                                ""));
  EXPECT_TRUE(signatures_.calls.empty());
}

TEST_F(FilterChainTest, JournalStartsAfreshAfterItsLimit) {
  ASSERT_TRUE(profile_->WriteInt(JournalFile(), "Message", "Count", 1000).ok());
  ASSERT_TRUE(profile_->WriteString(JournalFile(), "Message", "Info_5", "old").ok());
  MessageTexts accented = Message("a@b.com", "\xC4rger", "x");
  Chain().RunFull(ChainForm::kIncoming, 4, 1, accented);
  EXPECT_EQ(JournalCount(), 1001);
  EXPECT_EQ(Entry(5), "old");
  Chain().RunFull(ChainForm::kIncoming, 4, 2, accented);
  EXPECT_EQ(JournalCount(), 1);
  EXPECT_EQ(Entry(5), "");
  EXPECT_EQ(Entry(1),
            "Rule II applied. E-mail found to be a spam e-mail and moved to spam folder.");
}

TEST_F(FilterChainTest, ReportSpamListsTheSenderAndPostsOneSignature) {
  Chain().ReportSpam(Message("Promo@Shop.example", "Deal", kLinkBody));
  EXPECT_TRUE(lists_.Contains(SenderList::kBlockedIds, "promo@shop.example"));
  EXPECT_TRUE(lists_.Contains(SenderList::kBlockedDomains, "shop.example"));
  EXPECT_EQ(signatures_.calls, std::vector<std::string>{"report-link cheap-deals.biz"});

  signatures_.calls.clear();
  Chain().ReportSpam(Message("x@y.example", "Deal", "no link"));
  EXPECT_EQ(signatures_.calls, std::vector<std::string>{"report-content Dealno link"});

  // A foreign message teaches nothing: Rule II catches its kind anyway.
  signatures_.calls.clear();
  MessageTexts foreign = Message("z@foreign.example", "Hi", kLinkBody);
  foreign.extra = "Content-Type: text/plain; charset=GB2312\r\n";
  Chain().ReportSpam(foreign);
  EXPECT_TRUE(signatures_.calls.empty());
  EXPECT_FALSE(lists_.Contains(SenderList::kBlockedIds, "z@foreign.example"));
  EXPECT_EQ(LastEntry(), "Signature posted as a Spam to the server.");

  Chain().ReportSpamLarge("From: Big <big@large.example>\r\n", "");
  EXPECT_TRUE(lists_.Contains(SenderList::kBlockedIds, "big@large.example"));
  EXPECT_TRUE(lists_.Contains(SenderList::kBlockedDomains, "large.example"));
}

TEST_F(FilterChainTest, NotSpamMovesTheSenderToTheApprovedListsAndWithdrawsTheLink) {
  lists_.Add(SenderList::kBlockedIds, "news@letter.example");
  lists_.Add(SenderList::kBlockedDomains, "letter.example");
  Chain().NotSpam(Message("news@letter.example", "News", kLinkBody));
  EXPECT_FALSE(lists_.Contains(SenderList::kBlockedIds, "news@letter.example"));
  EXPECT_FALSE(lists_.Contains(SenderList::kBlockedDomains, "letter.example"));
  EXPECT_TRUE(lists_.Contains(SenderList::kApprovedIds, "news@letter.example"));
  EXPECT_TRUE(lists_.Contains(SenderList::kApprovedDomains, "letter.example"));
  EXPECT_EQ(signatures_.calls, std::vector<std::string>{"withdraw-link cheap-deals.biz"});

  signatures_.calls.clear();
  Chain().NotSpam(Message("p@q.example", "Plain", "no link at all"));
  EXPECT_TRUE(signatures_.calls.empty()) << "content signatures are never withdrawn";

  MessageTexts foreign = Message("r@s.example", "Hi", kLinkBody);
  foreign.header += "Content-Type: text/plain; charset=big5\r\n";
  signatures_.calls.clear();
  Chain().NotSpam(foreign);
  EXPECT_EQ(LastEntry(), "Signature removed from the server.");
  EXPECT_FALSE(lists_.Contains(SenderList::kApprovedIds, "r@s.example"));
  EXPECT_TRUE(signatures_.calls.empty());

  // Without any sender nothing is listed, and the store is not started with an empty entry.
  Chain().NotSpamLarge("", "");
  EXPECT_EQ(lists_.Joined(SenderList::kApprovedIds), "NEWS@LETTER.EXAMPLE[//]P@Q.EXAMPLE[//]");
}

TEST_F(FilterChainTest, ProbeSeesEveryStepThatRan) {
  std::vector<ChainStep> steps;
  FilterEnvironment env;
  env.install_dir = Dir();
  env.profile = profile_.get();
  env.clock = &platform::SystemClock();
  env.html = html_.get();
  env.signatures = &signatures_;
  env.probe = [&](ChainStep step, std::chrono::nanoseconds took) {
    EXPECT_GE(took.count(), 0);
    steps.push_back(step);
  };
  MailFilterChain(env).RunFull(ChainForm::kIncoming, 4, 1, Message("a@b.com", "Hi", kLinkBody));
  EXPECT_EQ(steps, (std::vector<ChainStep>{ChainStep::kApprovedSender, ChainStep::kForeignText,
                                           ChainStep::kBlockedSender, ChainStep::kLinkDomain,
                                           ChainStep::kKeywords, ChainStep::kLinkSignature}));
  EXPECT_EQ(ChainStepName(ChainStep::kKeywords), "keywords (IV)");
}

}  // namespace
}  // namespace vexmor::hook
