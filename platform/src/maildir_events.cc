// The inotify adapter of the new-mail events, beside the Maildir adapter whose folder naming
// it shares (MaildirFolderDirectories).
#include <dirent.h>
#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "vexmor/platform/mail_events.h"
#include "vexmor/platform/posix.h"

namespace vexmor::platform {
namespace {

constexpr uint32_t kMessageEvents = IN_MOVED_TO | IN_CREATE | IN_CLOSE_WRITE;

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class MaildirEvents final : public MailEventSource {
 public:
  MaildirEvents(std::string root, MaildirOptions options)
      : root_(std::move(root)), options_(std::move(options)) {}
  Status Open() {
    fd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd_.valid()) return ErrnoStatus("inotify");
    root_watch_ =
        ::inotify_add_watch(fd_.get(), root_.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    if (root_watch_ < 0) {
      // IoError even for a missing tree: the store's root is given, never looked for here.
      return Status::IoError("cannot watch " + root_ + ": " + std::strerror(errno));
    }
    WatchFolder("");
    if (DIR* dir = ::opendir(root_.c_str())) {
      while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > 1 && name[0] == '.' && name != ".." && IsDirectory(root_ + name)) {
          WatchFolder(name.substr(1));
        }
      }
      ::closedir(dir);
    }
    Remap();
    return Status::Ok();
  }

  int fd() const override { return fd_.get(); }

  MailEvents Read() override {
    MailEvents events;
    std::set<std::string> dirs;
    ReadDirectories(dirs, events.everything);
    bool remapped = false;
    for (const std::string& dir : dirs) {
      auto it = folders_.find(dir);
      if (it == folders_.end() && !remapped) {
        Remap();
        remapped = true;
        it = folders_.find(dir);
      }
      if (it == folders_.end()) {
        events.everything = true;  // a directory the store does not name (yet)
        continue;
      }
      events.folders.insert(it->second);
    }
    return events;
  }

 private:
  void Remap() {
    auto folders = MaildirFolderDirectories(root_, options_);
    if (folders.ok()) folders_ = std::move(*folders);
  }

  void WatchFolder(const std::string& dir) {
    const std::string path = dir.empty() ? root_ : root_ + "." + dir + "/";
    bool complete = true;
    for (const char* sub : {"new", "cur"}) {
      int wd = ::inotify_add_watch(fd_.get(), (path + sub).c_str(), kMessageEvents | IN_ONLYDIR);
      if (wd >= 0) {
        watches_[wd] = dir;
      } else {
        complete = false;
      }
    }
    // A reader that makes a folder step by step adds new/ and cur/ after the folder itself:
    // watch the folder until they are there.
    if (!complete && !dir.empty()) {
      int wd = ::inotify_add_watch(fd_.get(), path.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
      if (wd >= 0) folder_watches_[wd] = dir;
    }
  }

  // The folder directories ("" the Inbox) that changed; "lost" when the queue overflowed.
  void ReadDirectories(std::set<std::string>& dirs, bool& lost) {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t n = RetryOnInterrupt([&] { return ::read(fd_.get(), buffer, sizeof buffer); });
      if (n <= 0) break;  // EAGAIN: nothing more for now
      for (ssize_t offset = 0; offset < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
          lost = true;
          continue;
        }
        if (event->wd == root_watch_) {
          std::string name = event->len > 0 ? event->name : "";
          if ((event->mask & IN_ISDIR) && name.size() > 1 && name[0] == '.') {
            WatchFolder(name.substr(1));
            dirs.insert(name.substr(1));
          } else if ((event->mask & IN_ISDIR) && (name == "new" || name == "cur")) {
            WatchFolder("");
            dirs.insert("");
          }
          continue;
        }
        if (auto folder = folder_watches_.find(event->wd); folder != folder_watches_.end()) {
          if (event->mask & IN_IGNORED) {
            folder_watches_.erase(folder);
          } else if ((event->mask & IN_ISDIR) && event->len > 0) {
            const std::string name = event->name;
            if (name == "new" || name == "cur") {
              WatchFolder(folder->second);
              dirs.insert(folder->second);
            }
          }
          continue;
        }
        auto it = watches_.find(event->wd);
        if (it == watches_.end()) continue;
        if (event->mask & IN_IGNORED) {
          watches_.erase(it);  // the directory went away
          continue;
        }
        dirs.insert(it->second);
      }
    }
  }

  std::string root_;
  MaildirOptions options_;
  UniqueFd fd_;
  int root_watch_ = -1;
  std::map<int, std::string> watches_;         // watch descriptor -> folder directory ("" Inbox)
  std::map<int, std::string> folder_watches_;  // folders still waiting for new/ and cur/
  std::map<std::string, FolderId> folders_;    // folder directory -> folder
};

}  // namespace

StatusOr<std::unique_ptr<MailEventSource>> OpenMaildirEvents(const std::string& root,
                                                             MaildirOptions options) {
  std::string dir = root;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  auto events = std::make_unique<MaildirEvents>(dir, std::move(options));
  if (Status s = events->Open(); !s.ok()) return s;
  return std::unique_ptr<MailEventSource>(std::move(events));
}

}  // namespace vexmor::platform
