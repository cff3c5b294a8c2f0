// The verdict on one incoming message: the numbered rules, the order they run in
// (MailFilterChain in its incoming and folder-check forms, each full or large), and the two
// feedback operations that teach the sender lists and the signature server (Report Spam,
// Not Spam).
//
// Every rule that decides writes one entry into the journal "Vexmor.ini" of the install
// directory; the chains log their "[S] ..." lines into "Vexmor_OE_Log.txt" there. The texts
// are read by support staff: keep them exactly as they are.
//
// Nothing here throws on bad input: empty texts, texts with any bytes and missing state files
// all lead to a verdict. Exceptions of the parts below (allocation failures) leave the calls;
// the exported entry points catch them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexmor/platform/clock.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/platform/profile.h"
#include "vexmor/validate/report_delivery.h"

namespace vexmor::hook {

// The four lists of the sender-list store, in the store's list numbering (code / 4).
enum class SenderList : int32_t {
  kBlockedIds = 0,       // "Id"
  kApprovedIds = 1,      // "WId"
  kBlockedDomains = 2,   // "BD_Id"
  kApprovedDomains = 3,  // "WD_Id"
};

// The sender lists as the rules use them, on the store in the system folder. The install
// directory only says where the store's error marks go. A look-up that fails counts as not
// found; an add that fails starts the store with the value. One object serves one message: once
// a look-up finds no store at all, its other look-ups answer at once instead of asking again
// (and marking the error again); the next message's object asks afresh, so a store made
// meanwhile is used from then on.
class SenderLists {
 public:
  explicit SenderLists(std::string install_dir);
  virtual ~SenderLists();

  bool Contains(SenderList list, const std::string& value) const;
  void Add(SenderList list, const std::string& value) const;
  void Remove(SenderList list, const std::string& value) const;
  // Every entry of "Id" or "WId", each followed by "[//]"; empty when the store is unusable.
  std::string Joined(SenderList list) const;
  // True when the once-only list build 1 (approved ids) or 2 (approved domains) is still due;
  // the store records that it now runs.
  bool BuildDue(uint32_t which) const;

 private:
  std::string install_dir_;
  // A look-up found no store; an add or remove of this object may make one.
  mutable bool store_missing_ = false;
};

// The signature server as the rules ask it. Only a definite "known as spam" answer counts;
// a server that is down or answers garbage gives false and the chain goes on with the local
// rules' verdict.
class SignatureService {
 public:
  virtual ~SignatureService() = default;
  virtual bool IsSpamLink(const std::string& install_dir, const std::string& link_domain) = 0;
  virtual bool IsSpamContent(const std::string& install_dir, const std::string& content) = 0;
  virtual void ReportLink(const std::string& install_dir, const std::string& link_domain) = 0;
  virtual void ReportContent(const std::string& install_dir, const std::string& content) = 0;
  virtual void WithdrawLink(const std::string& install_dir, const std::string& link_domain) = 0;
};

// The real service: one CCheckSum of the validation library per request. Stateless; safe to
// share between threads.
SignatureService& ServerSignatures();
// What became of the reports and withdrawals this thread sent through ServerSignatures() since
// the last call (the worst of them: failed, then waiting, then acknowledged); kNone when none
// was sent. Each call starts the count again.
validate::ReportDelivery TakeSignatureDelivery();

// The steps of a chain, for the timing probe of the benchmark.
enum class ChainStep : int {
  kApprovedSender = 0,  // Rules I and V
  kForeignText,         // Rule II
  kBlockedSender,       // Rules III and VI
  kLinkDomain,          // finding the first untrusted link
  kKeywords,            // Rule IV
  kLinkSignature,       // the link signature at the server
  kContentSignature,    // normalising and the content signature at the server
  kCount
};
std::string_view ChainStepName(ChainStep step);
using StepProbe = std::function<void(ChainStep, std::chrono::nanoseconds)>;

// What one run of the chain found, for the verdict log: the rule that decided and every
// signature it asked the server about.
struct VerdictTrace {
  struct Asked {
    std::string kind;  // "link" or "content"
    std::string text;  // the link domain; empty for content
    std::optional<int64_t> signature;
    bool spam = false;  // the server's answer
  };
  // "approved-sender", "approved-domain", "foreign-text", "blocked-sender", "blocked-domain",
  // "keywords", "link-signature", "content-signature", or "none" (no rule found spam).
  std::string rule = "none";
  std::string sender;
  std::vector<Asked> asked;
};

// What a chain works with. Null members take the process defaults.
struct FilterEnvironment {
  std::string install_dir;  // ends with '/'
  // The ports come from the caller (the library's wiring, or a test); all four are required.
  platform::Profile* profile = nullptr;      // the journal
  const platform::Clock* clock = nullptr;    // log stamps
  const platform::HtmlText* html = nullptr;  // the visible text of HTML bodies
  SignatureService* signatures = nullptr;    // the signature server
  StepProbe probe;                           // may be empty
  VerdictTrace* trace = nullptr;             // filled by the verdict runs when given
};

// The texts of one message as the host hands them over (Windows-1252 bytes).
struct MessageTexts {
  int32_t kind = 0;  // 1 HTML, anything else plain
  std::string subject;
  std::string sender;  // the sender address as the host knows it
  std::string header;
  std::string body;
  std::string extra;  // a second place where the charset is sought
};

enum class ChainForm { kIncoming, kFolderCheck };

// Rule II's journal text depends on who asks.
enum class ForeignTextMode : int { kChain = 1, kReportSpam = 2, kNotSpam = 3 };

// The charsets Rule II treats as foreign, compared with the upper-cased declaration.
bool IsForeignCharset(std::string_view upper_charset);

class MailFilterChain {
 public:
  explicit MailFilterChain(FilterEnvironment environment);
  virtual ~MailFilterChain();
  MailFilterChain(const MailFilterChain&) = delete;
  MailFilterChain& operator=(const MailFilterChain&) = delete;

  // The verdicts: true is spam.
  bool RunFull(ChainForm form, int32_t folder, int32_t message, const MessageTexts& texts);
  // For messages the host passes without a body.
  bool RunLarge(ChainForm form, int32_t folder, int32_t message, const std::string& header,
                const std::string& sender);

  void ReportSpam(const MessageTexts& texts);
  void ReportSpamLarge(const std::string& header, const std::string& sender);
  void NotSpam(const MessageTexts& texts);
  void NotSpamLarge(const std::string& header, const std::string& sender);

  // The rules one by one; each writes its journal entry when it decides.
  enum class Decision { kNone, kNormal, kSpam };
  Decision ApprovedSenderRule(const std::string& sender);                 // Rules I, V
  bool ForeignTextRule(ForeignTextMode mode, const MessageTexts& texts);  // Rule II
  bool BlockedSenderRule(const std::string& sender);                      // Rules III, VI
  bool KeywordRule(const std::string& subject, const std::string& body);  // Rule IV

  const FilterEnvironment& environment() const { return env_; }

 private:
  void Journal(std::string_view text);
  void Log(std::string_view line);
  void Decided(std::string_view rule);
  // Notes a question to the server for the trace; gives back its answer.
  bool Ask(std::string_view kind, const std::string& text, bool spam);
  void ListSender(const std::string& sender, SenderList ids, SenderList domains);
  std::string Render(const std::string& section);
  std::string Normalise(const MessageTexts& texts);

  FilterEnvironment env_;
  SenderLists lists_;
};

}  // namespace vexmor::hook
