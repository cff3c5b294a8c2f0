// The commands handed to the host program through "Operation" of "Vexmor_Message.ini".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vexmor::state {

enum class Operation : int32_t {
  kNone = 0,             // nothing pending
  kCheckFolder = 1,      // check the folder "SelectedFolder_Id"
  kFindSpamFolders = 2,  // the spam folders were emptied: find them again
  kRemoveTrayIcon = 3,   // a receive cycle ended with unfiltered mail queued
  kWorkProcessList = 4,  // work the list "Vexmor_Process"
  kNotSpam = 5,          // Not Spam on "SelectedMsg_Id" in "SelectedFolder_Id"
  kWorkReportList = 6,   // work the list "Vexmor_Report"
};

// The command a stored value names; nullopt for values that are consumed and ignored.
constexpr std::optional<Operation> ToOperation(int32_t value) {
  if (value < 0 || value > static_cast<int32_t>(Operation::kWorkReportList)) return std::nullopt;
  return static_cast<Operation>(value);
}

// The text writers store for a command: the form the host and the other processes read.
constexpr std::string_view OperationText(Operation operation) {
  constexpr std::string_view kTexts[] = {"0", "1", "2", "3", "4", "5", "6"};
  return kTexts[static_cast<int32_t>(operation)];
}

}  // namespace vexmor::state
