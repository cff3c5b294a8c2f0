// The rule chain of incoming mail and the feedback of the user's reports. The journal and log
// texts are the product's own: support staff read them, so keep them exactly.
#include "vexmor/hook/filter_chain.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>

#include "vexmor/hook/mail_analysis.h"
#include "vexmor/log/write_log.h"
#include "vexmor/state/journal.h"
#include "vexmor/validate/CCheckSum.h"
#include "vexmor/validate/CXml.h"

namespace vexmor::hook {

namespace {

constexpr std::array<std::string_view, 10> kForeignCharsets = {
    "GB2312",     "BIG5",        "KOI8-R",      "KOI8-U",         "EUC-JP",
    "HZ-GB-2312", "ISO-2022-JP", "CSISO2022JP", "KS_C_5601-1987", "EUC-KR"};
constexpr std::array<std::string_view, 3> kKeywords = {"VIAGRA", "CIALIS", "PHARMACEUTICAL"};

constexpr std::string_view kRuleOne = "Rule I applied.E-mail treated as normal e-mail.";
constexpr std::string_view kRuleFive = "Rule V applied.E-mail treated as normal e-mail.";
constexpr std::string_view kRuleTwo =
    "Rule II applied. E-mail found to be a spam e-mail and moved to spam folder.";
constexpr std::string_view kRuleTwoReport = "Signature posted as a Spam to the server.";
constexpr std::string_view kRuleTwoNotSpam = "Signature removed from the server.";
constexpr std::string_view kRuleThree =
    "Rule III applied. E-mail found to be a spam e-mail and moved to spam folder.";
constexpr std::string_view kRuleSix =
    "Rule VI applied. E-mail found to be a spam e-mail and moved to spam folder.";
constexpr std::string_view kRuleFour =
    "Rule IV applied. E-mail found to be a spam e-mail and moved to spam folder.";

// The filter names of the log lines, by form.
std::string FilterLine(ChainForm form, std::string_view filter) {
  if (form == ChainForm::kIncoming) {
    return "[S] Incoming mail added to SPAM list by I-" + std::string(filter) + " filter.";
  }
  return "[S] Mail added to SPAM list by CS-" + std::string(filter) + " filter.";
}

std::string TryingLine(ChainForm form, int32_t folder, int32_t message) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "%d-%d", folder, message);
  return (form == ChainForm::kIncoming ? "[S] Trying to apply Vexmor filters on Incoming mail ("
                                       : "[S] Trying to apply Vexmor filters on a mail (") +
         std::string(ids) + ").";
}

bool ContainsKeyword(const std::string& upper) {
  return std::any_of(kKeywords.begin(), kKeywords.end(), [&](std::string_view keyword) {
    return upper.find(keyword) != std::string::npos;
  });
}

// Windows-1252 (and every other single-byte ANSI code page) maps each byte from 0x80 up to a
// code unit from 0x80 up, and each byte below to itself; so the code-unit test is a byte test.
bool HasNonAsciiByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// Times one step for the probe; without a probe it costs nothing but a branch.
class StepTimer {
 public:
  StepTimer(const StepProbe& probe, ChainStep step)
      : probe_(probe), step_(step), start_(probe ? Now() : Clock::time_point{}) {}
  ~StepTimer() {
    if (probe_) probe_(step_, std::chrono::duration_cast<std::chrono::nanoseconds>(Now() - start_));
  }
  StepTimer(const StepTimer&) = delete;
  StepTimer& operator=(const StepTimer&) = delete;

 private:
  using Clock = std::chrono::steady_clock;
  static Clock::time_point Now() { return Clock::now(); }
  const StepProbe& probe_;
  ChainStep step_;
  Clock::time_point start_;
};

// The signature the last question of this thread to the real service was about.
thread_local std::optional<int64_t> t_asked_signature;
// The worst outcome of this thread's reports and withdrawals since it was last taken.
thread_local validate::ReportDelivery t_delivery = validate::ReportDelivery::kNone;

void NoteDelivery() {
  using validate::ReportDelivery;
  ReportDelivery last = validate::LastReportDelivery();
  auto rank = [](ReportDelivery d) {
    switch (d) {
      case ReportDelivery::kFailed:
        return 3;
      case ReportDelivery::kSpooled:
        return 2;
      case ReportDelivery::kAcknowledged:
        return 1;
      case ReportDelivery::kNone:
        break;
    }
    return 0;
  };
  if (rank(last) > rank(t_delivery)) t_delivery = last;
}

