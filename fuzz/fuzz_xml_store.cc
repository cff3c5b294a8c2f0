// The sender-list file: classification and index of any bytes, and for a valid file, a save
// that reads back with the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "xml_store.h"

namespace xml = vexmor::validate::xml;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto snapshot = xml::ParseSnapshot(bytes);
  if (snapshot == nullptr) std::abort();
  if (snapshot->state != xml::FileState::kValid) return 0;
  auto again = xml::ParseSnapshot(xml::Serialise(snapshot->doc));
  if (again == nullptr || again->state != xml::FileState::kValid) std::abort();
  if (again->index != snapshot->index) std::abort();
  return 0;
}
