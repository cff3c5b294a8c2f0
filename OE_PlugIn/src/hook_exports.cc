#include "hook_exports.h"

#include <dlfcn.h>

#include <utility>

#include "vexmor/hook/exports.h"

namespace vexmor::plugin {
namespace {

// The export header's own declarations give the types, so a changed signature fails to compile
// here instead of being called through a wrong cast.
using MoveMessageInboxFn = decltype(&MoveMessage_Inbox);
using MoveMailMessageInboxFn = decltype(&MoveMailMessage_Inbox);
using CheckMessageFolderFn = decltype(&CheckMessage_Folder);
using CheckMailMessageFolderFn = decltype(&CheckMailMessage_Folder);
using DeletedItemsFn = decltype(&MoveMessage_DeletedItems);
using MailDeletedItemsFn = decltype(&MoveMailMessage_DeletedItems);
using SentItemsFn = decltype(&RemoveMsg_SentItems);
using TrayIconFn = decltype(&RemoveTrayIcon_Taskbar);

class DynamicHookExports final : public HookExports {
 public:
  DynamicHookExports(std::string explicit_path, std::string program_dir, DiagnosticSink report)
      : explicit_path_(std::move(explicit_path)),
        program_dir_(std::move(program_dir)),
        report_(std::move(report)) {}

  ~DynamicHookExports() override {
    // The library stays loaded: a library's own threads or atexit handlers may still run.
  }

  void MoveMessageInbox(int32_t message, int32_t folder, int32_t spam_folder, int32_t kind,
                        const char* subject, const char* sender, const char* header,
                        const char* body, const char* extra) override {
    if (auto fn = Resolve<MoveMessageInboxFn>(move_message_inbox_, "MoveMessage_Inbox")) {
      fn(message, folder, spam_folder, kind, subject, sender, header, body, extra);
    }
  }
  void MoveMailMessageInbox(int32_t message, int32_t folder, int32_t spam_folder,
                            const char* header, const char* sender) override {
    if (auto fn =
            Resolve<MoveMailMessageInboxFn>(move_mail_message_inbox_, "MoveMailMessage_Inbox")) {
      fn(message, folder, spam_folder, header, sender);
    }
  }
  void CheckMessageFolder(int32_t message, int32_t folder, int32_t spam_folder, int32_t kind,
                          const char* subject, const char* sender, const char* header,
                          const char* body, const char* extra) override {
    if (auto fn = Resolve<CheckMessageFolderFn>(check_message_folder_, "CheckMessage_Folder")) {
      fn(message, folder, spam_folder, kind, subject, sender, header, body, extra);
    }
  }
  void CheckMailMessageFolder(int32_t message, int32_t folder, int32_t spam_folder,
                              const char* header, const char* sender) override {
    if (auto fn = Resolve<CheckMailMessageFolderFn>(check_mail_message_folder_,
                                                    "CheckMailMessage_Folder")) {
      fn(message, folder, spam_folder, header, sender);
    }
  }
  void MoveMessageDeletedItems(int32_t kind, int32_t operation, const char* subject,
                               const char* sender, const char* header, const char* body,
                               const char* extra) override {
    if (auto fn =
            Resolve<DeletedItemsFn>(move_message_deleted_items_, "MoveMessage_DeletedItems")) {
      fn(kind, operation, subject, sender, header, body, extra);
    }
  }
  void MoveMailMessageDeletedItems(int32_t operation, const char* header,
                                   const char* sender) override {
    if (auto fn = Resolve<MailDeletedItemsFn>(move_mail_message_deleted_items_,
                                              "MoveMailMessage_DeletedItems")) {
      fn(operation, header, sender);
    }
  }
  void RemoveMsgSentItems(const char* recipient, const char* header) override {
    if (auto fn = Resolve<SentItemsFn>(remove_msg_sent_items_, "RemoveMsg_SentItems")) {
      fn(recipient, header);
    }
  }
  void RemoveTrayIconTaskbar() override {
    if (auto fn = Resolve<TrayIconFn>(remove_tray_icon_taskbar_, "RemoveTrayIcon_Taskbar")) {
      fn();
    }
  }
  bool Available() override { return Handle() != nullptr; }

 private:
  // One symbol's state: not looked up yet, found, or missing (reported once).
  struct Slot {
    bool looked_up = false;
    void* address = nullptr;
  };

  template <typename Fn>
  Fn Resolve(Slot& slot, const char* name) {
    if (!slot.looked_up) {
      void* handle = Handle();
      if (handle == nullptr) return nullptr;  // looked up once the library loads
      slot.looked_up = true;
      {
        dlerror();
        slot.address = dlsym(handle, name);
        if (slot.address == nullptr) Report(std::string("the hook library has no ") + name);
      }
    }
    return reinterpret_cast<Fn>(slot.address);
  }

  void* Handle() {
    if (handle_ != nullptr) return handle_;
    std::string errors;
    auto attempt = [&](const std::string& file) {
      handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle_ == nullptr) {
        const char* why = dlerror();
        errors += "\n  " + file + ": " + (why != nullptr ? why : "not loaded");
      }
      return handle_ != nullptr;
    };
    if (!explicit_path_.empty()) {
      attempt(explicit_path_);
    } else {
      std::string dir = program_dir_;
      if (!dir.empty() && dir.back() != '/') dir += '/';
      if (dir.empty() || !attempt(dir + std::string(kHookLibraryName))) {
        attempt(std::string(kHookLibraryName));
      }
    }
    // Told once per outage, not at every retry.
    if (handle_ == nullptr && !missing_) Report("the hook library could not be loaded:" + errors);
    if (handle_ != nullptr && missing_) Report("the hook library is loaded now");
    missing_ = handle_ == nullptr;
    return handle_;
  }

  void Report(const std::string& line) {
    if (report_) report_(line);
  }

  std::string explicit_path_;
  std::string program_dir_;
  DiagnosticSink report_;
  bool missing_ = false;
  void* handle_ = nullptr;
  Slot move_message_inbox_, move_mail_message_inbox_, check_message_folder_,
      check_mail_message_folder_, move_message_deleted_items_, move_mail_message_deleted_items_,
      remove_msg_sent_items_, remove_tray_icon_taskbar_;
};

}  // namespace

std::unique_ptr<HookExports> MakeDynamicHookExports(std::string explicit_path,
                                                    std::string program_dir,
                                                    DiagnosticSink report) {
  return std::make_unique<DynamicHookExports>(std::move(explicit_path), std::move(program_dir),
                                              std::move(report));
}

}  // namespace vexmor::plugin
