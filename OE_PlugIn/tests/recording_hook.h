// A hook library stand-in for the host's in-process tests: it records every call with its
// arguments as text, and can run a test's action inside a call.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "hook_exports.h"

namespace vexmor::plugin::testing {

struct HookCall {
  std::string name;
  std::vector<std::string> args;
};

class RecordingHook final : public HookExports {
 public:
  std::vector<HookCall> calls;
  std::function<void(const HookCall&)> on_call;

  std::vector<HookCall> Named(const std::string& name) const {
    std::vector<HookCall> out;
    for (const auto& c : calls) {
      if (c.name == name) out.push_back(c);
    }
    return out;
  }

  void MoveMessageInbox(int32_t message, int32_t folder, int32_t spam, int32_t kind,
                        const char* subject, const char* sender, const char* header,
                        const char* body, const char* extra) override {
    Add("MoveMessage_Inbox",
        {N(message), N(folder), N(spam), N(kind), subject, sender, header, body, extra});
  }
  void MoveMailMessageInbox(int32_t message, int32_t folder, int32_t spam, const char* header,
                            const char* sender) override {
    Add("MoveMailMessage_Inbox", {N(message), N(folder), N(spam), header, sender});
  }
  void CheckMessageFolder(int32_t message, int32_t folder, int32_t spam, int32_t kind,
                          const char* subject, const char* sender, const char* header,
                          const char* body, const char* extra) override {
    Add("CheckMessage_Folder",
        {N(message), N(folder), N(spam), N(kind), subject, sender, header, body, extra});
  }
  void CheckMailMessageFolder(int32_t message, int32_t folder, int32_t spam, const char* header,
                              const char* sender) override {
    Add("CheckMailMessage_Folder", {N(message), N(folder), N(spam), header, sender});
  }
  void MoveMessageDeletedItems(int32_t kind, int32_t operation, const char* subject,
                               const char* sender, const char* header, const char* body,
                               const char* extra) override {
    Add("MoveMessage_DeletedItems", {N(kind), N(operation), subject, sender, header, body, extra});
  }
  void MoveMailMessageDeletedItems(int32_t operation, const char* header,
                                   const char* sender) override {
    Add("MoveMailMessage_DeletedItems", {N(operation), header, sender});
  }
  void RemoveMsgSentItems(const char* recipient, const char* header) override {
    Add("RemoveMsg_SentItems", {recipient, header});
  }
  void RemoveTrayIconTaskbar() override { Add("RemoveTrayIcon_Taskbar", {}); }

 private:
  static std::string N(int32_t v) { return std::to_string(v); }
  void Add(std::string name, std::vector<std::string> args) {
    calls.push_back({std::move(name), std::move(args)});
    if (on_call) on_call(calls.back());
  }
};

}  // namespace vexmor::plugin::testing
