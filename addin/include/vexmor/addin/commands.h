// The add-in's user commands: Report Spam and Not Spam on the explorer's selection, Check for
// Spam over a folder on a thread of its own, and Empty for the spam folders. Report, Not Spam
// and Empty run on the client's main thread and block it until they finish.
#pragma once

#include <cstdint>
#include <string>

#include "vexmor/addin/com.h"

namespace vexmor::addin {

// What the commands work with, kept by the add-in object from its connection.
struct CommandContext {
  com::_Application* application = nullptr;  // not owned
  com::IExplorer* explorer = nullptr;        // not owned
  std::string outlook_version;
  uint64_t main_window = 0;
};

inline constexpr int32_t kMaxSelected = 100;
inline constexpr std::string_view kBoxCaption = "Vexmor";
// The class of the client's main window, which owns every box.
inline constexpr std::string_view kMainWindowClass = "rctrl_renwnd32";

// mode 0 Report Spam, 1 Not Spam.
void ReportSelection(const CommandContext& context, int mode);
// The last steps of Report Spam for one mail: post what the server should learn, then move the
// mail to "Spam_Posted" (unless it is there already).
void ReportOne(const CommandContext& context, com::IMailItem* item, std::string text);
// The last step of Not Spam: withdraw the link signature and move the mail back to the Inbox
// (unless it is there already).
void RestoreOne(bool in_place);
// Check for Spam on the folder named by its hexadecimal entry id; runs on the caller's thread.
void CheckFolder(const CommandContext& context, const std::string& folder_hex);
// The menu's Check command: starts CheckFolder on a thread of its own when the current folder
// holds mail; returns at once.
void StartCheck(const CommandContext& context);
void EmptySpamFolder(const CommandContext& context);

// The same steps for a mail a person moved by hand: into "Spam_Posted" (report) or out of
// "Spam" into the Inbox (not spam). Nothing is asked and the mail stays where it is.
void ReportMovedMail(const CommandContext& context, com::IMailItem* item);
void RestoreMovedMail(const CommandContext& context, com::IMailItem* item);

// Set while Report Spam or Not Spam runs; the F8 key is ignored meanwhile.
bool ReportRunning();

// A box owned by the client's main window with the caption "Vexmor"; the answer (cautious
// when nobody can be asked: No for a question).
platform::MessageBoxAnswer ShowBox(const CommandContext& context, const std::string& text,
                                   platform::MessageBoxButtons buttons,
                                   platform::MessageBoxIcon icon,
                                   std::string_view caption = kBoxCaption);

}  // namespace vexmor::addin
