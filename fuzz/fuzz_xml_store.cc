// The sender-list file: classification and index of any bytes, and for a valid file, a save
// that reads back with the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "xml_store.h"

namespace xml = vexmor::validate::xml;

namespace {

// A comment holding "--" or ending in "-", or an instruction holding "?>", cannot be written
// back as it was read: the writer must split the sequence with a space to stay well-formed. An
// entry whose text comes from such a node legitimately reads back slightly different.
bool HasUnwritableMarkup(const xml::XmlNode& node) {
  // The parser bounds the depth, so recursion is safe.
  for (const xml::XmlNode& child : node.children) {
    std::string_view value = child.value;
    if (child.kind == xml::NodeKind::kComment &&
        (value.find("--") != std::string_view::npos || value.ends_with('-'))) {
      return true;
    }
    if (child.kind == xml::NodeKind::kPi && value.find("?>") != std::string_view::npos) return true;
    if (HasUnwritableMarkup(child)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto snapshot = xml::ParseSnapshot(bytes);
  if (snapshot == nullptr) std::abort();
  if (snapshot->state != xml::FileState::kValid) return 0;
  auto again = xml::ParseSnapshot(xml::Serialise(snapshot->doc));
  if (again == nullptr || again->state != xml::FileState::kValid) std::abort();
  if (again->index != snapshot->index && !HasUnwritableMarkup(snapshot->doc)) std::abort();
  return 0;
}
