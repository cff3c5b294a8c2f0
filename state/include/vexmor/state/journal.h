// The decision journal "Vexmor.ini" and the other small state-file helpers every writer shares.
#pragma once

#include <string>
#include <string_view>

#include "vexmor/platform/profile.h"
#include "vexmor/platform/status.h"

namespace vexmor::state {

// Adds one entry to the journal in the install directory: "Count" n (default 0); above the
// limit the whole file is dropped and n taken as 0; then "Count" = n + 1 and "Info_<n+1>" =
// text. The three steps run under the file's lock, so concurrent writers never share a number.
// Returns the number of the new entry, or the reason it was not written.
StatusOr<int32_t> AppendJournal(platform::Profile& profile, std::string_view install_dir,
                                std::string_view text);

// The install directory as the hook library reads it from "Vexmor_Path.ini": "Path" read into
// a buffer of "Path_Len" characters (so a missing "Path_Len" gives an empty directory).
std::string ReadInstallDirectory(const platform::Profile& profile);

// Records "Path" and "Path_Len" (length + 1) for an install directory.
Status WriteInstallDirectory(platform::Profile& profile, std::string_view install_dir);

// "install_dir" + file name: the full name of a state file of the install directory.
std::string InstallFile(std::string_view install_dir, std::string_view file);

}  // namespace vexmor::state
