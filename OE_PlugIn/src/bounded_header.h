// The header of a large message, read in pieces so that its size never decides the memory the
// host needs: the first bytes of it as they are stored and, from wherever they stand, the
// fields that name the sender. A sender cannot hide behind a long header.
#pragma once

#include <cstddef>
#include <string>

#include "vexmor/platform/mail_store.h"
#include "vexmor/platform/status.h"

namespace vexmor::plugin {

// At most this many bytes of one sender field are kept; a longer one is cut.
inline constexpr size_t kMaxSenderFieldBytes = 16384;

// The header of the message in "source", ending with its blank line: its whole lines up to
// "keep" bytes, followed by the first "From:" and "Return-Path:" fields when they lie beyond
// those. The source is read to the end of the header, never further.
StatusOr<std::string> ReadBoundedHeader(platform::MessageSource& source, size_t keep);

}  // namespace vexmor::plugin
