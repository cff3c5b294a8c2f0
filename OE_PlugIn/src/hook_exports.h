// The hook library's message operations as the host calls them. The host never links the
// library: it loads it by name at run time and resolves each operation by name, so a library
// that lacks one still serves the others.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "vexmor/platform/status.h"

namespace vexmor::plugin {

// Texts are zero-terminated single-byte strings owned by the caller; integers are 32-bit.
// Nothing is returned: the host ignores every result.
class HookExports {
 public:
  virtual ~HookExports() = default;
  virtual void MoveMessageInbox(int32_t message, int32_t folder, int32_t spam_folder, int32_t kind,
                                const char* subject, const char* sender, const char* header,
                                const char* body, const char* extra) = 0;
  virtual void MoveMailMessageInbox(int32_t message, int32_t folder, int32_t spam_folder,
                                    const char* header, const char* sender) = 0;
  virtual void CheckMessageFolder(int32_t message, int32_t folder, int32_t spam_folder,
                                  int32_t kind, const char* subject, const char* sender,
                                  const char* header, const char* body, const char* extra) = 0;
  virtual void CheckMailMessageFolder(int32_t message, int32_t folder, int32_t spam_folder,
                                      const char* header, const char* sender) = 0;
  virtual void MoveMessageDeletedItems(int32_t kind, int32_t operation, const char* subject,
                                       const char* sender, const char* header, const char* body,
                                       const char* extra) = 0;
  virtual void MoveMailMessageDeletedItems(int32_t operation, const char* header,
                                           const char* sender) = 0;
  virtual void RemoveMsgSentItems(const char* recipient, const char* header) = 0;
  virtual void RemoveTrayIconTaskbar() = 0;
  // False while the library cannot be loaded: the calls would do nothing, so the host keeps
  // the mail for later instead of counting it judged. Each call tries the load again.
  virtual bool Available() { return true; }
};

// The library's file name, looked for beside the program and then on the default search path.
inline constexpr std::string_view kHookLibraryName = "libVexmor_Hook.so";

using DiagnosticSink = std::function<void(std::string_view line)>;

// The exports of a library loaded at the first call. "explicit_path", when not empty, names
// the file to load (and nothing else is tried); otherwise kHookLibraryName is tried in
// "program_dir" and then by the default search. A library that cannot be loaded, or an export
// it lacks, is reported once through "report"; the calls concerned then do nothing. A load
// that failed is tried again by the next call, so a library put back is used from then on.
std::unique_ptr<HookExports> MakeDynamicHookExports(std::string explicit_path,
                                                    std::string program_dir, DiagnosticSink report);

}  // namespace vexmor::plugin
