// The XML document the sender-list store and CXml work on: a plain tree of nodes, parsed from
// bytes and serialised to bytes by the platform's XML library (pugixml on Linux, the MSXML DOM
// on Windows; CMake links one adapter). Walking, reading and changing the tree is the same code
// everywhere; only the two ends differ.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

namespace vexmor::validate::xml {

enum class NodeKind {
  kDocument,     // the document itself: holds the top-level nodes
  kElement,      // name, attributes, children
  kText,         // value
  kCData,        // value
  kComment,      // value
  kPi,           // name (target), value (data)
  kDeclaration,  // the "<?xml ...?>" declaration: attributes
};

struct XmlAttribute {
  std::string name;
  std::string value;
};

// One node. Children live in a list, so a node keeps its address while nodes around it are
// added or removed (CXml hands such addresses out as CXmlNode). Texts are UTF-8.
struct XmlNode {
  NodeKind kind = NodeKind::kDocument;
  std::string name;
  std::string value;
  std::vector<XmlAttribute> attributes;
  std::list<XmlNode> children;

  // The first element child of a document (its root), or null.
  XmlNode* DocumentElement();
  const XmlNode* DocumentElement() const;
  // Appends a child and returns it.
  XmlNode& Append(NodeKind child_kind, std::string child_name, std::string child_value = {});
  // Removes the child at that address; false when it is not a child of this node.
  bool Remove(const XmlNode* child);
  // The value of an attribute, or null.
  const std::string* Attribute(std::string_view attribute_name) const;
  void SetAttribute(std::string_view attribute_name, std::string attribute_value);
  // Everything back to an empty document.
  void Clear();
};

// How deeply a document may nest. The lists need three levels; a deeper file is refused as
// damaged rather than walked, so no crafted file can exhaust the stack of a reader.
inline constexpr int kMaxDepth = 64;

struct ParseResult {
  bool ok = false;
  std::string description;  // what is wrong, when not ok
  int64_t offset = -1;      // byte at which the damage was found; -1 when the parser cannot say
  // When not ok: whether "document" holds what could be read before the damage (an entry cut
  // off by it dropped). Not every parser keeps anything.
  bool partial = false;
  // The parser itself could not be set up (a missing component): nothing is known about the
  // bytes, which must then never be taken for a damaged file.
  bool unavailable = false;
};

// --- The adapter: one implementation per platform ---

// Parses a whole document. Keeps the declaration, comments and processing instructions and
// drops white-space-only text, as the file's readers expect. "document" is cleared first.
ParseResult ParseDocument(std::string_view bytes, XmlNode* document);
// The whole document as it is written to disk, in UTF-8.
std::string SerialiseDocument(const XmlNode& document);
// Whether the store's cache may keep the file of a cached version open. Where an open file
// cannot be replaced by a rename, it must not.
bool HoldCachedFile();

// --- Shared by the adapters ---

// The nesting depth of a tree (a document with only top-level nodes has depth 1).
int Depth(const XmlNode& node);

}  // namespace vexmor::validate::xml
