#include "vexmor/addin/commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "addin_internal.h"
#include "text_rules.h"
#include "vexmor/addin/deciding_signature.h"
#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/incoming_filter.h"
#include "vexmor/addin/mover.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/state_files.h"
#include "vexmor/userinterface/CUserInterface.h"
#include "vexmor/validate/CCheckSum.h"
#include "vexmor/validate/CCheckValidate.h"
#include "vexmor/validate/CXml.h"
#include "vexmor/validate/report_delivery.h"

namespace vexmor::addin {

// ReportOne with the folder found: null leaves the mail where it is.
void ReportOneTo(com::IMailItem* item, std::string text, com::IFolder* posted);

namespace {

using namespace vexmor::com;
using platform::MessageBoxAnswer;
using platform::MessageBoxButtons;
using platform::MessageBoxIcon;

std::atomic<bool> g_report_running{false};

// Clears the report-running flag on every road out of a command.
struct RunningFlag {
  RunningFlag() { g_report_running = true; }
  ~RunningFlag() { g_report_running = false; }
};

void Log(std::string_view line) {
  log::WriteAddinLog(line, false);
}

// Tells the log when the server could not take the last report or withdrawal now: it waits in
// the spool and goes out when the server answers again, or it could not even be kept.
void LogDelivery() {
  switch (validate::LastReportDelivery()) {
    case validate::ReportDelivery::kSpooled:
      Log("The signature server did not answer: " +
          std::to_string(validate::WaitingReports(InstallDir())) +
          " report(s) wait and are sent when it answers again(S).");
      break;
    case validate::ReportDelivery::kFailed:
      Log("The signature server did not take the signature and it could not be kept for "
          "later(B).");
      break;
    default:
      break;
  }
}

bool IsSpamFolderName(std::string_view name) {
  return name == kSpamFolderName || name == kSpamPostedFolderName;
}

bool Found(CXml& xml, const std::string& value, int32_t code) {
  std::string result;
  xml.ReadFile(value, code, &result);
  return result == "Found";
}

// Adds through the look-up-and-add code and starts the file when that fails; the result text.
std::string AddToList(CXml& xml, const std::string& value, int32_t add_code, uint32_t kind,
                      bool* wrote = nullptr) {
  std::string result;
  bool read = xml.ReadFile(value, add_code, &result);
  if (!read) xml.WriteFile(value, kind);
  if (wrote != nullptr) *wrote = !read;
  return result;
}

template <typename T>
struct Ref {
  T* p = nullptr;
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (p != nullptr) p->Release();
  }
  T** out() { return &p; }
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

std::string FolderName(IFolder* folder) {
  char* name = nullptr;
  if (!Succeeded(folder->Name(&name))) throw std::runtime_error("folder name");
  return TakeComString(name);
}

int32_t ItemsOf(IFolder* folder) {
  int32_t count = 0;
  if (!Succeeded(folder->ItemsCount(&count))) throw std::runtime_error("items");
  return count;
}

// What the commands read of one mail.
struct MailTexts {
  std::string sender;
  std::string subject;
  std::string lowered_html;
  std::string body;
  std::string parent_hex;
};

MailTexts ReadMail(IMailItem* item) {
  char* hex = nullptr;
  if (!Succeeded(item->EntryID(&hex))) throw std::runtime_error("entry id");
  SetMessageIdHex(TakeComString(hex));
  hex = nullptr;
  MailTexts texts;
  if (!Succeeded(item->ParentEntryID(&hex))) throw std::runtime_error("parent");
  texts.parent_hex = TakeComString(hex);
  SetParentIdHex(texts.parent_hex);
  platform::MapiStore* store = nullptr;
  platform::EntryId message;
  if (!Succeeded(item->GetObject(&store, &message)) || store == nullptr) {
    throw std::runtime_error("message");
  }
  StatusOr<platform::MessageProps> props = store->GetMessageProps(message, kBodyChunkBytes);
  if (!props.ok()) throw std::runtime_error("message properties");
  texts.sender = platform::Ansi(props->sender_address);
  texts.subject = platform::Ansi(props->subject);
  if (props->has_html) texts.lowered_html = Lower(platform::Ansi(props->body_html));
  if (props->body_too_large) {
    AppendBodyInChunks(*store, message, texts.body);
  } else if (props->has_body) {
    texts.body = platform::Ansi(props->body);
  }
  return texts;
}

// The first folder of a collection with that exact name (one reference), or null.
IFolder* ChildNamed(IFolders* folders, std::string_view name) {
  int32_t count = 0;
  folders->Count(&count);
  IFolder* folder = nullptr;
  folders->GetFirst(&folder);
  for (int32_t i = 0; i < count && folder != nullptr; ++i) {
    char* text = nullptr;
    if (Succeeded(folder->Name(&text)) && TakeComString(text) == name) return folder;
    folder->Release();
    folder = nullptr;
    folders->GetNext(&folder);
  }
  if (folder != nullptr) folder->Release();
  return nullptr;
}

// "Spam_Posted" below "Personal Folders", added when missing (one reference), or null.
IFolder* SpamPostedFolder(const CommandContext& context) {
  Ref<INameSpace> name_space;
  Ref<IFolders> top;
  if (!Succeeded(context.application->GetNamespace("MAPI", name_space.out())) || !name_space ||
      !Succeeded(name_space->Folders(top.out())) || !top) {
    return nullptr;
  }
  Ref<IFolder> personal;
  personal.p = ChildNamed(top.p, platform::kPersonalFolders);
  Ref<IFolders> children;
  if (!personal || !Succeeded(personal->Folders(children.out())) || !children) return nullptr;
  IFolder* posted = ChildNamed(children.p, kSpamPostedFolderName);
  if (posted == nullptr) {
    std::string name(kSpamPostedFolderName);
    if (!Succeeded(children->Add(name.c_str(), "IPF.NOTE", &posted))) posted = nullptr;
  }
  return posted;
}

void MoveTo(IMailItem* item, IFolder* folder) {
  if (item != nullptr && folder != nullptr) item->Move(folder);
}

// The Report Spam steps for one mail already read (sender lists, link, ReportOne).
void ReportMail(const CommandContext& context, IMailItem* item, const MailTexts& texts,
                bool in_place) {
  IncomingFilter& filter = TheIncomingFilter();
  if (!texts.lowered_html.empty() && IsForeignCharset(DeclaredCharset(texts.lowered_html))) {
    if (!in_place) MoveToFolder(MoveKind::kSpamPosted);
    Log("Selected mail added to SPAM_POSTED list by RS-Initial filter(S).");
    return;
  }
  filter.link = HtmlLink(texts.lowered_html);
  CXml xml(InstallDir());
  AddToList(xml, texts.sender, 2, 1);
  std::string domain = DomainOfAddress(texts.sender);
  if (!domain.empty()) {
    bool wrote = false;
    AddToList(xml, domain, 10, 3, &wrote);
    if (wrote) Log("Applied Vexmor RS-Fifth filter(S).");
    Log("Applied Vexmor RS-Second filter(S).");
  }
  // The server learns the text the incoming chain and the folder check compare: the subject
  // followed by the body. The body alone would never match a mail whose subject has words.
  // The link (HTML, else the first one in that text) is chosen in ReportOneTo as the chain
  // chooses it.
  filter.analysisText = Trim(texts.subject + texts.body);
  Ref<IFolder> posted;
  if (!in_place) posted.p = SpamPostedFolder(context);
  ReportOneTo(item, filter.analysisText, posted.p);
}

// The Not Spam steps for one mail already read (sender lists, link, RestoreOne).
void RestoreMail(const MailTexts& texts, bool in_place) {
  IncomingFilter& filter = TheIncomingFilter();
  CXml xml(InstallDir());
  std::string result;
  xml.ReadFile(texts.sender, 1, &result);
  result = AddToList(xml, texts.sender, 6, 2);
  if (result == "Found") Log("Applied NS-Second filter(S).");
  std::string domain = DomainOfAddress(texts.sender);
  if (!domain.empty()) {
    std::string ignored;
    xml.ReadFile(domain, 9, &ignored);
    bool wrote = false;
    AddToList(xml, domain, 14, 4, &wrote);
    if (wrote) Log("Applied NS-Fourth filter(S).");
  }
  // The link signature the chain compares for this mail is the one withdrawn: a link written
  // in the text is reduced to its domain as well.
  DecidingSignature decided = DecideSignature(filter.link, texts.subject + texts.body);
  filter.analysisText = Trim(texts.body);
  const bool link = decided.kind == DecidingSignature::Kind::kHtmlLink ||
                    decided.kind == DecidingSignature::Kind::kTextLink;
  filter.link = link ? decided.link_domain : std::string();
  RestoreOne(in_place);
}

}  // namespace

bool ReportRunning() {
  return g_report_running.load();
}

MessageBoxAnswer ShowBox(const CommandContext& context, const std::string& text,
                         MessageBoxButtons buttons, MessageBoxIcon icon, std::string_view caption) {
  const MessageBoxAnswer cautious =
      buttons == MessageBoxButtons::kYesNo ? MessageBoxAnswer::kNo : MessageBoxAnswer::kOk;
  platform::Desktop desktop;
  if (context.application == nullptr || !Succeeded(context.application->Desktop(&desktop)) ||
      desktop.message_boxes == nullptr) {
    return cautious;
  }
  platform::MessageBoxRequest request;
  if (desktop.windows != nullptr) {
    request.owner = desktop.windows->FindTopLevel(std::string(kMainWindowClass), std::nullopt);
  }
  request.text = text;
  request.caption = std::string(caption);
  request.buttons = buttons;
  request.icon = icon;
  StatusOr<MessageBoxAnswer> answer = desktop.message_boxes->Show(request);
  return answer.ok() ? *answer : cautious;
}

void ReportSelection(const CommandContext& context, int mode) {
  RunningFlag running;
  const bool report = mode == 0;
  IncomingFilter& filter = TheIncomingFilter();
  try {
    Ref<INameSpace> name_space;
    Ref<IFolder> current;
    if (context.application == nullptr || context.explorer == nullptr ||
        !Succeeded(context.application->GetNamespace("MAPI", name_space.out())) ||
        !Succeeded(context.explorer->CurrentFolder(current.out())) || !current) {
      return;
    }
    Log("Successfully logged on MAPI namespace(S).");
    const std::string folder_name = FolderName(current.p);
    if (report && IsSpamFolderName(folder_name)) {
      ShowBox(context, "Report SPAM is not possible for mails in Spam or Spam_Posted folder.",
              MessageBoxButtons::kOk, MessageBoxIcon::kWarning);
      return;
    }
    Ref<ISelection> selection;
    int32_t n = 0;
    if (!Succeeded(context.explorer->Selection(selection.out())) || !selection ||
        !Succeeded(selection->Count(&n))) {
      return;
    }
    if (n > kMaxSelected) {
      ShowBox(context,
              "You have attempted to report " + std::to_string(n) +
                  " SPAM mails. Maximum allowed is 100 mails.\nPlease try again.",
              MessageBoxButtons::kOk, MessageBoxIcon::kWarning);
      return;
    }
    Log(std::to_string(n) + "::NoOfSelected Mail Items(S).");
    for (int32_t i = 1; i <= n; ++i) {
      Ref<IMailItem> item;
      if (!Succeeded(selection->Item(i, item.out())) || !item) continue;
      char* message_class = nullptr;
      if (!Succeeded(item->MessageClass(&message_class)) ||
          TakeComString(message_class) != "IPM.Note") {
        continue;
      }
      MailTexts texts = ReadMail(item.p);
      if (!report && !texts.lowered_html.empty() &&
          IsForeignCharset(DeclaredCharset(texts.lowered_html))) {
        if (ShowBox(context,
                    "Are you sure you want to remove selected Mail Id and the signature from "
                    "Vexmor list?",
                    MessageBoxButtons::kYesNo,
                    MessageBoxIcon::kWarning) == MessageBoxAnswer::kYes) {
          MoveToFolder(MoveKind::kInbox);
          Log("Selected mail added to INBOX by NS-Initial filter(S).");
        }
        continue;
      }
      if (report) {
        ReportMail(context, item.p, texts, false);
        continue;
      }
      filter.link = HtmlLink(texts.lowered_html);
      if (!IsSpamFolderName(folder_name)) {
        ShowBox(context, "'Not Spam' option will work only for 'Spam' and 'Spam_Posted' folders.",
                MessageBoxButtons::kOk, MessageBoxIcon::kWarning);
        return;
      }
      if (ShowBox(context,
                  "Are you sure you want to remove selected Mail Id and the signature from Vexmor "
                  "list?",
                  MessageBoxButtons::kYesNo, MessageBoxIcon::kWarning) != MessageBoxAnswer::kYes) {
        return;
      }
      RestoreMail(texts, false);
    }
  } catch (const std::exception&) {
    Log("Failed to log on MAPI namespace(B).");
  }
}

void ReportOne(const CommandContext& context, IMailItem* item, std::string text) {
  Ref<IFolder> posted;
  posted.p = SpamPostedFolder(context);
  ReportOneTo(item, std::move(text), posted.p);
}

// "posted" null: the mail is in "Spam_Posted" already and stays.
void ReportOneTo(IMailItem* item, std::string text, IFolder* posted) {
  IncomingFilter& filter = TheIncomingFilter();
  if (text.size() > kContentLimit) {
    MoveTo(item, posted);
    Log("Selected mail has more than RS-Third & added to SPAM_POSTED list(S).");
    return;
  }
  // The signature the incoming chain will ask for a later copy of this mail.
  DecidingSignature decided = DecideSignature(filter.link, text);
  filter.link = decided.link_domain;
  if (!filter.link.empty()) {
    filter.checksum.Arrange_SpamMail_Url(filter.link);
    if (filter.checksum.UpdateCheckSumValue_Url(InstallDir())) {
      LogDelivery();
      MoveTo(item, posted);
      Log("Selected mail added to SPAM_POSTED list by RS-Fourth filter(S).");
      return;
    }
    LogDelivery();
  }
  if (decided.text.empty()) {
    MoveTo(item, posted);
    Log("Selected mail violates Final filter. It added to SPAM_POSTED list(S).");
    return;
  }
  // The chain compares texts of up to kContentLimit characters, so one of exactly that length
  // is posted too.
  if (decided.text.size() <= kContentLimit) {
    filter.checksum.Arrange_SpamMail(decided.text);
    filter.checksum.UpdateCheckSumValue(InstallDir());
    LogDelivery();
  }
  MoveTo(item, posted);
  Log("Selected mail added to SPAM_POSTED list by Final Vexmor filter(S).");
}

void RestoreOne(bool in_place) {
  IncomingFilter& filter = TheIncomingFilter();
  try {
    if (!filter.link.empty()) {
      filter.checksum.Arrange_SpamMail_Url(filter.link);
      filter.checksum.RemoveCheckSumValue_Url(InstallDir());
      LogDelivery();
    }
    if (!in_place) MoveToFolder(MoveKind::kInbox);
    Log("Selected Mail added to INBOX list by NS-Third filter(S).");
  } catch (const std::exception&) {
    Log("Failed: Remove DN singnature from Vexmor(B).");
  }
}

void ReportMovedMail(const CommandContext& context, IMailItem* item) {
  RunningFlag running;
  try {
    MailTexts texts = ReadMail(item);
    ReportMail(context, item, texts, true);
  } catch (const std::exception&) {
    Log("Failed to log on MAPI namespace(B).");
  }
}

void RestoreMovedMail(const CommandContext&, IMailItem* item) {
  RunningFlag running;
  try {
    MailTexts texts = ReadMail(item);
    TheIncomingFilter().link = HtmlLink(texts.lowered_html);
    RestoreMail(texts, true);
  } catch (const std::exception&) {
    Log("Failed to log on MAPI namespace(B).");
  }
}

void CheckFolder(const CommandContext& context, const std::string& folder_hex) {
  platform::MapiLogon* logon = AccountLogon();
  if (logon == nullptr) return;
  StatusOr<std::unique_ptr<platform::MapiSession>> session = logon->Logon();
  if (!session.ok()) return;
  platform::Profile& profile = AddinProfile();
  const std::string message_file = InstallDir() + std::string(state::kMessageFile);
  try {
    CCheckValidate validate;
    CCheckSum link_sum;
    StatusOr<platform::EntryId> store_id = FindDefaultStore(**session);
    if (!store_id.ok()) throw std::runtime_error("store");
    StatusOr<std::unique_ptr<platform::MapiStore>> opened = (*session)->OpenMsgStore(*store_id);
    if (!opened.ok()) throw std::runtime_error("store");
    platform::MapiStore& store = **opened;
    std::optional<std::string> folder_bin = platform::FBinFromHex(folder_hex);
    if (!folder_bin) throw std::runtime_error("folder id");
    StatusOr<std::string> path = FolderPathOf(store, *folder_bin);
    if (!path.ok()) throw std::runtime_error("folder path");
    StatusOr<platform::EntryId> folder = OpenFolderByPath(store, '\\', *path);
    if (!folder.ok()) throw std::runtime_error("folder");
    StatusOr<platform::FolderProps> folder_props = store.GetFolderProps(*folder);
    std::string name = folder_props.ok() ? platform::Ansi(folder_props->display_name) : "";

    CUserInterface().StartProgress_Vexmor(0, context.main_window, InstallDir(), name, false, true);
    // The product's fixed pause: the dialog is up before the first count is written.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    StatusOr<std::vector<platform::EntryId>> rows = store.GetContentsTable(*folder);
    if (!rows.ok()) throw std::runtime_error("contents");
    const int count = static_cast<int>(rows->size());
    (void)profile.WriteString(message_file, state::kSectionMessage, state::kKeyTotalCount,
                              std::to_string(count));
    Log(std::to_string(count) + "\t::Check For Spam");
    CXml xml(InstallDir());
    for (int i = 0; i < count; ++i) {
      const platform::EntryId& row = (*rows)[static_cast<size_t>(i)];
      StatusOr<platform::EntryId> spam = OpenFolderByPath(store, '\\', kSpamPath);
      if (!spam.ok() && CreateSpamFolder(store, false)) {
        spam = OpenFolderByPath(store, '\\', kSpamPath);
      }
      auto to_spam = [&] {
        if (spam.ok()) (void)store.MoveMessage(*folder, row, *spam);
      };
      StatusOr<platform::ObjectType> type = store.ObjectTypeOf(row);
      StatusOr<platform::MessageProps> props =
          type.ok() && *type == platform::ObjectType::kMessage
              ? store.GetMessageProps(row, kBodyChunkBytes)
              : StatusOr<platform::MessageProps>(Status::NotFound("not a message"));
      if (props.ok()) {
        const std::string sender = platform::Ansi(props->sender_address);
        const std::string domain = DomainOfAddress(sender);
        // One message's verdict; returns as soon as a step decides.
        [&] {
          if (Found(xml, sender, 7)) {
            Log("Mail added to Inbox by Chk-Initial Filter(S).");
            return;
          }
          if (Found(xml, domain, 15)) {
            Log("Mail added to Inbox by Chk-Second Filter(S).");
            return;
          }
          // The check's link lives on this thread only: the client's thread may be using the
          // shared one for a report at the same time.
          std::string second_link =
              props->has_html ? HtmlLink(Lower(platform::Ansi(props->body_html))) : "";
          if (HasNonAsciiCharacter(props->subject)) {
            to_spam();
            Log("Mail added to Spam by Chk-Fourth Filter(S).");
            return;
          }
          if (Found(xml, sender, 3)) {
            Log("Mail added to Spam by Chk-Fifth Filter(S).");
            to_spam();
            return;
          }
          if (Found(xml, domain, 11)) {
            to_spam();
            Log("Mail added to Spam by Chk-Sixth Filter(S).");
            return;
          }
          std::string text = platform::Ansi(props->subject);
          if (props->body_too_large) {
            AppendBodyInChunks(store, row, text);
          } else if (props->has_body) {
            text += platform::Ansi(props->body);
          }
          text = Lower(Trim(text));
          auto link_known = [&](std::string_view line) {
            link_sum.Arrange_SpamMail_Url(second_link);
            if (link_sum.CompareCheckSumValue_Url(InstallDir())) {
              to_spam();
              Log(line);
            }
          };
          if (!second_link.empty()) {
            if (!text.empty() && HasKeyword(text)) {
              to_spam();
              Log("Mail added to Spam by Chk-Seventh Filter(S).");
              return;
            }
            ReduceLinkToDomain(second_link);
            if (!second_link.empty())
              return link_known("Mail added to Spam by Chk-Eighth Filter(S).");
          } else if (std::optional<std::string> found = TextLinkOf(text)) {
            if (HasKeyword(text)) {
              to_spam();
              Log("Mail added to Spam by Chk-Ninth Filter(S).");
              return;
            }
            second_link = *found + " ";
            ReduceLinkToDomain(second_link);
            if (!second_link.empty())
              return link_known("Mail added to Spam by Chk-Tenth Filter(S).");
          }
          if (!text.empty() && text.size() <= kContentLimit) {
            validate.Arrange_SpamMail(text);
            if (validate.CompareCheckSumValue(InstallDir())) {
              to_spam();
              Log("Mail added to Spam by Chk-Final Filter(S).");
            }
          }
        }();
      }
      Log("Applied Vexmor fileters on \t" + std::to_string(i + 1) + "\tmail(S).");
      if (profile.GetInt(message_file, state::kSectionVexmor, state::kKeyCheckStop, 0) == 1) break;
      (void)profile.WriteString(message_file, state::kSectionMessage, state::kKeyPresentCount,
                                std::to_string(i + 1));
    }
  } catch (const std::exception&) {
    // The check ends; what it moved stays moved.
  }
  (*session)->Logoff();
}

void StartCheck(const CommandContext& context) {
  if (context.explorer == nullptr) return;
  Ref<IFolder> current;
  if (!Succeeded(context.explorer->CurrentFolder(current.out())) || !current) return;
  int32_t count = 0;
  if (!Succeeded(current->ItemsCount(&count)) || count < 1) return;
  // The folder's id is taken here, on the client's thread, which alone may ask the explorer.
  char* hex = nullptr;
  if (!Succeeded(current->EntryID(&hex))) return;
  std::string folder_hex = TakeComString(hex);
  CommandContext copy = context;
  LockModule(true);
  try {
    std::thread([copy, folder_hex] {
      try {
        CheckFolder(copy, folder_hex);
      } catch (...) {
      }
      LockModule(false);
    }).detach();
  } catch (const std::exception&) {
    LockModule(false);
  }
}

void EmptySpamFolder(const CommandContext& context) {
  const bool oldest = context.outlook_version.substr(0, context.outlook_version.find('.')) == "9";
  try {
    Ref<IFolder> current;
    if (context.explorer == nullptr || !Succeeded(context.explorer->CurrentFolder(current.out())) ||
        !current) {
      return;
    }
    const std::string name = FolderName(current.p);
    if (!IsSpamFolderName(name)) {
      ShowBox(context,
              "Please select  \"Spam\" or \"Spam_Posted\" folder to perform cleanup operation.",
              MessageBoxButtons::kOk, MessageBoxIcon::kWarning);
      return;
    }
    const int32_t n = ItemsOf(current.p);
    if (n == 0) {
      ShowBox(context, "The \"" + name + "\" folder you have selected is empty.",
              MessageBoxButtons::kOk, MessageBoxIcon::kWarning);
      return;
    }
    std::string question = std::string("Are you sure you want to delete e-mail ") +
                           (n == 1 ? "message of selected " : "messages of selected ") + "\"" +
                           name + "\" folder?";
    if (ShowBox(context, question, MessageBoxButtons::kYesNo, MessageBoxIcon::kQuestion) !=
        MessageBoxAnswer::kYes) {
      return;
    }
    platform::MapiStore* store = nullptr;
    platform::EntryId folder;
    if (oldest) {
      // The oldest client's folder object gives no store: log on and find the folder by path.
      platform::MapiLogon* logon = AccountLogon();
      char* hex = nullptr;
      if (logon == nullptr || !Succeeded(current->EntryID(&hex))) return;
      std::optional<std::string> bin = platform::FBinFromHex(TakeComString(hex));
      StatusOr<std::unique_ptr<platform::MapiSession>> session = logon->Logon();
      if (!bin || !session.ok()) return;
      StatusOr<platform::EntryId> store_id = FindDefaultStore(**session);
      if (!store_id.ok()) return;
      StatusOr<std::unique_ptr<platform::MapiStore>> opened = (*session)->OpenMsgStore(*store_id);
      if (!opened.ok()) return;
      StatusOr<std::string> path = FolderPathOf(**opened, *bin);
      StatusOr<platform::EntryId> by_path =
          path.ok() ? OpenFolderByPath(**opened, '\\', *path) : path.status();
      if (by_path.ok()) (void)(*opened)->EmptyFolder(*by_path);
      (*session)->Logoff();
      return;
    }
    if (Succeeded(current->GetObject(&store, &folder)) && store != nullptr) {
      (void)store->EmptyFolder(folder);
    }
  } catch (const std::exception&) {
    Log(oldest ? "Failed at Empty spam for Outlook 2000(B)"
               : "Failed at Empty spam for Outlook XP/2003(B)");
  }
}

}  // namespace vexmor::addin
