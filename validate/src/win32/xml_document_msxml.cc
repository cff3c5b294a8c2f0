// The XML document on the MSXML 6 DOM (Windows). The DOM parses; the document is written by
// this adapter, since the DOM's own text form differs between MSXML builds (some indent it).
// MSXML keeps nothing of a document it could not parse, so a damaged file yields no partial
// tree here: the store keeps the damaged file aside and starts anew, as it does on Linux, but
// without the entries that stood before the damage.
#include <winsock2.h>

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <msxml2.h>

#include <cstring>
#include <string>
#include <vector>

#include "../xml_document.h"

namespace vexmor::validate::xml {
namespace {

// mingw's uuid library lacks this interface's id.
const IID kIidDomDocument2 = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (p_ != nullptr) p_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T** Out() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
    return &p_;
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text) : b_(::SysAllocStringLen(text.data(), text.size())) {}
  ~Bstr() { ::SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* Out() {
    ::SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  BSTR get() const { return b_; }

 private:
  BSTR b_ = nullptr;
};

std::string Utf8(const wchar_t* text, size_t length) {
  if (text == nullptr || length == 0) return {};
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                   nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr,
                          nullptr);
  }
  return out;
}

std::string Utf8(BSTR text) {
  return Utf8(text, text == nullptr ? 0 : ::SysStringLen(text));
}

// COM for the calling thread, for the length of one parse. A thread that already chose
// another apartment keeps it: the DOM document works in either.
class ComScope {
 public:
  ComScope() : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT hr_;
};

std::string NodeName(IXMLDOMNode* node) {
  Bstr name;
  if (FAILED(node->get_nodeName(name.Out()))) return {};
  return Utf8(name.get());
}

std::string NodeValue(IXMLDOMNode* node) {
  VARIANT value;
  ::VariantInit(&value);
  std::string out;
  if (SUCCEEDED(node->get_nodeValue(&value)) && value.vt == VT_BSTR) out = Utf8(value.bstrVal);
  ::VariantClear(&value);
  return out;
}

