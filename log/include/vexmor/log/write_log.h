// The activity log writer every deliverable carries: one entry per call, appended to a file
// that stays closed between entries (other processes append to it and delete it).
//
// Entry: "Information: " + stamp + ": \t" + message + "\n", where the stamp is the local time
// as "MM-DD-YYYY\tH:M:S" (only month and day get a leading zero). The message is written
// unchanged up to its first zero byte (the entry is one "%s" print of a zero-terminated text).
// Every failure is swallowed: the entry is dropped and the caller goes on.
//
// Every file written here is bounded: an entry that would take it past the size limit first
// renames it to "<name>.1" (the older ".1" goes) and starts it again. Lines are never cut.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "vexmor/platform/clock.h"

namespace vexmor::log {

inline constexpr std::string_view kOeLogFile = "Vexmor_OE_Log.txt";
inline constexpr std::string_view kOutlookLogFile = "Vexmor_Outlook_Log.txt";

// 10 MB unless $VEXMOR_LOG_MAX_BYTES says otherwise when the first entry is written.
inline constexpr uint64_t kDefaultSizeLimit = 10 * 1024 * 1024;
// The limit for the rest of the process (0: the default again).
void SetSizeLimit(uint64_t bytes);
uint64_t SizeLimit();

// "03-07-2006\t9:5:7" for 7 March 2006, 09:05:07.
std::string TimeStamp(const std::tm& local);
// The whole entry line for a stamp and a message.
std::string FormatEntry(std::string_view stamp, std::string_view message);

// Appends one entry to the file at "path" (created when missing), stamped with the clock's
// local time. The entry goes out in one append, and a process-wide lock keeps the threads of
// one process from interleaving.
void AppendEntry(const std::string& path, std::string_view message,
                 const platform::Clock& clock = platform::SystemClock());
// Appends a line as given (the store access's "%d\t%d\t%s\n" folder lines).
void AppendRaw(const std::string& path, std::string_view line);

// Begins a new run's log: the file at "path" becomes "<path>.1" (the older ".1" goes), so the
// last run stays readable beside the new one. A missing file is no error; failures are
// swallowed (the new entries then follow the old ones).
void StartNewRun(const std::string& path);

// The hook library's form: "Vexmor_OE_Log.txt" in "folder" (folder + file name, plainly joined).
void WriteLog(std::string_view message, std::string_view folder,
              const platform::Clock& clock = platform::SystemClock());

// The add-in's form. With set_path true, "text" is the full path of the log file, kept for the
// life of the process (any length), and nothing is written. With set_path false, "text" is the
// message and the entry goes to the kept path; before a path was set the entry is dropped.
// Thread-safe.
void WriteAddinLog(std::string_view text, bool set_path,
                   const platform::Clock& clock = platform::SystemClock());

}  // namespace vexmor::log
