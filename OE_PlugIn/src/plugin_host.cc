#include "plugin_host.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "vexmor/log/write_log.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/problems.h"
#include "vexmor/state/state_files.h"

namespace vexmor::plugin {
namespace {

namespace sf = vexmor::state;

constexpr int32_t kToolbarMenu = 2;  // the top-level menu that holds "&Layout..."
constexpr int32_t kMenuItemOption = 10;
constexpr int32_t kToolbarSetting = 0;

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

}  // namespace vexmor::plugin
