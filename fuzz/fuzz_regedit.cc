// The REGEDIT4 parser: what it accepts, it writes back in a form that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "registry_tree.h"

using vexmor::platform::registry_internal::RegistryTree;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto tree = RegistryTree::Parse(text);
  if (!tree.ok()) return 0;
  std::string written = tree->Serialize();
  auto again = RegistryTree::Parse(written);
  if (!again.ok()) std::abort();  // our own output must read back
  if (again->Serialize() != written) std::abort();
  return 0;
}
