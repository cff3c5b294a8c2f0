// The message the add-in is judging, kept in a small file while it does: a message whose
// judging ended the host twice (it ran out of memory, or crashed) is passed over at the next
// start instead of ending every start after it.
#pragma once

#include <string>

#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/posix.h"

namespace vexmor::addin_host {

inline constexpr std::string_view kJudgingFile = "Vexmor_AddinHost_Judging.txt";

class JudgingRecord {
 public:
  // Reads what the last process left in "path": the message it was judging when it ended.
  explicit JudgingRecord(std::string path);

  // Whether judging "message" has already ended the host twice.
  bool FailedTwice(const platform::EntryId& message) const;
  // Records "message" as being judged, with one more try when the last process ended on it.
  void Begin(const platform::EntryId& message);
  // The message came back judged.
  void End();

 private:
  void Write(const std::string& text);
  // Writes "text" over the file through the descriptor kept open since the first write.
  Status Rewrite(std::string_view text);

  std::string path_;
  // Kept open: two records a message would otherwise cost an open, checks and a close each.
  platform::UniqueFd fd_;
  size_t size_ = 0;         // the kept file's length after the last write
  platform::EntryId left_;  // the message the last process ended on
  int left_tries_ = 0;
};

}  // namespace vexmor::addin_host
