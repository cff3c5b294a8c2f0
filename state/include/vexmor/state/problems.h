// Damage that costs part of the filtering (a state file emptied, the sender lists unreadable,
// the host's ledger damaged), kept where `vexmor status` can show it after the log has moved
// on. "Vexmor_Problems.ini" in the install directory, section "Problems": one key per topic,
// its value "<UTC time> <what is wrong and what is done instead>". A topic that is mended is
// taken out again.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vexmor/platform/profile.h"
#include "vexmor/platform/status.h"

namespace vexmor::state {

inline constexpr std::string_view kProblemsFile = "Vexmor_Problems.ini";
inline constexpr std::string_view kSectionProblems = "Problems";

// Topics.
inline constexpr std::string_view kProblemPathFile = "Path_File";
inline constexpr std::string_view kProblemSenderLists = "Sender_Lists";
inline constexpr std::string_view kProblemLedger = "Ledger";
inline constexpr std::string_view kProblemIdList = "Id_List";

// Records the problem of a topic; true when it is new (not recorded with the same text).
bool RecordProblem(platform::Profile& profile, const std::string& install_dir,
                   std::string_view topic, std::string_view text);
void ClearProblem(platform::Profile& profile, const std::string& install_dir,
                  std::string_view topic);
// (topic, value) of every recorded problem, in the file's order.
std::vector<std::pair<std::string, std::string>> ReadProblems(const platform::Profile& profile,
                                                              const std::string& install_dir);

}  // namespace vexmor::state
