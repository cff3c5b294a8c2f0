// The filter engine's store access. Log lines and state-file keys are the product's own and
// are read by support staff and the host program: keep them exactly as they are.
#include "vexmor/hook/oe_store.h"
#include "vexmor/platform/ascii.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <functional>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "vexmor/hook/mail_analysis.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/paths.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"

namespace vexmor::hook {

namespace {

using platform::IniDocument;
using platform::ParseProfileInt;

int32_t IntOf(const IniDocument& doc, std::string_view section, std::string_view key,
              int32_t default_value) {
  std::optional<std::string> value = doc.Find(section, key);
  return value ? ParseProfileInt(*value, default_value) : default_value;
}

// Ids are written as the store's signed 32-bit integers.
std::string IdText(uint32_t id) {
  return std::to_string(static_cast<int32_t>(id));
}

uint64_t PairKey(FolderId folder, MessageId message) {
  return (static_cast<uint64_t>(folder) << 32) | message;
}

bool HasSection(const IniDocument& doc, std::string_view section) {
  for (const std::string& name : doc.Sections()) {
    if (platform::AsciiEqualsIgnoreCase(name, section)) return true;
  }
  return false;
}

// The state bits without the received bit.
uint32_t MaskedState(uint32_t state) {
  return state > 15 ? state - 16 : state;
}

}  // namespace

void StoreTables::SetWatermark(FolderId folder, MessageId mark) {
  for (Watermark& entry : watermarks) {
    if (entry.folder == folder) {
      entry.mark = mark;
      return;
    }
  }
  if (watermarks.size() == watermarks.capacity()) {
    size_t step = std::clamp<size_t>(watermarks.capacity() / 8, 4, 1024);
    watermarks.reserve(watermarks.capacity() + step);
  }
  watermarks.push_back({folder, mark});
}

StoreTables& ProcessStoreTables() {
  static StoreTables tables;
  return tables;
}

OeStore::OeStore(OeStoreOptions options) : options_(std::move(options)) {
  if (!options_.connect || options_.profile == nullptr || options_.clock == nullptr) {
    throw std::invalid_argument("OeStore needs a store connection, a profile and a clock");
  }
  if (options_.tables == nullptr) options_.tables = &ProcessStoreTables();
}

OeStore::~OeStore() = default;

void OeStore::Log(std::string_view line) const {
  log::WriteLog(line, install_dir_, *options_.clock);
}

std::string OeStore::ProcessMsgFile() const {
  return install_dir_ + std::string(state::kProcessMsgFile);
}

std::string OeStore::MessageFile() const {
  return install_dir_ + std::string(state::kMessageFile);
}

bool OeStore::Open(const std::string& install_dir) {
  install_dir_ = install_dir;
  Close();
  StatusOr<std::unique_ptr<platform::MailStore>> store = options_.connect(
      [this](std::string_view problem) { Log("[F] Mail store: " + std::string(problem) + "\n"); });
  if (!store.ok()) {
    // No tree at all, or a folder that is not a Maildir.
    Log(store.status().code() == StatusCode::kNotFound
            ? "[F] Some error occurred in Message Check Function_2."
            : "[F] Some error occurred in Message Check Function_3.");
    return false;
  }
  store_ = std::move(store).value();
  return true;
}

void OeStore::Close() {
  open_folder_ = 0;
  store_.reset();
}

FolderId OeStore::FindFolder(const std::string& path) {
  found_id_ = 0;
  found_name_.clear();
  if (!store_) return 0;
  size_t slash = path.find('\\');
  search_element_ = path.substr(0, slash);
  search_rest_ = slash == std::string::npos ? "" : path.substr(slash + 1);
  SearchFolder(platform::kRootFolderId);
  return found_id_;
}

void OeStore::SearchFolder(FolderId parent) {
  StatusOr<std::vector<platform::FolderInfo>> children = store_->ListSubfolderNames(parent);
  if (!children.ok()) return;
  for (const platform::FolderInfo& child : *children) {
    if (found_id_ != 0) return;
    if (child.name == search_element_) {
      if (search_rest_.empty()) {
        found_id_ = child.id;
        found_name_ = child.name;
        return;
      }
      size_t slash = search_rest_.find('\\');
      search_element_ = search_rest_.substr(0, slash);
      search_rest_ = slash == std::string::npos ? "" : search_rest_.substr(slash + 1);
    }
    // Every folder is searched below, matched or not: a bare name finds a folder anywhere.
    SearchFolder(child.id);
  }
}

OeStore::SpamMove OeStore::MoveToSpam(const std::string& install_dir, FolderId folder,
                                      FolderId spam_folder, MessageId message) {
  try {
    if (!Open(install_dir)) return SpamMove::kStayed;
    if (!store_->HasFolder(folder) || !store_->GetMessage(folder, message).ok()) {
      Close();  // nothing to move
      return SpamMove::kGone;
    }
    open_folder_ = folder;
    // The host's id may be stale (the folder was emptied, which makes it anew): fall back to
    // the folder by name, and make it when there is none. The root and "Local Folders" hold
    // no mail, so they never count as the Spam folder.
    FolderId destination = spam_folder;
    if (destination == platform::kRootFolderId || destination == platform::kLocalFoldersId ||
        !store_->HasFolder(destination)) {
      destination = FindFolder("Spam");
      if (destination == 0) {
        StatusOr<FolderId> made = store_->CreateFolder(platform::kRootFolderId, "Spam");
        destination = made.ok() ? *made : 0;
      }
    }
    const bool moved = destination != 0 && store_->MoveMessage(folder, message, destination).ok();
    Close();
    return moved ? SpamMove::kMoved : SpamMove::kStayed;
  } catch (const std::exception&) {
    Close();
    Log("[F] Some error occurred in Check_Function_3.\n");
    return SpamMove::kStayed;
  }
}

bool OeStore::EmptyFolder(const std::string& install_dir, const std::string& name) {
  try {
    // A store that cannot be opened emptied nothing: the command must say it failed.
    if (!Open(install_dir)) return false;
    // Deleting a folder puts it into "Deleted Items"; deleting it there removes it.
    (void)store_->DeleteFolder(FindFolder(name));
    if (!store_->DeleteFolder(FindFolder("Deleted Items\\" + name)).ok()) {
      Close();
      Log("[F] Some error occurred in Message Check Function_4.");
      return false;
    }
    if (!store_->CreateFolder(platform::kRootFolderId, name).ok()) {
      Close();
      Log("[F] Some error occurred in Message Check Function_5.");
      return false;
    }
    Close();
    return true;
  } catch (const std::exception&) {
    Close();
    Log("[F] Some error occurred in Check_Function_2.\n");
    return false;
  }
}

void OeStore::ReadSentRecipients(const std::string& install_dir) {
  try {
    if (!Open(install_dir)) return;
    StatusOr<std::vector<platform::MessageInfo>> messages =
        store_->ListMessages(platform::kSentItemsFolderId);
    if (messages.ok()) {
      open_folder_ = platform::kSentItemsFolderId;
      for (const platform::MessageInfo& message : *messages) {
        auto source = store_->OpenMessage(open_folder_, message.id);
        if (!source.ok()) continue;  // gone since the walk
        StatusOr<std::string> text = platform::ReadSource(**source, 4095);
        if (!text.ok() || text->empty()) continue;
        for (const std::string& address : ExtractRecipients(*text)) {
          if (options_.approved != nullptr) options_.approved->Approve(install_dir, address);
        }
      }
    }
    Close();
  } catch (const std::exception&) {
    Close();
    Log("[F] Some error occurred in Check_Function_1.\n");
  }
}

void OeStore::MarkHandled(const std::string& install_dir, MessageId message, FolderId folder) {
  install_dir_ = install_dir;
  const bool cycles_run = options_.profile->GetInt(state::kPathFile, state::kSectionVexmor,
                                                   state::kKeyRulesCreated, 0) == 1;
  // One locked update, so two writers never take the same entry number. Only locked updates
  // read the list, so the edit may be written in place.
  (void)options_.profile->UpdateForLockedReaders(ProcessMsgFile(), [&](IniDocument& doc) {
    int32_t n = IntOf(doc, state::kSectionChecked, state::kKeyCount, 0);
    if (!cycles_run && n >= kHandledTrimAt) n = TrimHandled(doc, n);
    ++n;
    doc.Write(state::kSectionChecked, state::kKeyCount, std::to_string(n));
    doc.Write(state::kSectionChecked, state::FolderIndexKey(n), IdText(folder));
    doc.Write(state::kSectionChecked, state::MessageIndexKey(n), IdText(message));
  });
}

int32_t OeStore::TrimHandled(IniDocument& doc, int32_t count) {
  // A damaged count far above the keys present must not make us read billions of entries.
  count = static_cast<int32_t>(
      std::min<int64_t>(count, static_cast<int64_t>(doc.Keys(state::kSectionChecked).size())));
  std::vector<FolderMessage> entries;
  entries.reserve(static_cast<size_t>(count));
  for (int32_t i = 1; i <= count; ++i) {
    entries.push_back(
        {static_cast<FolderId>(IntOf(doc, state::kSectionChecked, state::FolderIndexKey(i), 0)),
         static_cast<MessageId>(IntOf(doc, state::kSectionChecked, state::MessageIndexKey(i), 0))});
  }
  // The cut-off of each folder: its kHandledKeptPerFolder-th highest id.
  std::unordered_map<FolderId, std::vector<MessageId>> ids;
  for (const FolderMessage& entry : entries) ids[entry.folder].push_back(entry.message);
  std::unordered_map<FolderId, MessageId> lowest_kept;
  for (auto& [folder, list] : ids) {
    std::sort(list.begin(), list.end(), std::greater<>());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    lowest_kept[folder] = list[std::min(list.size(), kHandledKeptPerFolder) - 1];
  }
  std::vector<FolderMessage> kept_entries;
  std::unordered_set<uint64_t> seen;
  for (const FolderMessage& entry : entries) {
    if (entry.message < lowest_kept[entry.folder]) continue;
    if (seen.insert(PairKey(entry.folder, entry.message)).second) kept_entries.push_back(entry);
  }
  // The section is written anew (kept entries in their order), so the file shrinks; deleting
  // its keys one by one would cost as much as the list is long, for each key.
  while (HasSection(doc, state::kSectionChecked)) doc.DeleteSection(state::kSectionChecked);
  const int32_t kept = static_cast<int32_t>(kept_entries.size());
  doc.Write(state::kSectionChecked, state::kKeyCount, std::to_string(kept));
  for (int32_t i = 1; i <= kept; ++i) {
    const FolderMessage& entry = kept_entries[static_cast<size_t>(i - 1)];
    doc.Write(state::kSectionChecked, state::FolderIndexKey(i), IdText(entry.folder));
    doc.Write(state::kSectionChecked, state::MessageIndexKey(i), IdText(entry.message));
  }
  return kept;
}

void OeStore::LoadHandled() {
  handled_.clear();
  // Read and reset in one locked update, so an entry written meanwhile is not wiped unread.
  (void)options_.profile->Update(ProcessMsgFile(), [&](IniDocument& doc) {
    int32_t count = IntOf(doc, state::kSectionChecked, state::kKeyCount, 0);
    for (int32_t i = 1; i <= count; ++i) {
      handled_.push_back(
          {static_cast<FolderId>(IntOf(doc, state::kSectionChecked, state::FolderIndexKey(i), 0)),
           static_cast<MessageId>(
               IntOf(doc, state::kSectionChecked, state::MessageIndexKey(i), 0))});
    }
    if (count > 0) doc.Write(state::kSectionChecked, state::kKeyCount, "0");
  });
}

bool OeStore::RecordWatermarks(const std::string& install_dir,
                               const std::vector<FolderId>& folders) {
  try {
    if (!Open(install_dir)) return true;
    for (FolderId folder : folders) {
      if (folder == 0) continue;
      StatusOr<platform::FolderInfo> info = store_->GetFolder(folder);
      if (!info.ok()) continue;
      StatusOr<std::vector<platform::MessageInfo>> messages = store_->ListMessages(folder);
      if (!messages.ok()) continue;
      open_folder_ = folder;
      // In the Inbox the five newest messages stay above the mark, so they are checked at
      // the end of the first receive cycle.
      MessageId kept = 0;
      const int64_t count = static_cast<int64_t>(messages->size());
      for (int64_t i = 0; i < count; ++i) {
        if (folder != platform::kInboxFolderId || i < count - 5) kept = (*messages)[i].id;
      }
      options_.tables->SetWatermark(folder, kept);
      char line[64];
      std::snprintf(line, sizeof line, "%d\t%d\t", static_cast<int32_t>(folder),
                    static_cast<int32_t>(kept));
      log::AppendRaw(install_dir + std::string(log::kOeLogFile),
                     std::string(line) + info->name + "\n");
    }
    Close();
    return true;
  } catch (const std::exception&) {
    Close();
    Log("[F] Some error occurred in Check_Function_4.\n");
    return true;
  }
}

bool OeStore::QueueUnfiltered(const std::string& install_dir) {
  try {
    install_dir_ = install_dir;
    LoadHandled();
    if (!Open(install_dir)) return true;
    std::unordered_set<uint64_t> handled;
    for (const FolderMessage& entry : handled_)
      handled.insert(PairKey(entry.folder, entry.message));

    for (Watermark& entry : options_.tables->watermarks) {
      StatusOr<std::vector<platform::MessageInfo>> messages = store_->ListMessages(entry.folder);
      if (!messages.ok()) continue;
      open_folder_ = entry.folder;
      std::vector<MessageId> queued;
      MessageId highest = entry.mark;
      for (const platform::MessageInfo& message : *messages) {
        if (message.id <= entry.mark) continue;
        highest = std::max(highest, message.id);
        if (!handled.count(PairKey(entry.folder, message.id))) queued.push_back(message.id);
      }
      // The mark passes the handled messages too: the list is emptied now, and a message
      // handled in this cycle must not be queued at the next one.
      entry.mark = highest;
      if (queued.empty()) continue;
      // One locked update per folder: the list grows as if entry by entry, but a large queue
      // does not rewrite the file once per message.
      (void)options_.profile->Update(ProcessMsgFile(), [&](IniDocument& doc) {
        int32_t m = IntOf(doc, state::kSectionProcess, state::kKeyCount, 0);
        for (MessageId id : queued) {
          ++m;
          doc.Write(state::kSectionProcess, state::FolderIndexKey(m), IdText(entry.folder));
          doc.Write(state::kSectionProcess, state::MessageIndexKey(m), IdText(id));
        }
        doc.Write(state::kSectionProcess, state::kKeyCount, std::to_string(m));
      });
    }

    int32_t count =
        options_.profile->GetInt(ProcessMsgFile(), state::kSectionProcess, state::kKeyCount, 0);
    if (count != 0) {
      Log("[S] Vexmor will process now, " + std::to_string(count) + " unfiltered e-mail(s).\n");
    }
    Close();
    return true;
  } catch (const std::exception&) {
    Close();
    Log("[F] Some error occurred in Check_Function_5.\n");
    return true;
  }
}

bool OeStore::DetectSelection(const std::string& install_dir, const std::string& folder_path,
                              SelectionPhase phase) {
  if (phase != SelectionPhase::kRecord && phase != SelectionPhase::kReportSpam &&
      phase != SelectionPhase::kNotSpam) {
    return false;
  }
  StoreTables& tables = *options_.tables;
  FolderId folder = 0;
  StatusOr<platform::FolderInfo> info = Status::NotFound("store not open");
  if (Open(install_dir)) {
    folder = FindFolder(folder_path);
    if (folder != 0) info = store_->GetFolder(folder);
  }
  StatusOr<std::vector<platform::MessageInfo>> messages = Status::NotFound("no folder");
  if (info.ok()) messages = store_->ListMessages(folder);
  if (!messages.ok()) {
    Close();
    Log("[F] Some error occurred in Check_Function_6.");
    return false;
  }
  open_folder_ = folder;

  FolderId spam_posted = 0;
  if (phase == SelectionPhase::kRecord) {
    tables.unread.clear();
    tables.recorded_states.clear();
    tables.recorded_states.reserve(messages->size());
  } else if (phase == SelectionPhase::kReportSpam) {
    spam_posted = FindFolder("Spam_Posted");
  }

  for (const platform::MessageInfo& message : *messages) {
    uint32_t masked = MaskedState(message.state);
    if (phase == SelectionPhase::kRecord) {
      tables.recorded_states.emplace_back(message.id, masked);
      if (masked == platform::kMessageUnread) {
        tables.unread.push_back({folder, message.id});
        if (!store_->MarkRead(folder, message.id, true).ok()) {
          Close();
          Log("[F] Some error occurred in Message Check Function_7.");
          return false;
        }
      }
      continue;
    }
    // Recorded by message id: a message that appeared or left since phase 1 must not shift
    // the comparison onto its neighbours.
    // (Phase 1 walked in ascending id order, so the table is sorted.)
    auto recorded = std::lower_bound(
        tables.recorded_states.begin(), tables.recorded_states.end(), message.id,
        [](const std::pair<MessageId, uint32_t>& entry, MessageId id) { return entry.first < id; });
    if (recorded == tables.recorded_states.end() || recorded->first != message.id) continue;
    bool selected = masked == recorded->second + 2 || masked == platform::kMessageUnread;
    if (!selected) continue;
    if (phase == SelectionPhase::kReportSpam) {
      if (store_->MoveMessage(folder, message.id, spam_posted).ok()) {
        Log("[S] Message [" + std::to_string(static_cast<int32_t>(message.id)) +
            "] moved to Spam_Posted folder.");
      }
      // Still in its folder (the move failed): the host reports and moves it.
      if (store_->GetMessage(folder, message.id).ok()) {
        (void)options_.profile->Update(ProcessMsgFile(), [&](IniDocument& doc) {
          int32_t b =
              IntOf(doc, state::kSectionReport, state::kKeyCount, state::kDefaultReportCount);
          doc.Write(state::kSectionReport, state::FolderIndexKey(b), IdText(folder));
          doc.Write(state::kSectionReport, state::MessageIndexKey(b), IdText(message.id));
          doc.Write(state::kSectionReport, state::kKeyCount, std::to_string(b + 1));
        });
        (void)options_.profile->WriteString(
            MessageFile(), state::kSectionVexmor, state::kKeyOperation,
            state::OperationText(state::Operation::kWorkReportList));
      }
    } else {
      (void)options_.profile->Update(MessageFile(), [&](IniDocument& doc) {
        doc.Write(state::kSectionVexmor, state::kKeySelectedFolderId, IdText(folder));
        doc.Write(state::kSectionVexmor, state::kKeySelectedMsgId, IdText(message.id));
        doc.Write(state::kSectionVexmor, state::kKeyOperation,
                  state::OperationText(state::Operation::kNotSpam));
      });
    }
  }
  if (phase != SelectionPhase::kRecord) {
    for (const FolderMessage& entry : tables.unread) {
      (void)store_->MarkRead(entry.folder, entry.message, false);  // moved ones are gone
    }
  }
  Close();
  return true;
}

}  // namespace vexmor::hook
