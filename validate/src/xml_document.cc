#include "xml_document.h"

#include <algorithm>
#include <utility>

namespace vexmor::validate::xml {

XmlNode* XmlNode::DocumentElement() {
  for (XmlNode& child : children) {
    if (child.kind == NodeKind::kElement) return &child;
  }
  return nullptr;
}

const XmlNode* XmlNode::DocumentElement() const {
  for (const XmlNode& child : children) {
    if (child.kind == NodeKind::kElement) return &child;
  }
  return nullptr;
}

XmlNode& XmlNode::Append(NodeKind child_kind, std::string child_name, std::string child_value) {
  XmlNode& child = children.emplace_back();
  child.kind = child_kind;
  child.name = std::move(child_name);
  child.value = std::move(child_value);
  return child;
}

bool XmlNode::Remove(const XmlNode* child) {
  for (auto it = children.begin(); it != children.end(); ++it) {
    if (&*it == child) {
      children.erase(it);
      return true;
    }
  }
  return false;
}

const std::string* XmlNode::Attribute(std::string_view attribute_name) const {
  for (const XmlAttribute& attribute : attributes) {
    if (attribute.name == attribute_name) return &attribute.value;
  }
  return nullptr;
}

void XmlNode::SetAttribute(std::string_view attribute_name, std::string attribute_value) {
  for (XmlAttribute& attribute : attributes) {
    if (attribute.name == attribute_name) {
      attribute.value = std::move(attribute_value);
      return;
    }
  }
  attributes.push_back({std::string(attribute_name), std::move(attribute_value)});
}

void XmlNode::Clear() {
  kind = NodeKind::kDocument;
  name.clear();
  value.clear();
  attributes.clear();
  children.clear();
}

int Depth(const XmlNode& node) {
  int deepest = 0;
  for (const XmlNode& child : node.children) deepest = std::max(deepest, Depth(child));
  return node.children.empty() ? 0 : deepest + 1;
}

}  // namespace vexmor::validate::xml
