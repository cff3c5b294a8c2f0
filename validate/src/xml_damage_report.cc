#include "xml_damage_report.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "vexmor/log/write_log.h"
#include "vexmor/state/problems.h"
#include "wiring.h"

namespace vexmor::validate::xml {
namespace {

std::mutex g_mutex;
// The problem this process told last, per install directory; a look-up runs for every
// message, so only a change is written.
std::map<std::string, std::string>& Told() {
  static auto* told = new std::map<std::string, std::string>();  // never destroyed: no exit races
  return *told;
}

size_t Entries(const Snapshot& readable) {
  size_t n = 0;
  for (const auto& [element, values] : readable.index) n += values.size();
  return n;
}

}  // namespace

void TellDamage(const std::string& install_dir, const Snapshot& current) {
  std::string text = "The sender list file cannot be used (" + current.problem + "); ";
  if (current.readable != nullptr) {
    text += "senders are judged by the " + std::to_string(Entries(*current.readable)) +
            " entries that can still be read until it is mended.";
  } else {
    text += "no approved or blocked sender is known until it is mended.";
  }
  std::lock_guard<std::mutex> guard(g_mutex);
  std::string& told = Told()[install_dir];
  if (told == text) return;
  told = text;
  std::fprintf(stderr, "Vexmor: %s\n", text.c_str());
  if (install_dir.empty()) return;
  try {
    if (state::RecordProblem(LibraryProfile(), install_dir, state::kProblemSenderLists, text)) {
      log::WriteLog("[F] " + text + "\n", install_dir);
    }
  } catch (...) {
    // The report is a diagnostic; the look-up goes on without it.
  }
}

void TellMended(const std::string& install_dir) {
  std::lock_guard<std::mutex> guard(g_mutex);
  auto& told = Told();
  auto it = told.find(install_dir);
  // Known to be mended already; a process's first look also clears what an earlier one left.
  if (it != told.end() && it->second.empty()) return;
  told[install_dir].clear();
  if (install_dir.empty()) return;
  try {
    state::ClearProblem(LibraryProfile(), install_dir, state::kProblemSenderLists);
  } catch (...) {
    // As above.
  }
}

}  // namespace vexmor::validate::xml
