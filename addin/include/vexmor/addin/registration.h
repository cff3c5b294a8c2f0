// The add-in's registration in the current user's registry, and what the hosting client reads
// back from it. Class keys live under "Software\\Classes" (the per-user class root).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vexmor/addin/com.h"
#include "vexmor/platform/registry.h"
#include "vexmor/platform/status.h"
#include "vexmor/state/extension_config.h"

namespace vexmor::addin {

// The add-in library's file name.
inline constexpr std::string_view kAddinLibraryFileName = "libVexmor_Addin.so";
inline constexpr std::string_view kProgId = "Vexmor.OutLookPlugin";
inline constexpr std::string_view kProgIdVersioned = "Vexmor.OutLookPlugin.1";
inline constexpr std::string_view kClassesKey = "Software\\Classes";
inline constexpr std::string_view kAddinsKey = "Software\\Microsoft\\Office\\Outlook\\Addins";
inline constexpr std::string_view kResiliencyKey =
    "Software\\Microsoft\\Office\\11.0\\Outlook\\Resiliency";
inline constexpr std::string_view kDisabledItemsKey =
    "Software\\Microsoft\\Office\\11.0\\Outlook\\Resiliency\\DisabledItems";
inline constexpr std::string_view kStartupItemsKey =
    "Software\\Microsoft\\Office\\11.0\\Outlook\\Resiliency\\StartupItems";
inline constexpr uint32_t kLoadAtStartup = 3;

// Writes every key and value of the registration, "library" as the in-process server.
com::HRESULT RegisterAddin(platform::Registry& registry, const std::string& library);
// Removes them; keys already gone are no error.
com::HRESULT UnregisterAddin(platform::Registry& registry);

// An add-in the client is to load at start-up.
struct RegisteredAddin {
  std::string prog_id;
  com::CLSID clsid{};
  std::string library;  // the in-process server's path
};
// The registered add-ins whose LoadBehavior asks for loading at start-up and whose class has
// an in-process server; entries that do not resolve are left out.
std::vector<RegisteredAddin> StartupAddins(const platform::Registry& registry);

// The record a crash leaves under DisabledItems: a small header and the library's path and
// the add-in's name in UTF-16.
std::string DisabledItemRecord(std::string_view library, std::string_view name);
// True when a DisabledItems record names this library (bytes 0, 1 and 24 dropped, letter case
// ignored, as the recovery tool matches).
bool RecordNamesLibrary(std::string_view record, std::string_view library);

}  // namespace vexmor::addin

namespace vexmor::addin {

// The extension configuration file of the client's "Addins" folder.
inline constexpr std::string_view kEcfFile = "Vexmor.ECF";
// Its text for the extension in "library": the set-up's text.
using state::EcfText;
// The library its "Path=" line names, without the quotes; empty when there is none.
std::string EcfLibrary(std::string_view text);

}  // namespace vexmor::addin
