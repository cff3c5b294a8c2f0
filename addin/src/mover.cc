#include "vexmor/addin/mover.h"

#include <vexmor/userinterface/CFrameWindow.h>

#include <exception>
#include <map>
#include <mutex>

#include "vexmor/addin/folder_paths.h"
#include "vexmor/log/write_log.h"

namespace vexmor::addin {
namespace {

using platform::EntryId;

struct MoverState {
  std::mutex mu;
  platform::MapiLogon* logon = nullptr;
  std::function<bool()> tray_icon_remover;
  std::string message_id_hex;
  std::string parent_id_hex;
  std::string inbox_path;
  // Folders already found by path, and folder paths by the folder's entry id in hexadecimal:
  // every move would otherwise list the whole folder tree twice. An entry that no longer works
  // (folder renamed or recreated) is dropped and found afresh.
  std::map<std::string, EntryId> folder_by_path;
  std::map<std::string, std::string> path_by_folder;
};

MoverState& State() {
  static MoverState state;
  return state;
}

std::string Trimmed(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

bool RemoveTrayIcon() {
  std::function<bool()> remover;
  {
    std::lock_guard lock(State().mu);
    remover = State().tray_icon_remover;
  }
  if (remover) return remover();
  CFrameWindow frame;
  return frame.RemoveTrayIcon_NewSpamMsg(false);
}

StatusOr<EntryId> CachedFolderByPath(platform::MapiStore& store, const std::string& path) {
  {
    std::lock_guard lock(State().mu);
    auto found = State().folder_by_path.find(path);
    if (found != State().folder_by_path.end()) return found->second;
  }
  StatusOr<EntryId> folder = OpenFolderByPath(store, '\\', path);
  if (folder.ok()) {
    std::lock_guard lock(State().mu);
    State().folder_by_path[path] = *folder;
  }
  return folder;
}

std::string CachedPathOf(platform::MapiStore& store, const std::string& folder_hex,
                         const EntryId& folder) {
  {
    std::lock_guard lock(State().mu);
    auto found = State().path_by_folder.find(folder_hex);
    if (found != State().path_by_folder.end()) return found->second;
  }
  StatusOr<std::string> path = FolderPathOf(store, folder);
  if (!path.ok()) return {};
  std::lock_guard lock(State().mu);
  State().path_by_folder[folder_hex] = *path;
  return *path;
}

void ForgetFolders() {
  std::lock_guard lock(State().mu);
  State().folder_by_path.clear();
  State().path_by_folder.clear();
}

// The move itself; "reached_destination" tells the caller whether the tray-icon step is due.
// "cached" allows folders found by earlier moves.
bool Move(MoveKind kind, bool& reached_destination, bool cached) {
  if (!cached) ForgetFolders();
  platform::MapiLogon* logon;
  std::string message_hex;
  std::string parent_hex;
  {
    std::lock_guard lock(State().mu);
    logon = State().logon;
    message_hex = State().message_id_hex;
    parent_hex = State().parent_id_hex;
  }
  if (logon == nullptr) return false;
  StatusOr<std::unique_ptr<platform::MapiSession>> session = logon->Logon();
  if (!session.ok()) return false;
  StatusOr<EntryId> store_id = FindDefaultStore(**session);
  if (!store_id.ok()) return false;
  StatusOr<std::unique_ptr<platform::MapiStore>> opened = (*session)->OpenMsgStore(*store_id);
  if (!opened.ok()) return false;
  platform::MapiStore& store = **opened;

  std::string inbox_path;
  {
    std::lock_guard lock(State().mu);
    inbox_path = State().inbox_path;
  }
  if (Trimmed(inbox_path).empty()) {
    StatusOr<EntryId> receive = store.GetReceiveFolder();
    StatusOr<std::string> path =
        receive.ok() ? FolderPathOf(store, *receive) : StatusOr<std::string>(receive.status());
    inbox_path = path.ok() ? *path : std::string();
    std::lock_guard lock(State().mu);
    State().inbox_path = inbox_path;
  }

  std::string destination_path;
  switch (kind) {
    case MoveKind::kSpam:
      destination_path = kSpamPath;
      break;
    case MoveKind::kSpamPosted:
      destination_path = kSpamPostedPath;
      break;
    case MoveKind::kInbox:
      destination_path = inbox_path;
      break;
  }
  reached_destination = true;
  // An unknown receive folder must not make the root folder the destination.
  if (Trimmed(destination_path).empty()) return false;

  StatusOr<EntryId> destination = CachedFolderByPath(store, destination_path);
  if (!destination.ok() && kind != MoveKind::kInbox) {
    CreateSpamFolder(store, kind == MoveKind::kSpamPosted);
    destination = CachedFolderByPath(store, destination_path);
  }
  if (!destination.ok()) return false;

  std::optional<std::string> parent_id = platform::FBinFromHex(parent_hex);
  std::optional<std::string> message_id = platform::FBinFromHex(message_hex);
  if (!message_id || message_id->empty()) return false;
  std::string source_path;
  if (parent_id && !parent_id->empty()) source_path = CachedPathOf(store, parent_hex, *parent_id);
  if (source_path.empty()) source_path = kInboxPath;
  if (source_path.find(kSubtreeName) == std::string::npos) return false;
  StatusOr<EntryId> source = CachedFolderByPath(store, source_path);
  if (!source.ok()) return false;

  StatusOr<EntryId> moved = store.MoveMessage(*source, *message_id, *destination);
  if (!moved.ok()) return false;
  (*session)->Logoff();
  return true;
}

}  // namespace

void UseMapiLogon(platform::MapiLogon* logon) {
  std::lock_guard lock(State().mu);
  State().logon = logon;
  State().folder_by_path.clear();
  State().path_by_folder.clear();
}

void UseTrayIconRemover(std::function<bool()> remover) {
  std::lock_guard lock(State().mu);
  State().tray_icon_remover = std::move(remover);
}

void SetMessageIdHex(std::string hex) {
  std::lock_guard lock(State().mu);
  State().message_id_hex = std::move(hex);
}

void SetParentIdHex(std::string hex) {
  std::lock_guard lock(State().mu);
  State().parent_id_hex = std::move(hex);
}

std::string MessageIdHex() {
  std::lock_guard lock(State().mu);
  return State().message_id_hex;
}

std::string ParentIdHex() {
  std::lock_guard lock(State().mu);
  return State().parent_id_hex;
}

std::string InboxPath() {
  std::lock_guard lock(State().mu);
  return State().inbox_path;
}

void ResetInboxPath() {
  std::lock_guard lock(State().mu);
  State().inbox_path.clear();
  State().folder_by_path.clear();
  State().path_by_folder.clear();
}

bool MoveToFolder(MoveKind kind) {
  bool reached_destination = false;
  bool moved = false;
  try {
    moved = Move(kind, reached_destination, true);
    // A folder found by an earlier move may be gone or recreated: look everything up afresh.
    if (!moved) moved = Move(kind, reached_destination, false);
  } catch (const std::exception&) {
    log::WriteAddinLog("Failed at moving mail to specific folder(B).", false);
    moved = false;
  }
  if (kind == MoveKind::kSpam && reached_destination) {
    try {
      if (RemoveTrayIcon()) {
        log::WriteAddinLog("Tray Icon removed for incoming spam mail(S).", false);
      }
    } catch (const std::exception&) {
      log::WriteAddinLog("Failed at deleting TRAYICON from TASKBAR(B).", false);
    }
  }
  return moved;
}

}  // namespace vexmor::addin
