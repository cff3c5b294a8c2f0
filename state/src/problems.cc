#include "vexmor/state/problems.h"

#include <ctime>

#include "vexmor/state/journal.h"

namespace vexmor::state {
namespace {

std::string UtcNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The text of a recorded value, without its time.
std::string_view TextOf(std::string_view value) {
  const size_t space = value.find(' ');
  return space == std::string_view::npos ? std::string_view() : value.substr(space + 1);
}

}  // namespace

bool RecordProblem(platform::Profile& profile, const std::string& install_dir,
                   std::string_view topic, std::string_view text) {
  if (install_dir.empty()) return false;
  bool fresh = false;
  (void)profile.Update(InstallFile(install_dir, kProblemsFile), [&](platform::IniDocument& doc) {
    auto old = doc.Find(kSectionProblems, topic);
    if (old && TextOf(*old) == text) return;
    fresh = true;
    doc.Write(kSectionProblems, topic, UtcNow() + " " + std::string(text));
  });
  return fresh;
}

void ClearProblem(platform::Profile& profile, const std::string& install_dir,
                  std::string_view topic) {
  if (install_dir.empty()) return;
  const std::string file = InstallFile(install_dir, kProblemsFile);
  if (profile.GetString(file, kSectionProblems, topic, "").empty()) return;
  (void)profile.DeleteKey(file, kSectionProblems, topic);
}

std::vector<std::pair<std::string, std::string>> ReadProblems(const platform::Profile& profile,
                                                              const std::string& install_dir) {
  std::vector<std::pair<std::string, std::string>> out;
  if (install_dir.empty()) return out;
  auto doc = profile.Read(InstallFile(install_dir, kProblemsFile));
  if (doc == nullptr) return out;
  for (const std::string& key : doc->Keys(kSectionProblems)) {
    if (auto value = doc->Find(kSectionProblems, key)) out.emplace_back(key, *value);
  }
  return out;
}

}  // namespace vexmor::state
