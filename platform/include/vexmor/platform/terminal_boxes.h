// Message boxes on a terminal, for programs run without a display or from scripts.
#pragma once

#include <cstdio>
#include <memory>

#include "vexmor/platform/desktop.h"

namespace vexmor::platform {

// Writes each box's caption and text to "out" and reads the answer as a line from "in": Enter
// acknowledges an OK box, "y"/"yes" and "o"/"ok" accept a question, anything else declines.
// With assume_yes nothing is read and every box is answered OK or Yes, for scripts. A question
// met by the end of the input is Unavailable, so the caller takes the cautious choice; an OK
// box needs no answer. The streams are not owned.
std::unique_ptr<MessageBoxes> MakeTerminalMessageBoxes(std::FILE* in, std::FILE* out,
                                                       bool assume_yes);

// Boxes on the display when one opens, else on the terminal: the first adapter's Unavailable
// hands the box to the second. Neither is owned.
std::unique_ptr<MessageBoxes> MakeFallbackMessageBoxes(MessageBoxes& first, MessageBoxes& second);

}  // namespace vexmor::platform
