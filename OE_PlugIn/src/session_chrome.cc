// The menus and toolbars mirrored into the local client session.
#include "session_chrome.h"

#include <utility>
#include <vector>

#include "vexmor/session/control.h"

namespace vexmor::plugin {

namespace {

constexpr std::chrono::seconds kSessionWait{5};

void Tell(const std::string& socket_path, std::vector<std::string> args) {
  (void)session::Call(socket_path, {"chrome", std::move(args)}, kSessionWait);
}

class SessionToolbar final : public platform::ClientToolbar {
 public:
  SessionToolbar(std::unique_ptr<platform::ClientToolbar> local, const std::string& socket_path)
      : local_(std::move(local)), socket_path_(socket_path) {}

  StatusOr<int32_t> Id() override {
    auto id = local_->Id();
    if (id.ok() && *id != id_) {
      id_ = *id;
      Tell(socket_path_, {"toolbar", std::to_string(id_)});
    }
    return id;
  }
  Status SetShown(bool shown) override {
    Status s = local_->SetShown(shown);
    if (s.ok()) Tell(socket_path_, {"shown", Key(), shown ? "1" : "0"});
    return s;
  }
  Status Configure(int32_t value) override { return local_->Configure(value); }
  StatusOr<int> AddButton(const platform::ButtonSpec& button) override {
    auto position = local_->AddButton(button);
    if (position.ok()) Tell(socket_path_, {"button", Key(), button.caption});
    return position;
  }
  Status AddSeparator() override {
    Status s = local_->AddSeparator();
    if (s.ok()) Tell(socket_path_, {"separator", Key()});
    return s;
  }
  Status AddSubButton(int position, const platform::ButtonSpec& button) override {
    Status s = local_->AddSubButton(position, button);
    if (s.ok()) Tell(socket_path_, {"sub-button", Key(), std::to_string(position), button.caption});
    return s;
  }

 private:
  // The toolbar's id, learnt (and announced) on first use.
  std::string Key() {
    if (id_ == 0) (void)Id();
    return std::to_string(id_);
  }

  std::unique_ptr<platform::ClientToolbar> local_;
  const std::string& socket_path_;
  int32_t id_ = 0;
};

}  // namespace

SessionChrome::SessionChrome(platform::MemoryClientChrome& local, std::string socket_path)
    : local_(local), socket_path_(std::move(socket_path)) {}

StatusOr<std::unique_ptr<platform::ClientToolbar>> SessionChrome::CreateToolbar() {
  auto made = local_.CreateToolbar();
  if (!made.ok()) return made.status();
  auto toolbar = std::make_unique<SessionToolbar>(std::move(made).value(), socket_path_);
  (void)toolbar->Id();  // the session shows it from now on
  return std::unique_ptr<platform::ClientToolbar>(std::move(toolbar));
}

bool SessionChrome::ShowsEarlierToolbar() {
  auto reply = session::Call(socket_path_, {"chrome", {"has-toolbar"}}, kSessionWait);
  // A session that cannot be asked keeps the old rule: no second toolbar.
  return !reply.ok() || !reply->value("ok", false) || reply->value("shown", true);
}

Status SessionChrome::AddMenuItem(int menu, const std::string& caption,
                                  const std::string& neighbour, int32_t option,
                                  std::function<void()> on_click) {
  Status s = local_.AddMenuItem(menu, caption, neighbour, option, std::move(on_click));
  if (s.ok()) {
    Tell(socket_path_,
         {"menu-item", std::to_string(menu), caption, neighbour, std::to_string(option)});
  }
  return s;
}

}  // namespace vexmor::plugin
