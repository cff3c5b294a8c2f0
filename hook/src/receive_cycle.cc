// The send/receive cycle: first-cycle set-up, the end-of-cycle scan and the scan during a long
// receive.
#include "vexmor/hook/receive_cycle.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "vexmor/hook/list_building.h"
#include "vexmor/log/write_log.h"
#include "vexmor/platform/mail_store.h"
#include "vexmor/state/journal.h"
#include "vexmor/state/operation.h"
#include "vexmor/state/state_files.h"

namespace vexmor::hook {

namespace {

constexpr char kIdentitiesKey[] = "Identities";
constexpr char kLastUserId[] = "Last User ID";
constexpr char kRulesKeyTail[] = "\\Software\\Microsoft\\Outlook Express\\5.0\\Rules\\Mail\\";
constexpr char kOrderValue[] = "Order";
constexpr char kFirstActionTail[] = "\\Actions\\000";
constexpr char kActionValue[] = "Value";
constexpr size_t kRuleNumberLength = 3;
constexpr size_t kRuleEntryLength = 5;  // the number, the blank and the start of the next

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::vector<FolderId> ReadWatchedFolders(const platform::Registry& registry) {
  std::vector<FolderId> folders = {platform::kInboxFolderId};
  auto user = registry.QueryValue(kIdentitiesKey, kLastUserId);
  if (!user.ok() || user->type != platform::RegistryValue::Type::kString) return folders;
  const std::string rules_key = std::string(kIdentitiesKey) + "\\" + user->data + kRulesKeyTail;
  auto order = registry.QueryValue(rules_key, kOrderValue);
  if (!order.ok() || order->type != platform::RegistryValue::Type::kString) return folders;
  std::string rest = order->data;
  while (!rest.empty()) {
    const std::string rule = rest.substr(0, kRuleNumberLength);
    rest = rest.size() < kRuleEntryLength ? std::string() : rest.substr(kRuleNumberLength + 1);
    auto action = registry.QueryValue(rules_key + rule + kFirstActionTail, kActionValue);
    if (!action.ok() || action->data.size() < 10) continue;
    const auto low = static_cast<unsigned char>(action->data[8]);
    const auto high = static_cast<unsigned char>(action->data[9]);
    const FolderId folder = static_cast<FolderId>(low | (high << 8));
    if (folder == 0) continue;
    if (folders.size() >= kMaxWatchedFolders) break;
    folders.push_back(folder);
  }
  for (size_t i = 1; i < folders.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (folders[j] != 0 && folders[j] == folders[i]) {
        folders[i] = 0;
        break;
      }
    }
  }
  return folders;
}

ReceiveCycle::ReceiveCycle(ReceiveCycleOptions options) : options_(std::move(options)) {
  if (options_.profile == nullptr || options_.registry == nullptr) {
    throw std::invalid_argument("the receive cycle needs a profile and a registry");
  }
  if (options_.clock == nullptr) options_.clock = &platform::SystemClock();
  if (options_.store.profile == nullptr) options_.store.profile = options_.profile;
  if (!options_.start_list_building) {
    options_.start_list_building = [this](const std::string& install_dir) {
      ListBuildingOptions list;
      list.install_dir = install_dir;
      list.profile = options_.profile;
      list.clock = options_.clock;
      list.desktop = options_.desktop;
      list.connect = options_.store.connect;
      StartListBuilding(list);
    };
  }
}

ReceiveCycle::~ReceiveCycle() {
  Join();
}

platform::Profile& ReceiveCycle::profile() const {
  return *options_.profile;
}

std::string ReceiveCycle::InstallDirectory() const {
  return options_.install_dir ? options_.install_dir() : state::ReadInstallDirectory(profile());
}

std::string ReceiveCycle::MessageFile() const {
  return state::InstallFile(InstallDirectory(), state::kMessageFile);
}

void ReceiveCycle::Log(std::string_view line) const {
  log::WriteLog(line, InstallDirectory(), *options_.clock);
}

void ReceiveCycle::Start(void (ReceiveCycle::*body)(), std::string_view failure_line) {
  std::lock_guard lock(threads_mutex_);
  threads_.emplace_back([this, body, failure_line] {
    try {
      (this->*body)();
    } catch (...) {
      Log(failure_line);
    }
  });
}

void ReceiveCycle::Join() {
  for (;;) {
    std::list<std::thread> batch;
    {
      std::lock_guard lock(threads_mutex_);
      batch.swap(threads_);
    }
    if (batch.empty()) return;
    for (std::thread& thread : batch) {
      if (thread.joinable()) thread.join();
    }
  }
}

void ReceiveCycle::OnStatusText(const std::string& text) {
  if (StartsWith(text, kReceivingText) && cycle_ended_) {
    cycle_ended_ = false;
    calls_ = 0;
    if (profile().GetInt(state::kPathFile, state::kSectionVexmor, state::kKeyRulesCreated, 0) ==
        1) {
      (void)profile().WriteString(state::kPathFile, state::kSectionVexmor,
                                  state::kKeyReceiveMsgStart, "1");
    } else {
      Start(&ReceiveCycle::FirstCycleSetUp, "[F] Error in Thread_3 function.\n");
      // Gives the set-up its head start before the first messages of the cycle arrive.
      options_.clock->SleepFor(kSetUpWait);
    }
  } else if (StartsWith(text, kDisconnectingText) && !cycle_ended_) {
    cycle_ended_ = true;
    Start(&ReceiveCycle::EndOfCycleScan, "[F] Error in Thread_4 function.\n");
  }
}

void ReceiveCycle::OnWatcherCall() {
  if (cycle_ended_) return;
  if (++calls_ <= kPeriodicScanCalls) return;
  calls_ = 0;
  OeStore(options_.store).QueueUnfiltered(InstallDirectory());
  (void)profile().WriteString(MessageFile(), state::kSectionVexmor, state::kKeyOperation,
                              state::OperationText(state::Operation::kWorkProcessList));
}

void ReceiveCycle::FirstCycleSetUp() {
  (void)profile().WriteString(state::kPathFile, state::kSectionVexmor, state::kKeyReceiveMsgStart,
                              "1");
  (void)profile().WriteString(state::kPathFile, state::kSectionVexmor, state::kKeyRulesCreated,
                              "1");
  const std::string install_dir = InstallDirectory();
  options_.start_list_building(install_dir);
  const std::vector<FolderId> folders = ReadWatchedFolders(*options_.registry);
  OeStore(options_.store).RecordWatermarks(install_dir, folders);
  Log("[S] Rules automatically created for outlook express.\n");
}

void ReceiveCycle::EndOfCycleScan() {
  const std::string install_dir = InstallDirectory();
  OeStore(options_.store).QueueUnfiltered(install_dir);
  (void)profile().WriteString(state::kPathFile, state::kSectionVexmor, state::kKeyReceiveMsgStart,
                              "0");
  options_.clock->SleepFor(kScanDelay);
  (void)profile().WriteString(MessageFile(), state::kSectionVexmor, state::kKeyOperation,
                              state::OperationText(state::Operation::kRemoveTrayIcon));
}

}  // namespace vexmor::hook