bool IsSpaceOnly(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// The pseudo-attributes of a declaration's data: version="1.0" encoding='UTF-8' ...
std::vector<XmlAttribute> DeclarationAttributes(const std::string& data) {
  std::vector<XmlAttribute> out;
  size_t at = 0;
  while (at < data.size()) {
    size_t equals = data.find('=', at);
    if (equals == std::string::npos) break;
    size_t name_start = data.find_first_not_of(" \t\r\n", at);
    size_t name_end = data.find_last_not_of(" \t\r\n", equals - 1);
    size_t quote = data.find_first_of("\"'", equals + 1);
    if (quote == std::string::npos || name_start >= equals) break;
    size_t close = data.find(data[quote], quote + 1);
    if (close == std::string::npos) break;
    out.push_back({data.substr(name_start, name_end - name_start + 1),
                   data.substr(quote + 1, close - quote - 1)});
    at = close + 1;
  }
  return out;
}

// Copies the children of "from" into "to"; false when the tree nests too deeply.
bool CopyChildren(IXMLDOMNode* from, XmlNode* to, int depth) {
  if (depth > kMaxDepth) return false;
  ComRef<IXMLDOMNode> node;
  if (FAILED(from->get_firstChild(node.Out()))) return true;
  while (node) {
    DOMNodeType type = NODE_INVALID;
    (void)node->get_nodeType(&type);
    switch (type) {
      case NODE_ELEMENT: {
        XmlNode& element = to->Append(NodeKind::kElement, NodeName(node.get()));
        ComRef<IXMLDOMNamedNodeMap> attributes;
        long count = 0;  // NOLINT(runtime/int): the interface's type
        if (SUCCEEDED(node->get_attributes(attributes.Out())) && attributes &&
            SUCCEEDED(attributes->get_length(&count))) {
          for (long i = 0; i < count; ++i) {  // NOLINT(runtime/int)
            ComRef<IXMLDOMNode> attribute;
            if (FAILED(attributes->get_item(i, attribute.Out())) || !attribute) continue;
            element.attributes.push_back({NodeName(attribute.get()), NodeValue(attribute.get())});
          }
        }
        if (!CopyChildren(node.get(), &element, depth + 1)) return false;
        break;
      }
      case NODE_TEXT: {
        std::string text = NodeValue(node.get());
        if (!IsSpaceOnly(text)) to->Append(NodeKind::kText, {}, std::move(text));
        break;
      }
      case NODE_CDATA_SECTION:
        to->Append(NodeKind::kCData, {}, NodeValue(node.get()));
        break;
      case NODE_COMMENT:
        to->Append(NodeKind::kComment, {}, NodeValue(node.get()));
        break;
      case NODE_PROCESSING_INSTRUCTION: {
        std::string target = NodeName(node.get());
        if (target == "xml" && to->kind == NodeKind::kDocument) {
          to->Append(NodeKind::kDeclaration, "xml").attributes =
              DeclarationAttributes(NodeValue(node.get()));
        } else {
          to->Append(NodeKind::kPi, std::move(target), NodeValue(node.get()));
        }
        break;
      }
      default:
        break;  // document types, entity references: not part of the lists
    }
    ComRef<IXMLDOMNode> next;
    if (FAILED(node->get_nextSibling(next.Out()))) break;
    IXMLDOMNode* raw = next.get();
    if (raw != nullptr) raw->AddRef();
    *node.Out() = raw;
  }
  return true;
}

std::string ParseErrorText(IXMLDOMDocument* doc, int64_t* offset) {
  ComRef<IXMLDOMParseError> error;
  if (FAILED(doc->get_parseError(error.Out())) || !error) return "the document cannot be parsed";
  Bstr reason;
  long line = 0, column = 0, position = 0;  // NOLINT(runtime/int): the interface's type
  (void)error->get_reason(reason.Out());
  (void)error->get_line(&line);
  (void)error->get_linepos(&column);
  (void)error->get_filepos(&position);
  std::string text = Utf8(reason.get());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) text = "the document cannot be parsed";
  if (line > 0) text += ", line " + std::to_string(line) + " column " + std::to_string(column);
  // Some builds report no position at all (0): then the place is not known.
  if (position > 0) *offset = position;
  return text;
}

void AppendEscaped(std::string* out, const std::string& text, bool attribute) {
  for (char c : text) {
    switch (c) {
      case '&':
        *out += "&amp;";
        break;
      case '<':
        *out += "&lt;";
        break;
      case '>':
        *out += "&gt;";
        break;
      case '"':
        *out += attribute ? "&quot;" : "\"";
        break;
      case '\r':
        *out += "&#13;";
        break;
      case '\n':
        *out += attribute ? "&#10;" : "\n";
        break;
      case '\t':
        *out += attribute ? "&#9;" : "\t";
        break;
      default:
        *out += c;
    }
  }
}

// A text that must not hold "seq" (a comment's "--", an instruction's "?>") gets a space
// inside every occurrence, as the text could not be written back otherwise.
std::string Split(std::string text, const std::string& seq) {
  for (size_t at = text.find(seq); at != std::string::npos; at = text.find(seq, at + 2)) {
    text.insert(at + 1, " ");
  }
  return text;
}

