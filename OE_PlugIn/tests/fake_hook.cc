// A stand-in for the hook library in the host's process tests: the same eight exports, each
// appending one line to the file named by $VEXMOR_FAKE_HOOK_LOG ("name", the integers, then
// the subject and sender where the call has them, tab-separated). $VEXMOR_FAKE_HOOK_DELAY_MS
// makes every call take that long, as a slow filter would.
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#define FAKE_HOOK_API extern "C" __attribute__((visibility("default")))

namespace {

std::string Text(const char* text) {
  std::string out = text != nullptr ? text : "";
  for (char& c : out) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

void Record(std::string line) {
  if (const char* delay = std::getenv("VEXMOR_FAKE_HOOK_DELAY_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
  }
  const char* path = std::getenv("VEXMOR_FAKE_HOOK_LOG");
  if (path == nullptr) return;
  line += "\n";
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = ::write(fd, line.data(), line.size());
  (void)written;
  ::close(fd);
}

std::string N(int32_t value) {
  return std::to_string(value);
}

}  // namespace

FAKE_HOOK_API void MoveMessage_Inbox(int32_t message, int32_t folder, int32_t spam, int32_t kind,
                                     const char* subject, const char* sender, const char*,
                                     const char*, const char*) {
  Record("MoveMessage_Inbox\t" + N(message) + "\t" + N(folder) + "\t" + N(spam) + "\t" + N(kind) +
         "\t" + Text(subject) + "\t" + Text(sender));
}
FAKE_HOOK_API void MoveMailMessage_Inbox(int32_t message, int32_t folder, int32_t spam, const char*,
                                         const char* sender) {
  Record("MoveMailMessage_Inbox\t" + N(message) + "\t" + N(folder) + "\t" + N(spam) + "\t" +
         Text(sender));
}
FAKE_HOOK_API void CheckMessage_Folder(int32_t message, int32_t folder, int32_t spam, int32_t kind,
                                       const char* subject, const char* sender, const char*,
                                       const char*, const char*) {
  Record("CheckMessage_Folder\t" + N(message) + "\t" + N(folder) + "\t" + N(spam) + "\t" + N(kind) +
         "\t" + Text(subject) + "\t" + Text(sender));
}
FAKE_HOOK_API void CheckMailMessage_Folder(int32_t message, int32_t folder, int32_t spam,
                                           const char*, const char* sender) {
  Record("CheckMailMessage_Folder\t" + N(message) + "\t" + N(folder) + "\t" + N(spam) + "\t" +
         Text(sender));
}
FAKE_HOOK_API void MoveMessage_DeletedItems(int32_t kind, int32_t operation, const char* subject,
                                            const char* sender, const char*, const char*,
                                            const char*) {
  Record("MoveMessage_DeletedItems\t" + N(kind) + "\t" + N(operation) + "\t" + Text(subject) +
         "\t" + Text(sender));
}
FAKE_HOOK_API void MoveMailMessage_DeletedItems(int32_t operation, const char*,
                                                const char* sender) {
  Record("MoveMailMessage_DeletedItems\t" + N(operation) + "\t" + Text(sender));
}
FAKE_HOOK_API void RemoveMsg_SentItems(const char* recipient, const char*) {
  Record("RemoveMsg_SentItems\t" + Text(recipient));
}
FAKE_HOOK_API void RemoveTrayIcon_Taskbar() {
  Record("RemoveTrayIcon_Taskbar");
}
