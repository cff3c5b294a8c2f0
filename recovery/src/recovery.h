// The recovery tool's work: find the product's entries among the add-ins the account client
// disabled after a crash, and delete them so that the client loads the add-in again.
#pragma once

#include <string>
#include <string_view>

#include "vexmor/platform/desktop.h"
#include "vexmor/platform/registry.h"

namespace vexmor::recovery {

// The client versions' DisabledItems keys, newest first: the first that exists is the one.
inline constexpr std::string_view kDisabledItemsKeys[] = {
    "Software\\Microsoft\\Office\\11.0\\Outlook\\Resiliency\\DisabledItems",
    "Software\\Microsoft\\Office\\10.0\\Outlook\\Resiliency\\DisabledItems",
    "Software\\Microsoft\\Office\\9.0\\Outlook\\Resiliency\\DisabledItems",
};

inline constexpr char kStartText[] = "Vexmor is checking for the errors...";
inline constexpr char kEnabledText[] = "Vexmor enabled successfully.";
inline constexpr char kNothingText[] =
    "Vexmor couldn't find any errors in your Microsoft Office Outlook.";

// The record with the bytes 0, 1 and 24 dropped and lower-cased: UTF-16 text of Latin letters
// comes out as plain text.
std::string MatchText(std::string_view data);

struct RecoveryResult {
  std::string key;  // the key examined; empty when none exists
  int deleted = 0;  // entries deleted
};

// Shows the start box, deletes every entry of the first existing key whose record names the
// product, and shows the closing box. After a deletion the same position is examined again, as
// the values behind it move up, so one run enables every disabled entry.
RecoveryResult Recover(platform::Registry& registry, platform::MessageBoxes& boxes);

}  // namespace vexmor::recovery