void Write(const XmlNode& node, std::string* out) {
  switch (node.kind) {
    case NodeKind::kDocument:
      for (const XmlNode& child : node.children) {
        Write(child, out);
        *out += "\n";
      }
      break;
    case NodeKind::kElement:
      *out += "<" + node.name;
      for (const XmlAttribute& attribute : node.attributes) {
        *out += " " + attribute.name + "=\"";
        AppendEscaped(out, attribute.value, true);
        *out += "\"";
      }
      if (node.children.empty()) {
        *out += "/>";
        break;
      }
      *out += ">";
      for (const XmlNode& child : node.children) Write(child, out);
      *out += "</" + node.name + ">";
      break;
    case NodeKind::kText:
      AppendEscaped(out, node.value, false);
      break;
    case NodeKind::kCData: {
      std::string text = node.value;
      for (size_t at = text.find("]]>"); at != std::string::npos; at = text.find("]]>", at + 15)) {
        text.replace(at, 3, "]]]]><![CDATA[>");
      }
      *out += "<![CDATA[" + text + "]]>";
      break;
    }
    case NodeKind::kComment: {
      std::string text = Split(node.value, "--");
      if (!text.empty() && text.back() == '-') text += " ";
      *out += "<!--" + text + "-->";
      break;
    }
    case NodeKind::kPi:
      *out += "<?" + node.name;
      if (!node.value.empty()) *out += " " + Split(node.value, "?>");
      *out += "?>";
      break;
    case NodeKind::kDeclaration:
      *out += "<?xml";
      for (const XmlAttribute& attribute : node.attributes) {
        *out += " " + attribute.name + "=\"";
        AppendEscaped(out, attribute.value, true);
        *out += "\"";
      }
      *out += "?>";
      break;
  }
}

}  // namespace

ParseResult ParseDocument(std::string_view bytes, XmlNode* document) {
  document->Clear();
  ParseResult result;
  ComScope com;
  CLSID clsid{};
  ComRef<IXMLDOMDocument> doc;
  if (FAILED(::CLSIDFromProgID(L"Msxml2.DOMDocument.6.0", &clsid)) ||
      FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                reinterpret_cast<void**>(doc.Out()))) ||
      !doc) {
    result.description = "the MSXML 6 DOM document cannot be created";
    result.unavailable = true;
    return result;
  }
  (void)doc->put_async(VARIANT_FALSE);
  (void)doc->put_validateOnParse(VARIANT_FALSE);
  (void)doc->put_resolveExternals(VARIANT_FALSE);
  (void)doc->put_preserveWhiteSpace(VARIANT_FALSE);
  ComRef<IXMLDOMDocument2> doc2;
  if (SUCCEEDED(doc->QueryInterface(kIidDomDocument2, reinterpret_cast<void**>(doc2.Out())))) {
    // No document type, so no entity of a hostile file is ever expanded.
    VARIANT yes;
    ::VariantInit(&yes);
    yes.vt = VT_BOOL;
    yes.boolVal = VARIANT_TRUE;
    Bstr name(L"ProhibitDTD");
    (void)doc2->setProperty(name.get(), yes);
  }

  // The bytes as they are, so the DOM reads the encoding the file declares.
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (array == nullptr) {
    result.description = "out of memory";
    result.unavailable = true;
    return result;
  }
  void* data = nullptr;
  if (SUCCEEDED(::SafeArrayAccessData(array, &data))) {
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    ::SafeArrayUnaccessData(array);
  }
  VARIANT source;
  ::VariantInit(&source);
  source.vt = VT_ARRAY | VT_UI1;
  source.parray = array;
  VARIANT_BOOL loaded = VARIANT_FALSE;
  HRESULT hr = doc->load(source, &loaded);
  ::VariantClear(&source);
  if (FAILED(hr) || loaded != VARIANT_TRUE) {
    result.description = ParseErrorText(doc.get(), &result.offset);
    return result;
  }
  ComRef<IXMLDOMNode> root;
  if (FAILED(doc->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(root.Out()))) ||
      !CopyChildren(root.get(), document, 1)) {
    document->Clear();
    result.description = "nested more than " + std::to_string(kMaxDepth) + " levels deep";
    return result;
  }
  result.ok = true;
  return result;
}

std::string SerialiseDocument(const XmlNode& document) {
  std::string out;
  Write(document, &out);
  return out;
}

bool HoldCachedFile() {
  // An open file cannot be replaced by MoveFileEx; file ids are not reused soon enough to
  // matter, and a recent file's bytes are compared anyway.
  return false;
}

}  // namespace vexmor::validate::xml
