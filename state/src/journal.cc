#include "vexmor/state/journal.h"

#include "vexmor/state/state_files.h"

namespace vexmor::state {

std::string InstallFile(std::string_view install_dir, std::string_view file) {
  std::string path(install_dir);
  path += file;
  return path;
}

StatusOr<int32_t> AppendJournal(platform::Profile& profile, std::string_view install_dir,
                                std::string_view text) {
  int32_t entry = 0;
  // The journal is read only by its writers, under its lock.
  Status written = profile.UpdateForLockedReaders(
      InstallFile(install_dir, kJournalFile), [&](platform::IniDocument& doc) {
        std::optional<std::string> count = doc.Find(kSectionMessage, kKeyCount);
        int32_t n = count ? platform::ParseProfileInt(*count, 0) : 0;
        if (n > kJournalMaxEntries) {
          doc.Clear();
          n = 0;
        }
        entry = n + 1;
        doc.Write(kSectionMessage, kKeyCount, std::to_string(entry));
        doc.Write(kSectionMessage, InfoKey(entry), text);
      });
  if (!written.ok()) return written;
  return entry;
}

std::string ReadInstallDirectory(const platform::Profile& profile) {
  int32_t capacity = profile.GetInt(kPathFile, kSectionVexmor, kKeyPathLen, 0);
  if (capacity <= 0) return {};
  return profile.GetString(kPathFile, kSectionVexmor, kKeyPath, "", static_cast<size_t>(capacity));
}

Status WriteInstallDirectory(platform::Profile& profile, std::string_view install_dir) {
  return profile.Update(kPathFile, [&](platform::IniDocument& doc) {
    doc.Write(kSectionVexmor, kKeyPath, install_dir);
    doc.Write(kSectionVexmor, kKeyPathLen, std::to_string(install_dir.size() + 1));
  });
}

}  // namespace vexmor::state
