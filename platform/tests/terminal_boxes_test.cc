// Message boxes on a terminal: what a typed answer, a closed input and --yes mean.
#include "vexmor/platform/terminal_boxes.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace vexmor::platform {
namespace {

StatusOr<MessageBoxAnswer> Ask(const std::string& typed, MessageBoxButtons buttons,
                               bool assume_yes = false, std::string* shown = nullptr) {
  FILE* in = std::tmpfile();
  std::fputs(typed.c_str(), in);
  std::rewind(in);
  char* text = nullptr;
  size_t size = 0;
  FILE* out = ::open_memstream(&text, &size);
  auto boxes = MakeTerminalMessageBoxes(in, out, assume_yes);
  auto answer =
      boxes->Show({kNoWindow, "Close it now?", "Vexmor", buttons, MessageBoxIcon::kQuestion});
  std::fclose(in);
  std::fclose(out);
  if (shown != nullptr) *shown = text;
  std::free(text);
  return answer;
}

TEST(TerminalBoxesTest, AnswersAsTypedAndTakesNoSilenceForYes) {
  std::string shown;
  EXPECT_EQ(*Ask("y\n", MessageBoxButtons::kYesNo, false, &shown), MessageBoxAnswer::kYes);
  EXPECT_EQ(shown, "Vexmor: Close it now?\n[y/N] ");
  EXPECT_EQ(*Ask("YES \n", MessageBoxButtons::kYesNo), MessageBoxAnswer::kYes);
  EXPECT_EQ(*Ask("\n", MessageBoxButtons::kYesNo), MessageBoxAnswer::kNo);
  EXPECT_EQ(*Ask("sure\n", MessageBoxButtons::kOkCancel), MessageBoxAnswer::kCancel);
  EXPECT_EQ(*Ask("ok\n", MessageBoxButtons::kOkCancel), MessageBoxAnswer::kOk);
  // The end of the input answers no question, but acknowledges a notice.
  EXPECT_EQ(Ask("", MessageBoxButtons::kYesNo).status().code(), StatusCode::kUnavailable);
  EXPECT_EQ(*Ask("", MessageBoxButtons::kOk), MessageBoxAnswer::kOk);
  // Scripts: yes without reading.
  EXPECT_EQ(*Ask("n\n", MessageBoxButtons::kYesNo, true, &shown), MessageBoxAnswer::kYes);
  EXPECT_EQ(shown, "Vexmor: Close it now?\n");
}

}  // namespace
}  // namespace vexmor::platform
