#include "plugin_host.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "bounded_header.h"
#include "vexmor/log/write_log.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/problems.h"
#include "vexmor/state/state_files.h"

namespace vexmor::plugin {
namespace {

namespace sf = vexmor::state;
using platform::BodyKind;

constexpr int32_t kToolbarMenu = 2;  // the top-level menu that holds "&Layout..."
constexpr int32_t kMenuItemOption = 10;
constexpr int32_t kToolbarSetting = 0;
constexpr int kWatchdogTicks = 30;  // about 30 seconds without progress
// Bytes of a message its digest is taken over: all of any mail a person rescues from "Spam".
constexpr size_t kDigestBytes = 8 * 1024 * 1024;

bool IsNotFound(const Status& status) {
  return status.code() == StatusCode::kNotFound;
}

platform::Profile& RequiredProfile(platform::Profile* profile) {
  if (profile == nullptr) throw std::invalid_argument("PlugInHost needs a profile");
  return *profile;
}

std::string WithSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

PlugInHost::PlugInHost(HostEnvironment environment)
    : env_(std::move(environment)),
      problems_(RequiredProfile(env_.profile), WithSlash(env_.install_dir)),
      path_watch_(*env_.profile),
      ledger_(std::string()),
      tracker_(
          [this](platform::TrackedSpot spot) {
            return Exists({spot.folder, spot.message});
          },
          [this](platform::TrackedSpot spot) {
            return DigestAt({spot.folder, spot.message});
          }) {
  env_.install_dir = WithSlash(env_.install_dir);
  ledger_ = MessageLedger(env_.install_dir + std::string(kLedgerFile));
  log_ = [dir = env_.install_dir](std::string_view line) { log::WriteLog(line, dir); };
  diagnostics_ = [](std::string_view line) { std::cerr << "Vexmor_PlugIn: " << line << std::endl; };
  problems_.SetSinks([this](std::string_view line) { log_(line); },
                     [this](std::string_view line) { diagnostics_(line); });
}

PlugInHost::~PlugInHost() = default;

std::string PlugInHost::MessageFile() const {
  return sf::InstallFile(env_.install_dir, sf::kMessageFile);
}

std::string PlugInHost::ProcessMsgFile() const {
  return sf::InstallFile(env_.install_dir, sf::kProcessMsgFile);
}

int32_t PlugInHost::ReadInt(std::string_view file, std::string_view section, std::string_view key,
                            int32_t default_value) const {
  return env_.profile->GetInt(file, section, key, default_value);
}

void PlugInHost::Write(std::string_view file, std::string_view section, std::string_view key,
                       std::string_view value) {
  // A key that cannot be written is the state file's problem; the handler goes on.
  (void)env_.profile->WriteString(file, section, key, value);
}

void PlugInHost::WriteMessageKey(std::string_view section, std::string_view key,
                                 std::string_view value) {
  Write(MessageFile(), section, key, value);
}

void PlugInHost::Record(Procedure procedure, const Status& failure) {
  const int number = static_cast<int>(procedure);
  std::string value = std::to_string(number) + ",";
  if (procedure == Procedure::kNotSpam || procedure == Procedure::kPostedMessage ||
      procedure == Procedure::kReportList) {
    value += failure.message();
  } else {
    value += std::to_string(static_cast<int>(failure.code()));
  }
  WriteMessageKey(sf::kSectionError, sf::kKeyErrorGuiFunctions, value);
}

// ---------------------------------------------------------------------------------------------
// Start-up and shut-down

void PlugInHost::Start() {
  // What the last run told is history now; what is still wrong is found and told again.
  for (std::string_view topic :
       {state::kProblemPathFile, state::kProblemLedger, state::kProblemIdList}) {
    problems_.Clear(topic);
  }
  (void)path_watch_.Check(env_.install_dir);
  ledger_loaded_ = ledger_.Load();
  ReportLedgerDamage();
  if (Status s = CreateToolbar(); !s.ok()) {
    WriteMessageKey(sf::kSectionPlugIn, sf::kKeyClosed, "3");
    Record(Procedure::kCreateToolbar, s);
  }
  if (Status s = LoadPlugInForm(); !s.ok()) {
    WriteMessageKey(sf::kSectionPlugIn, sf::kKeyClosed, "3");
    Record(Procedure::kPlugInFormLoad, s);
  }
}

Status PlugInHost::CreateToolbar() {
  toolbar_.reset();
  if (ReadInt(MessageFile(), sf::kSectionPlugIn, sf::kKeyClosed, 0) == 1 &&
      (env_.chrome == nullptr || env_.chrome->ShowsEarlierToolbar())) {
    return Status::Ok();
  }
  if (env_.chrome == nullptr) return Status::Unavailable("the client offers no toolbar");

  if (Status s = env_.chrome->AddMenuItem(kToolbarMenu, "Vexmor", "&Layout...", kMenuItemOption,
                                          [this] { OnMenuClick(); });
      !s.ok()) {
    return s;
  }
  auto made = env_.chrome->CreateToolbar();
  if (!made.ok()) return made.status();
  toolbar_ = std::move(made).value();
  if (Status s = toolbar_->Configure(kToolbarSetting); !s.ok()) return s;
  if (auto id = toolbar_->Id(); !id.ok()) return id.status();

  const std::string images = env_.install_dir + "Images/";
  auto button = [&](const char* caption, const char* normal, const char* over) {
    return ButtonSpec{caption, images + normal, images + over};
  };
  if (auto b = toolbar_->AddButton(
          button("Report SPAM", "ReportSpam_normal.bmp", "ReportSpam_mouseover.bmp"));
      !b.ok()) {
    return b.status();
  }
  if (auto b =
          toolbar_->AddButton(button("Not SPAM", "NotSpam_normal.bmp", "NotSpam_mouseover.bmp"));
      !b.ok()) {
    return b.status();
  }
  if (Status s = toolbar_->AddSeparator(); !s.ok()) return s;
  auto product =
      toolbar_->AddButton(button("Vexmor         ", "Vexmor_normal.bmp", "vexmor_mouseover.bmp"));
  if (!product.ok()) return product.status();
  if (Status s = toolbar_->AddSeparator(); !s.ok()) return s;
  if (auto b = toolbar_->AddButton(button("Vexmor Help", "Help_normal.bmp", "Help_mouseover.bmp"));
      !b.ok()) {
    return b.status();
  }
  if (auto b = toolbar_->AddButton(
          button("Feedback Form", "Feedback_normal.bmp", "Feedback_mouseover.bmp"));
      !b.ok()) {
    return b.status();
  }
  auto id = toolbar_->Id();
  if (!id.ok()) return id.status();
  // The hook library tells the product's buttons from the client's own by this id.
  if (*id > sf::kDefaultToolbarId) {
    WriteMessageKey(sf::kSectionPlugIn, sf::kKeyToolbar, std::to_string(*id));
  }
  if (Status s = toolbar_->AddSubButton(
          *product, button("About Vexmor", "About_normal.bmp", "About_mouseover.bmp"));
      !s.ok()) {
    return s;
  }
  WriteMessageKey(sf::kSectionVexmor, sf::kKeyMenuChecked, "1");
  WriteMessageKey(sf::kSectionPlugIn, sf::kKeyClosed, "2");
  return Status::Ok();
}

Status PlugInHost::LoadPlugInForm() {
  if (env_.store == nullptr) return Status::Unavailable("no mail store");
  auto inbox = env_.store->GetFolder(platform::kInboxFolderId);
  if (!inbox.ok()) {
    WriteMessageKey(sf::kSectionError, sf::kKeyErrorGuiFunctions, "4");
    inbox = env_.store->GetFolder(platform::kInboxFolderId);
    if (!inbox.ok()) return inbox.status();
  }
  // Each folder search is a procedure of its own: a failure to find one spam folder does not
  // keep the host from finding the other.
  if (auto spam = FindOrCreateFolder(kSpamFolderName); spam.ok()) {
    spam_folder_ = *spam;
  } else {
    Record(Procedure::kFindSpam, spam.status());
  }
  if (auto posted = FindOrCreateFolder(kSpamPostedFolderName); posted.ok()) {
    spam_posted_folder_ = *posted;
  } else {
    Record(Procedure::kFindSpamPosted, posted.status());
  }
  toolbar_shown_ = true;
  queue_.Clear();
  busy_ = false;
  ready_ = true;
  return Status::Ok();
}

void PlugInHost::Shutdown() {
  SaveMarks();
  ready_ = false;
  toolbar_.reset();
  WriteMessageKey(sf::kSectionPlugIn, sf::kKeyClosed, "0");
}

void PlugInHost::OnMenuClick() {
  const bool show = !toolbar_shown_;
  Status s =
      toolbar_ != nullptr ? toolbar_->SetShown(show) : Status::Unavailable("there is no toolbar");
  if (!s.ok()) {
    WriteMessageKey(sf::kSectionVexmor, sf::kKeyMenuChecked, "1");
    Record(Procedure::kMenuClick, s);
    return;
  }
  WriteMessageKey(sf::kSectionVexmor, sf::kKeyMenuChecked, show ? "1" : "0");
  toolbar_shown_ = show;
}

StatusOr<FolderId> PlugInHost::FindFolder(std::string_view name) {
  NewMailScanner walker(*env_.store);
  auto folders = walker.AllFolders();
  if (!folders.ok()) return folders.status();
  for (const auto& folder : *folders) {
    if (folder.name == name) return folder.id;
  }
  return FolderId{0};
}

StatusOr<FolderId> PlugInHost::FindOrCreateFolder(std::string_view name) {
  auto found = FindFolder(name);
  if (!found.ok() || *found != 0) return found;
  return env_.store->CreateFolder(platform::kRootFolderId, name);
}

// ---------------------------------------------------------------------------------------------
// Messages

StatusOr<HandOn> PlugInHost::ReadMessage(FolderId folder, MessageId message) {
  auto info = env_.store->GetMessage(folder, message);
  if (!info.ok()) return info.status();
  auto source = env_.store->OpenMessage(folder, message);
  if (!source.ok()) return source.status();
  // Never more than the limit in memory: a large message needs its header only.
  auto raw = platform::ReadSource(**source, static_cast<size_t>(kLargeMessageBytes));
  if (!raw.ok()) return raw.status();
  const int64_t size =
      std::max(static_cast<int64_t>(info->size), static_cast<int64_t>(raw->size()));

  HandOn out;
  out.large = size >= kLargeMessageBytes;
  if (!out.large) {
    auto snapshot = platform::ReadMessageSnapshot(*raw);
    if (!snapshot.ok()) return snapshot.status();
    out.snapshot = std::move(snapshot).value();
    // Without a text part the message is judged as one with an empty text: the sender rules
    // apply to every message, the content rules to what text there is (the subject).
    if (out.snapshot.kind == BodyKind::kNone) out.snapshot.kind = BodyKind::kPlain;
  } else {
    raw->clear();
    raw->shrink_to_fit();
    // The header may run on past what was read: its sender fields are found wherever they are.
    auto again = env_.store->OpenMessage(folder, message);
    if (!again.ok()) return again.status();
    auto head = ReadBoundedHeader(**again, static_cast<size_t>(kLargeMessageBytes));
    if (!head.ok()) return head.status();
    auto snapshot = platform::ReadMessageSnapshot(*head);
    if (!snapshot.ok()) return snapshot.status();
    out.snapshot.subject = snapshot->subject;
    out.snapshot.sender = snapshot->sender;
    out.snapshot.header = snapshot->header;
    out.snapshot.recipients = snapshot->recipients;
  }
  out.snapshot.size = size;
  return out;
}

// "New_Incoming" is 1 around the call; the tick that drains the queue writes it once for the
// whole batch.
Status PlugInHost::FilterOne(const QueuedMessage& entry) {
  auto message =
      ReadMessage(static_cast<FolderId>(entry.folder), static_cast<MessageId>(entry.message));
  Status result = Status::Ok();
  if (message.ok() && env_.hook != nullptr) {
    const auto& m = message->snapshot;
    // The incoming exports pass while no receive cycle runs, and a cycle's end looks only at
    // the Inbox: what a delivery agent files into another folder meanwhile is checked now.
    if (entry.folder != static_cast<int32_t>(platform::kInboxFolderId) && !ReceiveStarted()) {
      HandToFolderCheck(static_cast<FolderId>(entry.folder), static_cast<MessageId>(entry.message),
                        *message);
    } else if (message->large) {
      env_.hook->MoveMailMessageInbox(entry.message, entry.folder,
                                      static_cast<int32_t>(spam_folder_), m.header.c_str(),
                                      m.sender.c_str());
    } else {
      env_.hook->MoveMessageInbox(entry.message, entry.folder, static_cast<int32_t>(spam_folder_),
                                  static_cast<int32_t>(m.kind), m.subject.c_str(), m.sender.c_str(),
                                  m.header.c_str(), m.body.c_str(), m.second_header.c_str());
    }
  } else if (!message.ok() && !IsNotFound(message.status())) {
    result = message.status();  // a message moved or deleted since it arrived is skipped
  }
  const Place place{static_cast<FolderId>(entry.folder), static_cast<MessageId>(entry.message)};
  if (auto key = queued_keys_.find({place.folder, place.message}); key != queued_keys_.end()) {
    // Judged: from now on a copy or move of it is a person's doing.
    if (result.ok()) ledger_.Learn(key->second, place);
    queued_keys_.erase(key);
  }
  return result;
}

Status PlugInHost::CheckOne(FolderId folder, MessageId message_id) {
  auto message = ReadMessage(folder, message_id);
  if (!message.ok()) return IsNotFound(message.status()) ? Status::Ok() : message.status();
  if (env_.hook == nullptr) return Status::Ok();
  if (!HookReady()) return Status::Unavailable("the hook library is not loaded");
  HandToFolderCheck(folder, message_id, *message);
  return Status::Ok();
}

void PlugInHost::HandToFolderCheck(FolderId folder, MessageId message_id, const HandOn& message) {
  const auto& m = message.snapshot;
  const auto id = static_cast<int32_t>(message_id);
  const auto fid = static_cast<int32_t>(folder);
  if (message.large) {
    env_.hook->CheckMailMessageFolder(id, fid, static_cast<int32_t>(spam_folder_), m.header.c_str(),
                                      m.sender.c_str());
  } else {
    env_.hook->CheckMessageFolder(id, fid, static_cast<int32_t>(spam_folder_),
                                  static_cast<int32_t>(m.kind), m.subject.c_str(), m.sender.c_str(),
                                  m.header.c_str(), m.body.c_str(), m.second_header.c_str());
  }
}

bool PlugInHost::ReceiveStarted() const {
  return ReadInt(sf::kPathFile, sf::kSectionVexmor, sf::kKeyReceiveMsgStart, 0) == 1;
}

Status PlugInHost::Report(const HandOn& message, int32_t operation) {
  if (env_.hook == nullptr) return Status::Ok();
  // A report or Not Spam that reaches no library did not happen: the caller records it.
  if (!HookReady()) return Status::Unavailable("the hook library is not loaded");
  const auto& m = message.snapshot;
  if (message.large) {
    env_.hook->MoveMailMessageDeletedItems(operation, m.header.c_str(), m.sender.c_str());
  } else {
    env_.hook->MoveMessageDeletedItems(static_cast<int32_t>(m.kind), operation, m.subject.c_str(),
                                       m.sender.c_str(), m.header.c_str(), m.body.c_str(),
                                       m.second_header.c_str());
  }
  return Status::Ok();
}

Status PlugInHost::MoveByHost(FolderId from, MessageId message, FolderId to) {
  auto moved = env_.store->MoveMessage(from, message, to);
  if (!moved.ok()) return moved.status();
  moved_by_host_.insert({to, *moved});
  return Status::Ok();
}

// ---------------------------------------------------------------------------------------------
// New-message handlers

std::map<FolderId, MessageId> PlugInHost::StartMarks(const std::map<FolderId, MessageId>& current) {
  std::map<FolderId, MessageId> marks = current;
  if (ledger_loaded_) {
    for (auto& [folder, mark] : marks) {
      auto saved = ledger_.marks().find(folder);
      if (saved == ledger_.marks().end()) {
        // A folder the last run did not know was made while no host ran: all of it is new.
        // From a damaged ledger the mark may be what was lost: the newest message known there
        // stands in for it (what is above it was not judged), or, with none known, everything
        // there counts as judged. Nothing is judged twice.
        if (!ledger_.damaged()) {
          mark = 0;
        } else if (auto known = ledger_.PlacesIn(folder); !known.empty()) {
          mark = std::min(mark, known.front().first);
        }
        continue;
      }
      mark = saved->second;
      if (KnownIdsChanged(folder)) {
        OnIdsRenumbered(folder);
        mark = 0;
      }
    }
  } else if (spam_folder_ != 0 && env_.store != nullptr) {
    // The first run: what is in "Spam" already must be known, so that moving it out counts.
    if (auto messages = env_.store->ListMessages(spam_folder_); messages.ok()) {
      for (const auto& message : *messages) {
        if (auto key = ReadKey(spam_folder_, message.id); key.ok()) {
          ledger_.Learn(*key, {spam_folder_, message.id});
        }
      }
    }
  }
  delivered_ = marks;
  ledger_.SetMarks(marks);
  SeedTracker();
  return marks;
}

bool PlugInHost::KnownIdsChanged(FolderId folder) {
  if (env_.store == nullptr) return false;
  // The newest few the ledger knows there are enough: a renumbered list gives the low ids to
  // other messages, and the known ones are among them.
  int looked = 0;
  for (const auto& [message, key] : ledger_.PlacesIn(folder)) {
    if (looked == 3) break;
    auto now = ReadKey(folder, message);
    if (!now.ok()) continue;  // moved away since: says nothing
    ++looked;
    if (*now != key) return true;
  }
  return false;
}

void PlugInHost::OnIdsRenumbered(FolderId folder) {
  // Nothing waiting under an old id may be judged or decided: it names another message now.
  std::vector<QueuedMessage> keep;
  while (auto entry = queue_.Pop()) {
    if (static_cast<FolderId>(entry->folder) != folder) keep.push_back(*entry);
  }
  for (const QueuedMessage& entry : keep) queue_.Push(entry);
  std::erase_if(queued_keys_, [&](const auto& item) { return item.first.first == folder; });
  tracker_.ForgetFolder(static_cast<uint32_t>(folder));
  std::erase_if(moved_by_host_, [&](const auto& place) { return place.first == folder; });

  std::set<std::string> known;
  for (const auto& [message, key] : ledger_.PlacesIn(folder)) known.insert(key);
  ledger_.ForgetFolder(folder);
  size_t matched = 0, listed = 0;
  if (env_.store != nullptr) {
    if (auto messages = env_.store->ListMessages(folder); messages.ok()) {
      listed = messages->size();
      for (const auto& message : *messages) {
        auto key = ReadKey(folder, message.id);
        if (!key.ok() || known.count(*key) == 0) continue;
        ledger_.Learn(*key, {folder, message.id});
        tracker_.Know(*key, Spot({folder, message.id}), EvidenceAt({folder, message.id}));
        ++matched;
      }
    }
  }
  delivered_[folder] = 0;
  problems_.Tell(state::kProblemIdList,
                 "The message ids of folder " + std::to_string(folder) +
                     " were given out afresh (its id list was deleted or rebuilt); " +
                     std::to_string(matched) + " of its " + std::to_string(listed) +
                     " messages were known by their content, the others are judged as new mail.");
}

void PlugInHost::ReportLedgerDamage() {
  if (!ledger_.read_error().empty()) {
    problems_.Tell(state::kProblemLedger,
                   std::string(kLedgerFile) + " cannot be read (" + ledger_.read_error() +
                       "): the mail that arrived while no host ran is not judged.");
  } else if (ledger_.damaged_lines() > 0) {
    problems_.Tell(
        state::kProblemLedger,
        std::string(kLedgerFile) + " is damaged (" + std::to_string(ledger_.damaged_lines()) +
            " lines make no sense)" +
            (ledger_.kept_copy().empty() ? std::string() : "; kept as " + ledger_.kept_copy()) +
            "; the host goes on with what it could read, and a folder whose mark was lost is "
            "judged from the newest message it still knows there.");
  }
}

void PlugInHost::SaveMarks() {
  std::map<FolderId, MessageId> marks = delivered_;
  // What is still waiting is not dealt with: after a kill it is found again above the mark.
  auto hold = [&](Place place) {
    auto it = marks.find(place.folder);
    if (it != marks.end() && place.message <= it->second) it->second = place.message - 1;
  };
  for (const auto& [place, key] : queued_keys_) hold({place.first, place.second});
  ledger_.SetMarks(marks);
}

StatusOr<std::string> PlugInHost::ReadKey(FolderId folder, MessageId message) {
  auto source = env_.store->OpenMessage(folder, message);
  if (!source.ok()) return source.status();
  constexpr size_t kHeaderBytes = 65536;  // enough for any header that carries a Message-ID
  auto raw = platform::ReadSource(**source, kHeaderBytes);
  if (!raw.ok()) return raw.status();
  return MessageKey(*raw);
}

bool PlugInHost::Exists(Place place) {
  auto info = env_.store->GetMessage(place.folder, place.message);
  return info.ok() || !IsNotFound(info.status());
}

void PlugInHost::OnNewMessages(FolderId folder, const std::vector<MessageId>& messages) {
  for (MessageId message : messages) {
    if (message > delivered_[folder]) delivered_[folder] = message;
    const Place here{folder, message};
    const bool by_host = moved_by_host_.erase({folder, message}) > 0;
    auto key = env_.store != nullptr ? ReadKey(folder, message) : StatusOr<std::string>("");
    if (!key.ok()) {
      if (!IsNotFound(key.status())) Record(Procedure::kFolderManagerMessage, key.status());
      continue;  // gone again before it could be looked at
    }
    if (by_host) {
      ledger_.Learn(*key, here);
      tracker_.Know(*key, Spot(here), EvidenceAt(here));
      continue;
    }
    const std::vector<Place> known = ledger_.Find(*key);
    if (std::find(known.begin(), known.end(), here) != known.end()) {
      continue;  // dealt with before the host last stopped
    }
    // Whether a person moved or copied it is told by what the store shows of the file, never
    // by what the message says of itself: a sender may resend the same Message-ID.
    platform::MoveEvidence evidence = EvidenceAt(here);
    // Unread mail that came while no host watched may have been taken from new/ by a reader
    // meanwhile: as far as anyone can tell it is a delivery.
    if (catching_up_ && !evidence.read) evidence.delivered = true;
    const Answer answer = tracker_.Arrive(*key, Spot(here), evidence);
    if (answer.kind == MoveKind::kNewMail) {
      NewDelivery(folder, message, *key);
      continue;
    }
    if (answer.kind == MoveKind::kMove) ForgetGone(*key, known);
    ledger_.Learn(*key, here);
    PersonMoved(here, answer);
  }
}

platform::MoveEvidence PlugInHost::EvidenceAt(Place place) {
  platform::MoveEvidence evidence;
  if (env_.store == nullptr) return evidence;
  auto shown = env_.store->GetEvidence(place.folder, place.message);
  if (shown.ok()) {
    evidence = *shown;
  } else {
    // A store that shows nothing: every arrival is a delivery, judged as new mail.
    evidence.delivered = true;
  }
  // What lies in "Spam" is what a person rescues: its digest is taken while it is there.
  if (spam_folder_ != 0 && place.folder == spam_folder_) evidence.digest = DigestAt(place);
  return evidence;
}

uint64_t PlugInHost::DigestAt(Place place) {
  if (env_.store == nullptr) return 0;
  auto source = env_.store->OpenMessage(place.folder, place.message);
  if (!source.ok()) return 0;
  auto raw = platform::ReadSource(**source, kDigestBytes);
  return raw.ok() ? platform::ContentDigest(*raw) : 0;
}

void PlugInHost::PersonMoved(Place here, Answer answer) {
  // Out of "Spam" into the Inbox: the person says it is not spam.
  if (answer.kind == MoveKind::kMove && here.folder == platform::kInboxFolderId &&
      spam_folder_ != 0 && answer.from == spam_folder_) {
    if (Status s = NotSpam(here.folder, here.message); !s.ok()) Record(Procedure::kNotSpam, s);
  }
  // Arriving in "Spam_Posted" is a report, whoever put it there.
  if (spam_posted_folder_ != 0 && here.folder == spam_posted_folder_) {
    PostedNewMessage(here.message);
  }
}

void PlugInHost::ForgetGone(const std::string& key, const std::vector<Place>& places) {
  for (const Place& place : places) {
    if (!Exists(place)) ledger_.Forget(key, place);
  }
}

void PlugInHost::SeedTracker() {
  if (env_.store == nullptr) return;
  for (const auto& [key, place] : ledger_.Places()) {
    if (Exists(place)) tracker_.Know(key, Spot(place), EvidenceAt(place));
  }
}

void PlugInHost::NewDelivery(FolderId folder, MessageId message, const std::string& key) {
  if (folder != platform::kOutboxFolderId && RoleOf(folder) == FolderRole::kSent) {
    // Sent mail is read by nature: what arrived while no host ran counts as well.
    SentNewMessage(folder, message);
    ledger_.Learn(key, {folder, message});
    return;
  }
  if (catching_up_) {
    // Mail that arrived while no host ran is judged only if nobody has read it yet.
    auto info = env_.store->GetMessage(folder, message);
    if (!info.ok()) return;
    if ((info->state & platform::kMessageUnread) == 0) {
      ledger_.Learn(key, {folder, message});
      return;
    }
  }
  const size_t queued = queue_.Size();
  if (folder == platform::kInboxFolderId) InboxNewMessage(message);
  if (folder == platform::kOutboxFolderId) OutboxNewMessage(message);
  if (spam_posted_folder_ != 0 && folder == spam_posted_folder_) PostedNewMessage(message);
  FolderManagerNewMessage(folder, message);
  if (queue_.Size() > queued) {
    queued_keys_[{folder, message}] = key;
  } else {
    ledger_.Learn(key, {folder, message});
  }
}

void PlugInHost::InboxNewMessage(MessageId message) {
  queue_.Push({static_cast<int32_t>(message), static_cast<int32_t>(platform::kInboxFolderId)});
}

void PlugInHost::OutboxNewMessage(MessageId message) {
  auto read = ReadMessage(platform::kOutboxFolderId, message);
  if (!read.ok()) {
    if (!IsNotFound(read.status())) Record(Procedure::kOutboxMessage, read.status());
    return;
  }
  if (env_.hook != nullptr) {
    env_.hook->RemoveMsgSentItems(read->snapshot.recipients.c_str(), read->snapshot.header.c_str());
  }
}

void PlugInHost::PostedNewMessage(MessageId message) {
  auto read = ReadMessage(spam_posted_folder_, message);
  if (!read.ok()) {
    if (!IsNotFound(read.status())) Record(Procedure::kPostedMessage, read.status());
    return;
  }
  (void)Report(*read, 1);
}

void PlugInHost::SentNewMessage(FolderId folder, MessageId message) {
  // A reader files the user's copy as read. An unread message here came from a delivery agent:
  // someone else wrote it, and the addresses in it are not people the user chose to write to.
  auto info = env_.store->GetMessage(folder, message);
  if (!info.ok() || (info->state & platform::kMessageUnread) != 0) return;
  auto read = ReadMessage(folder, message);
  if (!read.ok()) {
    if (!IsNotFound(read.status())) Record(Procedure::kOutboxMessage, read.status());
    return;
  }
  if (env_.hook != nullptr) {
    env_.hook->RemoveMsgSentItems(read->snapshot.recipients.c_str(), read->snapshot.header.c_str());
  }
}

FolderRole PlugInHost::RoleOf(FolderId folder) {
  // The fixed folders need no look at the store (the Inbox is every delivery's way).
  if (folder < platform::kFirstUserFolderId) {
    platform::FolderInfo fixed;
    fixed.id = folder;
    return RoleOfFolder(fixed);
  }
  auto info = env_.store->GetFolderName(folder);
  if (!info.ok()) {
    Record(Procedure::kFolderManagerMessage, info.status());
    return FolderRole::kOther;
  }
  return RoleOfFolder(*info);
}

void PlugInHost::FolderManagerNewMessage(FolderId folder, MessageId message) {
  // Mail the user writes is not incoming mail, nor is what lands in Spam, Spam_Posted, the
  // Inbox (queued on its own) and the trash.
  if (RoleOf(folder) != FolderRole::kIncoming) return;
  queue_.Push({static_cast<int32_t>(message), static_cast<int32_t>(folder)});
}

void PlugInHost::OnCheckTick() {
  // Before anything is judged: the hook library reads the install directory for each message.
  if (std::string mended = path_watch_.Check(env_.install_dir); !mended.empty()) {
    problems_.Tell(state::kProblemPathFile, mended);
  }
  // A reader's copy out of "Spam" whose original has gone since: the person moved it.
  if (tracker_.copies_waiting() != 0) {
    for (const auto& [spot, answer] : tracker_.CopiesNowMoved()) {
      // Only what a move adds to a copy: a copy into "Spam_Posted" was reported on arrival.
      if (spot.folder == platform::kInboxFolderId) PersonMoved({spot.folder, spot.message}, answer);
    }
  }
  if (!ready_ || queue_.Empty() || busy_ || !HookReady()) {
    SaveMarks();
    return;
  }
  busy_ = true;
  // "New_Incoming" stays 1 while the batch is filtered: writing 0 and then 1 again between two
  // messages would replace the whole file twice for nothing, and the window messages that could
  // see the 0 are handled while it still reads 1 anyway.
  WriteMessageKey(sf::kSectionMessage, sf::kKeyNewIncoming, "1");
  while (auto entry = queue_.Pop()) {
    // One bad message never blocks the others.
    if (Status s = FilterOne(*entry); !s.ok()) Record(Procedure::kFilterMessage, s);
  }
  WriteMessageKey(sf::kSectionMessage, sf::kKeyNewIncoming, "0");
  busy_ = false;
  SaveMarks();
}

bool PlugInHost::HookReady() {
  const bool available = env_.hook == nullptr || env_.hook->Available();
  // Said once per outage. The queue and the marks below it stay, so the mail is judged once the
  // library loads again, or after a restart.
  if (!available && !hook_missing_) log_(kHookMissingLine);
  if (available && hook_missing_) log_(kHookBackLine);
  hook_missing_ = !available;
  return available;
}

// ---------------------------------------------------------------------------------------------
// The command board

void PlugInHost::OnGuiTick() {
  const std::string file = MessageFile();
  const int32_t operation = ReadInt(file, sf::kSectionVexmor, sf::kKeyOperation, 0);
  if (operation == 0) {
    SelectionWatchdog();
    return;
  }
  const auto folder =
      static_cast<FolderId>(ReadInt(file, sf::kSectionVexmor, sf::kKeySelectedFolderId, 0));
  // A command that cannot be taken off the board would run again every second.
  if (Status s = env_.profile->WriteString(file, sf::kSectionVexmor, sf::kKeyOperation,
                                           state::OperationText(state::Operation::kNone));
      !s.ok()) {
    Record(Procedure::kGuiTick, s);
    return;
  }
  const std::optional<state::Operation> command = state::ToOperation(operation);
  if (!command) return;  // consumed and ignored
  switch (*command) {
    case state::Operation::kNone:
      break;
    case state::Operation::kCheckFolder:
      if (Status s = CheckFolder(folder); !s.ok()) Record(Procedure::kCheckFolder, s);
      break;
    case state::Operation::kFindSpamFolders:
      RefindSpamFolders();
      break;
    case state::Operation::kRemoveTrayIcon:
      if (env_.hook != nullptr) env_.hook->RemoveTrayIconTaskbar();
      break;
    case state::Operation::kWorkProcessList:
      if (Status s = WorkProcessList(); !s.ok()) Record(Procedure::kProcessList, s);
      break;
    case state::Operation::kNotSpam: {
      const auto message =
          static_cast<MessageId>(ReadInt(file, sf::kSectionVexmor, sf::kKeySelectedMsgId, 0));
      if (folder != 0 && message != 0) {
        if (Status s = NotSpam(folder, message); !s.ok()) Record(Procedure::kNotSpam, s);
      }
      break;
    }
    case state::Operation::kWorkReportList:
      if (Status s = WorkReportList(); !s.ok()) Record(Procedure::kReportList, s);
      break;
  }
}

Status PlugInHost::CheckFolder(FolderId folder) {
  ready_ = false;  // new-message filtering waits for the check
  struct ReadyAgain {
    bool& ready;
    ~ReadyAgain() { ready = true; }
  } ready_again{ready_};

  if (env_.store == nullptr) return Status::Unavailable("no mail store");
  auto messages = env_.store->ListMessages(folder);
  if (!messages.ok()) return messages.status();
  const std::string file = MessageFile();
  auto advance_present = [&] {
    int32_t present = ReadInt(file, sf::kSectionMessage, sf::kKeyPresentCount, 0);
    Write(file, sf::kSectionMessage, sf::kKeyPresentCount, std::to_string(present + 1));
  };
  if (messages->empty()) {
    advance_present();
    return Status::Ok();
  }
  Write(file, sf::kSectionMessage, sf::kKeyTotalCount, std::to_string(messages->size()));
  for (size_t i = 0; i < messages->size(); ++i) {
    if (Status s = CheckOne(folder, (*messages)[i].id); !s.ok()) return s;
    if (ReadInt(file, sf::kSectionVexmor, sf::kKeyCheckStop, 0) == 1) break;
    if (i + 1 < messages->size()) advance_present();
  }
  return Status::Ok();
}

Status PlugInHost::WorkProcessList() {
  const std::string file = ProcessMsgFile();
  const int32_t count = ReadInt(file, sf::kSectionProcess, sf::kKeyCount, 0);
  if (count < 1) return Status::Ok();
  Write(file, sf::kSectionProcess, sf::kKeyCount, "0");
  Status first_failure = Status::Ok();
  for (int32_t i = 1; i <= count; ++i) {
    const auto folder =
        static_cast<FolderId>(ReadInt(file, sf::kSectionProcess, sf::FolderIndexKey(i), 0));
    const auto message =
        static_cast<MessageId>(ReadInt(file, sf::kSectionProcess, sf::MessageIndexKey(i), 0));
    if (folder == 0 || message == 0) continue;
    // The list was taken off the board already: one bad entry must not cost the others.
    if (Status s = CheckOne(folder, message); !s.ok() && first_failure.ok()) first_failure = s;
  }
  return first_failure;
}

Status PlugInHost::NotSpam(FolderId folder, MessageId message) {
  auto read = ReadMessage(folder, message);
  if (!read.ok()) return IsNotFound(read.status()) ? Status::Ok() : read.status();
  if (Status s = Report(*read, 2); !s.ok()) return s;
  if (folder == platform::kInboxFolderId) return Status::Ok();
  return MoveByHost(folder, message, platform::kInboxFolderId);
}

Status PlugInHost::WorkReportList() {
  const std::string message_file = MessageFile();
  if (ReadInt(message_file, sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) != 0) {
    return Status::Ok();
  }
  const std::string file = ProcessMsgFile();
  const int32_t count = ReadInt(file, sf::kSectionReport, sf::kKeyCount, 0);
  if (count <= 0) return Status::Ok();
  Status first_failure = Status::Ok();
  auto note = [&](const Status& s) {
    if (!s.ok() && first_failure.ok()) first_failure = s;
  };
  for (int32_t i = 1; i <= count; ++i) {
    const auto folder =
        static_cast<FolderId>(ReadInt(file, sf::kSectionReport, sf::FolderIndexKey(i), 0));
    const auto message =
        static_cast<MessageId>(ReadInt(file, sf::kSectionReport, sf::MessageIndexKey(i), 0));
    if (folder == 0 || message == 0) continue;
    auto read = ReadMessage(folder, message);
    if (!read.ok()) {
      if (!IsNotFound(read.status())) note(read.status());
      continue;
    }
    note(Report(*read, 1));
    auto posted = FindOrCreateFolder(kSpamPostedFolderName);
    if (!posted.ok()) {
      note(posted.status());
      continue;
    }
    spam_posted_folder_ = *posted;
    if (folder != *posted) note(MoveByHost(folder, message, *posted));
  }
  // Written even after a failed entry: a list left standing would be reported again.
  Write(file, sf::kSectionReport, sf::kKeyCount, "1");
  return first_failure;
}

void PlugInHost::RefindSpamFolders() {
  if (auto spam = FindFolder(kSpamFolderName); spam.ok()) {
    spam_folder_ = *spam;
  } else {
    Record(Procedure::kFindSpam, spam.status());
  }
  if (auto posted = FindFolder(kSpamPostedFolderName); posted.ok()) {
    spam_posted_folder_ = *posted;
  } else {
    Record(Procedure::kFindSpamPosted, posted.status());
  }
}

void PlugInHost::SelectionWatchdog() {
  const std::string file = MessageFile();
  if (ReadInt(file, sf::kSectionMessage, sf::kKeyAllowed, sf::kDefaultAllowed) != 0) {
    last_selected_count_ = 0;
    return;
  }
  const int32_t n = ReadInt(file, sf::kSectionMessage, sf::kKeySelectedCount, 0);
  auto release = [&] {
    Write(file, sf::kSectionMessage, sf::kKeyAllowed, "1");
    Write(file, sf::kSectionMessage, sf::kKeySelectedCount, "0");
  };
  if (n == 0) {
    last_selected_count_ = 0;
    release();
    return;
  }
  if (n != last_selected_count_) {
    // Progress: the next stall gets its full 30 seconds.
    last_selected_count_ = n;
    unchanged_ticks_ = 0;
    return;
  }
  if (unchanged_ticks_ != kWatchdogTicks) {
    ++unchanged_ticks_;
    return;
  }
  release();
  unchanged_ticks_ = 0;
}

}  // namespace vexmor::plugin
