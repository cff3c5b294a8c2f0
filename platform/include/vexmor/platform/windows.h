// The desktop port, part one: windows, their messages and the hooks on them.
//
// On Linux the mail clients' own windows exist only as a model (WindowModel in desktop.h), held
// by the process that plays the client. Contract of every interface here: no exception leaves a
// call; failures come back as Status. Window handles are plain numbers; 0 (kNoWindow) is never a
// window. A handle stays unique for the life of the model that issued it, so a stale handle never
// names a newer window.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

using WindowHandle = std::uint64_t;
inline constexpr WindowHandle kNoWindow = 0;

// Message numbers the product's integration sends or watches. They keep the values the mail
// clients' own window messages have, so the command tables of the integration read the same.
namespace wm {
inline constexpr std::uint32_t kClose = 0x0010;
inline constexpr std::uint32_t kKeyDown = 0x0100;
inline constexpr std::uint32_t kCommand = 0x0111;        // wparam: command or button id
inline constexpr std::uint32_t kInitMenuPopup = 0x0117;  // a popup menu is about to open
inline constexpr std::uint32_t kMenuSelect = 0x011F;     // wparam low word: highlighted id
inline constexpr std::uint32_t kMouseMove = 0x0200;
inline constexpr std::uint32_t kLButtonUp = 0x0202;
inline constexpr std::uint32_t kLButtonDblClk = 0x0203;
inline constexpr std::uint32_t kStatusBarSetText = 0x0401;        // wparam: part; text: the text
inline constexpr std::uint32_t kToolbarIsButtonPressed = 0x040B;  // wparam: command id
}  // namespace wm

// Class names of the common controls, as the mail clients' windows carry them.
inline constexpr char kStatusBarClass[] = "msctls_statusbar32";
inline constexpr char kDialogClass[] = "#32770";

struct WindowMessage {
  std::uint32_t message = 0;
  std::uint64_t wparam = 0;
  std::int64_t lparam = 0;
  std::string text;  // the string a message carries (status-bar text), empty otherwise
};

struct WindowInfo {
  WindowHandle handle = kNoWindow;
  WindowHandle parent = kNoWindow;  // kNoWindow for a top-level window
  std::string class_name;
  std::string text;  // title of a top-level window, caption of a control
  std::int32_t control_id = 0;
  std::int32_t process_id = 0;  // the process that owns the window
  bool visible = true;
};

// Windows, their tree and their messages.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // The first top-level window (in creation order) whose class and title equal the given ones
  // exactly; an empty optional matches anything. kNoWindow when there is none.
  virtual WindowHandle FindTopLevel(const std::optional<std::string>& class_name,
                                    const std::optional<std::string>& title) const = 0;
  // The first child of `parent` after `after` (kNoWindow: from the first child) that matches.
  virtual WindowHandle FindChild(WindowHandle parent, WindowHandle after,
                                 const std::optional<std::string>& class_name,
                                 const std::optional<std::string>& title) const = 0;
  // The child walk: children keep the order in which they were made. kNoWindow at the end or
  // for an unknown handle.
  virtual WindowHandle FirstChild(WindowHandle window) const = 0;
  virtual WindowHandle NextSibling(WindowHandle window) const = 0;
  virtual WindowHandle ActiveWindow() const = 0;
  virtual bool IsWindow(WindowHandle window) const = 0;
  // NotFound for an unknown handle.
  virtual StatusOr<WindowInfo> Describe(WindowHandle window) const = 0;

  // Delivers a message now and returns the window's answer; NotFound for an unknown handle.
  virtual StatusOr<std::int64_t> Send(WindowHandle window, const WindowMessage& message) = 0;
  // Queues a message for the window's owner to handle later; NotFound for an unknown handle.
  virtual Status Post(WindowHandle window, const WindowMessage& message) = 0;

  // The text of one part of a status-bar window; NotFound when the window is not a status bar.
  virtual StatusOr<std::string> StatusBarText(WindowHandle status_bar, int part) const = 0;
};

// ----------------------------------------------------------------------------------------------
// Hooks: procedures that see the messages of every window of the client before (or after) the
// window does. The types keep the numbers of the mail client's platform, so the integration's
// tables read the same. A procedure is a plain function, as a hook library exports it.
enum class HookType : int {
  kKeyboard = 2,         // wparam: key code; lparam: key flags
  kCallWndProc = 4,      // lparam: address of a CallWindowRecord
  kMouse = 7,            // wparam: the mouse message; lparam: the window under the pointer
  kCallWndProcRet = 12,  // lparam: address of a CallWindowRecord, after the window answered
};

// What a call-window-procedure hook is shown of one message.
struct CallWindowRecord {
  std::int64_t result = 0;  // the window's answer (kCallWndProcRet only)
  std::int64_t lparam = 0;
  std::uint64_t wparam = 0;
  std::uint32_t message = 0;
  WindowHandle window = kNoWindow;
};

using HookHandle = std::uint64_t;
inline constexpr HookHandle kNoHook = 0;
using HookProcedure = std::int64_t (*)(std::int32_t code, std::uint64_t wparam,
                                       std::int64_t lparam);

// The hooks installed on the client's windows. Procedures run on the thread that dispatches the
// message, without any lock of the registry held, so they may install or remove hooks.
class HookRegistry {
 public:
  virtual ~HookRegistry() = default;
  // A new hook of the type, called first from now on. InvalidArgument for a null procedure.
  virtual StatusOr<HookHandle> Install(HookType type, HookProcedure procedure) = 0;
  // NotFound when the handle names no installed hook.
  virtual Status Remove(HookHandle hook) = 0;
  // Calls the hooks installed after `hook` (the next in the chain) and returns what the last
  // one returned; 0 at the end of the chain.
  virtual std::int64_t CallNext(HookHandle hook, std::int32_t code, std::uint64_t wparam,
                                std::int64_t lparam) = 0;
};

// The registry of the process that plays the client: it delivers messages to the chains.
class MemoryHookRegistry final : public HookRegistry {
 public:
  MemoryHookRegistry();
  ~MemoryHookRegistry() override;

  StatusOr<HookHandle> Install(HookType type, HookProcedure procedure) override;
  Status Remove(HookHandle hook) override;
  std::int64_t CallNext(HookHandle hook, std::int32_t code, std::uint64_t wparam,
                        std::int64_t lparam) override;

  // Runs the chain of the type from its newest hook (code 0); 0 when none is installed.
  std::int64_t Dispatch(HookType type, std::uint64_t wparam, std::int64_t lparam);
  std::size_t Count(HookType type) const;

 private:
  struct Entry {
    HookHandle handle;
    HookType type;
    HookProcedure procedure;
  };
  std::int64_t RunFrom(HookType type, std::size_t index, std::int32_t code, std::uint64_t wparam,
                       std::int64_t lparam);

  mutable std::mutex mutex_;
  HookHandle next_ = 0x7001;
  std::vector<Entry> chain_;  // newest first
};

}  // namespace vexmor::platform
