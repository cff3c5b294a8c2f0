#include "host_health.h"

#include <array>
#include <cstdlib>

#include "vexmor/state/journal.h"
#include "vexmor/state/problems.h"
#include "vexmor/state/state_files.h"

namespace vexmor::plugin {
namespace {

namespace sf = vexmor::state;

// The keys of section "Vexmor" that filtering depends on.
constexpr std::array<std::string_view, 5> kKeptKeys = {
    sf::kKeyPath, sf::kKeyPathLen, sf::kKeyStarted, sf::kKeyReceiveMsgStart, sf::kKeyRulesCreated};

}  // namespace

void ProblemReporter::Tell(std::string_view topic, const std::string& text) {
  auto told = told_.find(topic);
  if (told != told_.end() && told->second == text) return;
  told_[std::string(topic)] = text;
  (void)sf::RecordProblem(profile_, install_dir_, topic, text);
  if (log_) log_("[F] " + text + "\n");
  if (diagnostics_) diagnostics_(text);
}

void ProblemReporter::Clear(std::string_view topic) {
  if (auto told = told_.find(topic); told != told_.end()) told_.erase(told);
  sf::ClearProblem(profile_, install_dir_, topic);
}

std::string PathFileWatch::Check(const std::string& known_install_dir) {
  const std::string install_dir = sf::ReadInstallDirectory(profile_);
  if (!install_dir.empty()) {
    for (std::string_view key : kKeptKeys) {
      const std::string value = profile_.GetString(sf::kPathFile, sf::kSectionVexmor, key, "\x01");
      if (value != "\x01") remembered_[std::string(key)] = value;
    }
    return {};
  }
  std::map<std::string, std::string> restore = remembered_;
  if (restore.find(std::string(sf::kKeyPath)) == restore.end()) {
    if (known_install_dir.empty()) return {};
    restore[std::string(sf::kKeyPath)] = known_install_dir;
    restore[std::string(sf::kKeyPathLen)] = std::to_string(known_install_dir.size() + 1);
  }
  std::string written;
  Status s = profile_.Update(sf::kPathFile, [&](platform::IniDocument& doc) {
    written.clear();
    for (const auto& [key, value] : restore) {
      const auto now = doc.Find(sf::kSectionVexmor, key);
      // A key someone wrote since is theirs; only what is gone, or an empty install
      // directory, is written back.
      const bool lost = !now || (key == sf::kKeyPath && now->empty()) ||
                        (key == sf::kKeyPathLen && std::atoi(now->c_str()) <= 0);
      if (!lost) continue;
      doc.Write(sf::kSectionVexmor, key, value);
      written += (written.empty() ? "" : ", ") + key + "=" + value;
    }
  });
  if (!s.ok()) {
    return std::string(sf::kPathFile) + " has lost the install directory and could not be " +
           "written again (" + s.message() + "): incoming mail is not judged until it is mended.";
  }
  if (written.empty()) return {};
  return std::string(sf::kPathFile) + " had lost the install directory; the host wrote back " +
         "what it knew (" + written + ") and filtering goes on.";
}

}  // namespace vexmor::plugin
