// The XML document on pugixml (Linux).
#include <sstream>

#include <pugixml.hpp>

#include "xml_document.h"

namespace vexmor::validate::xml {
namespace {

unsigned int ParseFlags() {
  // parse_fragment keeps stray text at the top level, so the store can refuse it.
  return pugi::parse_default | pugi::parse_declaration | pugi::parse_pi | pugi::parse_comments |
         pugi::parse_fragment;
}

// Walked without recursion: a damaged or hostile file may nest arbitrarily deep.
bool DeeperThan(const pugi::xml_document& doc, int most) {
  int depth = 0;
  for (pugi::xml_node node = doc.first_child(); node;) {
    if (node.first_child()) {
      node = node.first_child();
      if (++depth >= most) return true;
      continue;
    }
    while (node && node != doc && !node.next_sibling()) {
      node = node.parent();
      --depth;
    }
    if (!node || node == doc) break;
    node = node.next_sibling();
  }
  return false;
}

// Depth is bounded by the caller, so recursion is safe here.
void CopyChildren(pugi::xml_node from, XmlNode* to) {
  for (pugi::xml_node node : from.children()) {
    switch (node.type()) {
      case pugi::node_element: {
        XmlNode& element = to->Append(NodeKind::kElement, node.name());
        for (pugi::xml_attribute attribute : node.attributes()) {
          element.attributes.push_back({attribute.name(), attribute.value()});
        }
        CopyChildren(node, &element);
        break;
      }
      case pugi::node_pcdata:
        to->Append(NodeKind::kText, {}, node.value());
        break;
      case pugi::node_cdata:
        to->Append(NodeKind::kCData, {}, node.value());
        break;
      case pugi::node_comment:
        to->Append(NodeKind::kComment, {}, node.value());
        break;
      case pugi::node_pi:
        to->Append(NodeKind::kPi, node.name(), node.value());
        break;
      case pugi::node_declaration: {
        XmlNode& declaration = to->Append(NodeKind::kDeclaration, "xml");
        for (pugi::xml_attribute attribute : node.attributes()) {
          declaration.attributes.push_back({attribute.name(), attribute.value()});
        }
        break;
      }
      default:
        break;  // document type declarations are not parsed
    }
  }
}

void BuildChildren(const XmlNode& from, pugi::xml_node to) {
  for (const XmlNode& node : from.children) {
    switch (node.kind) {
      case NodeKind::kElement: {
        pugi::xml_node element = to.append_child(node.name.c_str());
        for (const XmlAttribute& attribute : node.attributes) {
          element.append_attribute(attribute.name.c_str()) = attribute.value.c_str();
        }
        BuildChildren(node, element);
        break;
      }
      case NodeKind::kText:
        to.append_child(pugi::node_pcdata).set_value(node.value.c_str());
        break;
      case NodeKind::kCData:
        to.append_child(pugi::node_cdata).set_value(node.value.c_str());
        break;
      case NodeKind::kComment:
        to.append_child(pugi::node_comment).set_value(node.value.c_str());
        break;
      case NodeKind::kPi: {
        pugi::xml_node pi = to.append_child(pugi::node_pi);
        pi.set_name(node.name.c_str());
        pi.set_value(node.value.c_str());
        break;
      }
      case NodeKind::kDeclaration: {
        pugi::xml_node declaration = to.append_child(pugi::node_declaration);
        for (const XmlAttribute& attribute : node.attributes) {
          declaration.append_attribute(attribute.name.c_str()) = attribute.value.c_str();
        }
        break;
      }
      case NodeKind::kDocument:
        break;
    }
  }
}

}  // namespace

ParseResult ParseDocument(std::string_view bytes, XmlNode* document) {
  document->Clear();
  ParseResult result;
  pugi::xml_document doc;
  // load_buffer copies the bytes; the document never points into them.
  const pugi::xml_parse_result parsed =
      doc.load_buffer(bytes.data(), bytes.size(), ParseFlags(), pugi::encoding_auto);
  if (DeeperThan(doc, kMaxDepth)) {
    result.description = "nested more than " + std::to_string(kMaxDepth) + " levels deep";
    return result;
  }
  if (!parsed) {
    result.description = parsed.description();
    result.offset = parsed.offset;
    // The parser keeps the nodes it read before the damage. Of an entry cut off by the damage
    // only its start was read: it does not count.
    pugi::xml_node root = doc.document_element();
    if (root) {
      pugi::xml_node last = root.last_child();
      while (last && last.type() != pugi::node_element) last = last.previous_sibling();
      if (last) {
        const ptrdiff_t at = last.offset_debug();
        const std::string close = std::string("</") + last.name() + ">";
        if (at < 0 || bytes.find(close, static_cast<size_t>(at)) == std::string_view::npos) {
          root.remove_child(last);
        }
      }
    }
    CopyChildren(doc, document);
    result.partial = true;
    return result;
  }
  CopyChildren(doc, document);
  result.ok = true;
  return result;
}

std::string SerialiseDocument(const XmlNode& document) {
  pugi::xml_document doc;
  BuildChildren(document, doc);
  std::ostringstream out;
  doc.save(out, "\t", pugi::format_indent | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

bool HoldCachedFile() {
  // Linux renames over open files; holding the cached version keeps its inode number from
  // being reused by a later file.
  return true;
}

}  // namespace vexmor::validate::xml
