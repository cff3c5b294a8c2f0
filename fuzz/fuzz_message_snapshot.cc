// The texts of an RFC 822 message as the host program reads them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "vexmor/platform/message_snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  auto snapshot = vexmor::platform::ReadMessageSnapshot(raw);
  if (snapshot.ok() && snapshot->kind == vexmor::platform::BodyKind::kNone &&
      !snapshot->body.empty()) {
    std::abort();  // a body without a kind would be handed on as no text
  }
  return 0;
}