class CheckSumSignatures final : public SignatureService {
 public:
  bool IsSpamLink(const std::string& install_dir, const std::string& link_domain) override {
    CCheckSum sum;
    sum.Arrange_SpamMail_Url(link_domain);
    t_asked_signature = sum.m_i64UrlCheckSum;
    return sum.CompareCheckSumValue_Url(install_dir);
  }
  bool IsSpamContent(const std::string& install_dir, const std::string& content) override {
    CCheckSum sum;
    sum.Arrange_SpamMail(content);
    bool spam = sum.CompareCheckSumValue(install_dir);  // waits for the computation
    t_asked_signature = sum.m_i64CheckSum;
    return spam;
  }
  void ReportLink(const std::string& install_dir, const std::string& link_domain) override {
    CCheckSum sum;
    sum.Arrange_SpamMail_Url(link_domain);
    (void)sum.UpdateCheckSumValue_Url(install_dir);
    NoteDelivery();
  }
  void ReportContent(const std::string& install_dir, const std::string& content) override {
    CCheckSum sum;
    sum.Arrange_SpamMail(content);
    (void)sum.UpdateCheckSumValue(install_dir);
    NoteDelivery();
  }
  void WithdrawLink(const std::string& install_dir, const std::string& link_domain) override {
    CCheckSum sum;
    sum.Arrange_SpamMail_Url(link_domain);
    sum.RemoveCheckSumValue_Url(install_dir);
    NoteDelivery();
  }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Sender lists

SenderLists::SenderLists(std::string install_dir) : install_dir_(std::move(install_dir)) {}
SenderLists::~SenderLists() = default;

bool SenderLists::Contains(SenderList list, const std::string& value) const {
  // The store holds no empty value; asking would only cost a read of it.
  if (value.empty() || store_missing_) return false;
  CXml xml(install_dir_);
  std::string result;
  if (!xml.ReadFile(value, 4 * static_cast<int32_t>(list) + 3, &result)) {
    store_missing_ = xml.GetLastFailure_Code() == CXml::kFailure_Missing;
    return false;
  }
  return result == "Found";
}

void SenderLists::Add(SenderList list, const std::string& value) const {
  // An empty value cannot be listed; the fallback below must not start a store with it.
  if (value.empty()) return;
  store_missing_ = false;
  CXml xml(install_dir_);
  std::string result;
  if (!xml.ReadFile(value, 4 * static_cast<int32_t>(list) + 2, &result)) {
    (void)xml.WriteFile(value, static_cast<uint32_t>(list) + 1);
  }
}

void SenderLists::Remove(SenderList list, const std::string& value) const {
  store_missing_ = false;
  CXml xml(install_dir_);
  std::string result;
  (void)xml.ReadFile(value, 4 * static_cast<int32_t>(list) + 1, &result);
}

std::string SenderLists::Joined(SenderList list) const {
  CXml xml(install_dir_);
  std::string result;
  const char* name = list == SenderList::kBlockedIds ? "Id" : "WId";
  if (!xml.GetAddress_File(name, &result)) return {};
  return result;
}

bool SenderLists::BuildDue(uint32_t which) const {
  CXml xml(install_dir_);
  return xml.GetWhiteListIds_SentItems(which);
}

SignatureService& ServerSignatures() {
  static CheckSumSignatures service;
  return service;
}

validate::ReportDelivery TakeSignatureDelivery() {
  return std::exchange(t_delivery, validate::ReportDelivery::kNone);
}

std::string_view ChainStepName(ChainStep step) {
  static constexpr std::array<std::string_view, static_cast<size_t>(ChainStep::kCount)> kNames = {
      "approved sender (I, V)", "foreign text (II)", "blocked sender (III, VI)", "link domain",
      "keywords (IV)",          "link signature",    "content signature"};
  auto index = static_cast<size_t>(step);
  return index < kNames.size() ? kNames[index] : std::string_view("?");
}

bool IsForeignCharset(std::string_view upper_charset) {
  return std::find(kForeignCharsets.begin(), kForeignCharsets.end(), upper_charset) !=
         kForeignCharsets.end();
}

// ---------------------------------------------------------------------------------------------
// The chain

MailFilterChain::MailFilterChain(FilterEnvironment environment)
    : env_(std::move(environment)), lists_(env_.install_dir) {
  if (env_.profile == nullptr || env_.clock == nullptr || env_.html == nullptr ||
      env_.signatures == nullptr) {
    throw std::invalid_argument(
        "MailFilterChain needs a profile, a clock, HTML text and signatures");
  }
}

MailFilterChain::~MailFilterChain() = default;

void MailFilterChain::Decided(std::string_view rule) {
  if (env_.trace != nullptr) env_.trace->rule = rule;
}

bool MailFilterChain::Ask(std::string_view kind, const std::string& text, bool spam) {
  if (env_.trace != nullptr) {
    env_.trace->asked.push_back(
        {std::string(kind), kind == "link" ? text : std::string(), t_asked_signature, spam});
  }
  t_asked_signature.reset();
  return spam;
}

void MailFilterChain::Journal(std::string_view text) {
  // A journal that cannot be written loses the entry, never the verdict.
  (void)state::AppendJournal(*env_.profile, env_.install_dir, text);
}

void MailFilterChain::Log(std::string_view line) {
  log::WriteLog(line, env_.install_dir, *env_.clock);
}

std::string MailFilterChain::Render(const std::string& section) {
  HtmlRenderContext context;
  context.install_dir = env_.install_dir;
  context.html = env_.html;
  context.error_log = [this](const std::string& line) { Log(line); };
  return RenderHtmlText(context, section);
}

std::string MailFilterChain::Normalise(const MessageTexts& texts) {
  HtmlRenderContext context;
  context.install_dir = env_.install_dir;
  context.html = env_.html;
  context.error_log = [this](const std::string& line) { Log(line); };
  return NormaliseContent(context, texts.kind, texts.subject, texts.body);
}

MailFilterChain::Decision MailFilterChain::ApprovedSenderRule(const std::string& sender) {
  StepTimer timer(env_.probe, ChainStep::kApprovedSender);
  if (lists_.Contains(SenderList::kApprovedIds, sender)) {
    Decided("approved-sender");
    Journal(kRuleOne);
    return Decision::kNormal;
  }
  std::string domain = DomainOfAddress(sender);
  if (!domain.empty() && lists_.Contains(SenderList::kApprovedDomains, domain)) {
    Decided("approved-domain");
    Journal(kRuleFive);
    return Decision::kNormal;
  }
  return Decision::kNone;
}

bool MailFilterChain::ForeignTextRule(ForeignTextMode mode, const MessageTexts& texts) {
  StepTimer timer(env_.probe, ChainStep::kForeignText);
  std::string charset = UpperAscii(FindCharsetDeclaration(texts.header, texts.extra, texts.body));
  if (!IsForeignCharset(charset) && !HasNonAsciiByte(texts.subject)) return false;
  switch (mode) {
    case ForeignTextMode::kChain:
      Decided("foreign-text");
      Journal(kRuleTwo);
      break;
    case ForeignTextMode::kReportSpam:
      Journal(kRuleTwoReport);
      break;
    case ForeignTextMode::kNotSpam:
      Journal(kRuleTwoNotSpam);
      break;
  }
  return true;
}

bool MailFilterChain::BlockedSenderRule(const std::string& sender) {
  StepTimer timer(env_.probe, ChainStep::kBlockedSender);
  if (lists_.Contains(SenderList::kBlockedIds, sender)) {
    Decided("blocked-sender");
    Journal(kRuleThree);
    return true;
  }
  std::string domain = DomainOfAddress(sender);
  if (!domain.empty() && lists_.Contains(SenderList::kBlockedDomains, domain)) {
    Decided("blocked-domain");
    Journal(kRuleSix);
    return true;
  }
  return false;
}

bool MailFilterChain::KeywordRule(const std::string& subject, const std::string& body) {
  StepTimer timer(env_.probe, ChainStep::kKeywords);
  std::string upper_body = UpperAscii(body);
  bool hit = ContainsKeyword(upper_body) || ContainsKeyword(UpperAscii(subject));
  // Keywords hidden in markup (split by tags, written as entities) show in the visible text.
  // Text in which rendering cannot form a keyword shows none the body did not: it still goes to
  // the scratch file, without the parse.
  if (!hit) {
    std::string section = ExtractHtmlSection(upper_body, body);
    if (RenderingMayFormWord(section, {kKeywords.begin(), kKeywords.end()})) {
      hit = ContainsKeyword(UpperAscii(Render(section)));
    } else {
      HtmlRenderContext context;
      context.install_dir = env_.install_dir;
      context.error_log = [this](const std::string& line) { Log(line); };
      WriteContentScratch(context, section);
    }
  }
  if (hit) {
    Decided("keywords");
    Journal(kRuleFour);
  }
  return hit;
}

bool MailFilterChain::RunFull(ChainForm form, int32_t folder, int32_t message,
                              const MessageTexts& texts) {
  Log(TryingLine(form, folder, message));
  std::string sender = ResolveSenderAddress(texts.header, texts.sender);
  if (env_.trace != nullptr) env_.trace->sender = sender;
  if (ApprovedSenderRule(sender) == Decision::kNormal) return false;
  if (ForeignTextRule(ForeignTextMode::kChain, texts)) {
    Log(FilterLine(form, "Second"));
    return true;
  }
  if (BlockedSenderRule(sender)) {
    Log(FilterLine(form, "Third"));
    return true;
  }
  std::string link_domain;
  {
    StepTimer timer(env_.probe, ChainStep::kLinkDomain);
    link_domain = ExtractLinkDomain(texts.body);
  }
  if (!link_domain.empty()) {
    if (KeywordRule(texts.subject, texts.body)) {
      Log(FilterLine(form, "Fourth"));
      return true;
    }
    StepTimer timer(env_.probe, ChainStep::kLinkSignature);
    if (Ask("link", link_domain, env_.signatures->IsSpamLink(env_.install_dir, link_domain))) {
      Decided("link-signature");
      Log(FilterLine(form, "Fifth"));
      return true;
    }
    return false;
  }
  StepTimer timer(env_.probe, ChainStep::kContentSignature);
  std::string content = Normalise(texts);
  if (!content.empty() &&
      Ask("content", {}, env_.signatures->IsSpamContent(env_.install_dir, content))) {
    Decided("content-signature");
    Log(FilterLine(form, "Sixth"));
    return true;
  }
  return false;
}

bool MailFilterChain::RunLarge(ChainForm form, int32_t folder, int32_t message,
                               const std::string& header, const std::string& sender_text) {
  Log(form == ChainForm::kIncoming ? TryingLine(form, folder, message)
                                   : std::string("[S] Trying to apply Vexmor filters on Mail."));
  std::string sender = ResolveSenderAddress(header, sender_text);
  if (env_.trace != nullptr) env_.trace->sender = sender;
  if (ApprovedSenderRule(sender) == Decision::kNormal) return false;
  if (BlockedSenderRule(sender)) {
    // Without a body there is no Rule II, and the first filter that can hit is logged as such.
    Log(FilterLine(form, "Second"));
    return true;
  }
  return false;
}

void MailFilterChain::ListSender(const std::string& sender, SenderList ids, SenderList domains) {
  if (sender.empty()) return;
  lists_.Add(ids, sender);
  std::string domain = DomainOfAddress(sender);
  if (!domain.empty()) lists_.Add(domains, domain);
}

void MailFilterChain::ReportSpam(const MessageTexts& texts) {
  // Foreign-language spam is caught by Rule II anyway: nothing to teach.
  if (ForeignTextRule(ForeignTextMode::kReportSpam, texts)) return;
  ReportSpamLarge(texts.header, texts.sender);
  std::string link_domain = ExtractLinkDomain(texts.body);
  if (!link_domain.empty()) {
    env_.signatures->ReportLink(env_.install_dir, link_domain);
    return;
  }
  std::string content = Normalise(texts);
  if (!content.empty()) env_.signatures->ReportContent(env_.install_dir, content);
}

void MailFilterChain::ReportSpamLarge(const std::string& header, const std::string& sender) {
  ListSender(ResolveSenderAddress(header, sender), SenderList::kBlockedIds,
             SenderList::kBlockedDomains);
}

void MailFilterChain::NotSpam(const MessageTexts& texts) {
  if (ForeignTextRule(ForeignTextMode::kNotSpam, texts)) return;
  NotSpamLarge(texts.header, texts.sender);
  std::string link_domain = ExtractLinkDomain(texts.body);
  // A content signature stays: other users' reports of the same text still count.
  if (!link_domain.empty()) env_.signatures->WithdrawLink(env_.install_dir, link_domain);
}

void MailFilterChain::NotSpamLarge(const std::string& header, const std::string& sender_text) {
  std::string sender = ResolveSenderAddress(header, sender_text);
  lists_.Remove(SenderList::kBlockedIds, sender);
  lists_.Add(SenderList::kApprovedIds, sender);
  std::string domain = DomainOfAddress(sender);
  if (!domain.empty()) {
    lists_.Remove(SenderList::kBlockedDomains, domain);
    lists_.Add(SenderList::kApprovedDomains, domain);
  }
}

}  // namespace vexmor::hook
