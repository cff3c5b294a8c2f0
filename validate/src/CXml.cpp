#include "vexmor/validate/CXml.h"

#include <array>
#include <exception>
#include <new>
#include <string_view>

#include "vexmor/log/write_log.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/state_files.h"
#include "wiring.h"
#include "xml_damage_report.h"
#include "xml_document.h"
#include "xml_store.h"

namespace xml = vexmor::validate::xml;
using xml::NodeKind;
using xml::XmlNode;

struct CXmlDocument {
  XmlNode doc;
  // Elements created without a parent wait here until they are attached.
  XmlNode loose;
};

namespace {

// The list element of each list number (code / 4), also the entry of WriteFile kind 1 to 4.
constexpr std::array<const char*, 4> kListElements = {"Id", "WId", "BD_Id", "WD_Id"};

// The codes written under "Xml" in section "Error": the step that failed. Readers of the file
// know them by number.
constexpr const char* kStepKey = "Xml";
namespace step {
enum : int32_t {
  kDocument = 1,
  kElement = 2,
  kChildElement = 3,
  kAttribute = 4,
  kInsertElement = 5,
  kListDeclaration = 6,
  kListNotice = 7,
  kLoad = 8,
  kMarkerDeclaration = 13,
  kMarkerNotice = 14,
  kExport = 17,
};
}  // namespace step

// The codes written under "Xml_TryCatch": the function in which an error was caught.
constexpr const char* kCaughtKey = "Xml_TryCatch";
namespace caught {
enum : int32_t {
  kDocument = 1,
  kElement = 2,
  kChildElement = 3,
  kAttribute = 4,
  kInsertElement = 5,
  kListFile = 6,
  kReadFile = 7,
  kBuildMarker = 8,
  kExport = 9,
};
}  // namespace caught
constexpr const char* kIdsMarker = "WId_Start";
constexpr const char* kDomainsMarker = "DId_Start";
constexpr const char* kNotice = "Copyright (C) Vexmor. All rights reserved.";

XmlNode* NodeOf(void* pNode) {
  return static_cast<XmlNode*>(pNode);
}

// A value the file can hold: something left after trimming, and no control characters.
bool IsStorable(std::string_view value) {
  if (value.empty()) return false;
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

std::string UpperValue(const std::string& ansi) {
  return xml::UpperAnsi(xml::TrimSpace(ansi));
}

// A damaged file about to be replaced: the entries that could still be read of it go into the
// new one ahead of what it starts with, so the senders known stay known (the old file is kept
// aside as it was).
void KeepReadableEntries(const xml::Snapshot& damaged, XmlNode& work) {
  if (damaged.readable == nullptr) return;
  XmlNode* root = work.DocumentElement();
  if (root == nullptr) return;
  const auto first = root->children.begin();
  std::string text;
  for (const XmlNode& child : damaged.readable->Root().children) {
    if (child.kind != NodeKind::kElement || !xml::EntryText(child, &text)) continue;
    bool there = false;
    for (const XmlNode& same : root->children) {
      if (same.kind != NodeKind::kElement || same.name != child.name) continue;
      std::string other;
      there = there || (xml::EntryText(same, &other) && other == text);
    }
    if (!there) root->children.insert(first, child);
  }
}

}  // namespace

CXml::CXml() = default;

CXml::CXml(std::string strPath) : m_strPath(std::move(strPath)) {
  if (!m_strPath.empty()) m_strPath = vexmor::platform::WithTrailingSlash(m_strPath);
}

CXml::CXml(const CXml& other) = default;
CXml& CXml::operator=(const CXml& other) = default;

CXml::~CXml() {
  ReleaseDomDocument();
}

std::string CXml::FilePath() const {
  return m_strSystemPath + std::string(xml::kFileName);
}

void CXml::Mark(const char* szKey, int32_t iCode) {
  try {
    std::string folder = m_strPath;
    if (folder.empty()) {
      folder = vexmor::validate::LibrarySystemDirectory();
    }
    if (folder.empty()) return;
    std::string file = folder + std::string(vexmor::state::kMessageFile);
    vexmor::platform::Profile& profile = vexmor::validate::LibraryProfile();
    const std::string code = std::to_string(iCode);
    // A look-up on a missing file marks every time: write only when the code changes.
    if (profile.GetString(file, vexmor::state::kSectionError, szKey, "") == code) return;
    (void)profile.WriteString(file, vexmor::state::kSectionError, szKey, code);
  } catch (...) {
    // The mark is a diagnostic; losing it must not fail the operation.
  }
}

void CXml::Fail(EFailure eFailure, std::string strText) {
  m_eLastFailure = eFailure;
  m_strLastFailure = std::move(strText);
}

bool CXml::CreateDomDocument() {
  try {
    ReleaseDomDocument();
    m_strSystemPath = vexmor::validate::LibrarySystemDirectory();
    if (m_strPath.empty()) m_strPath = m_strSystemPath;
    if (m_strSystemPath.empty()) {
      Mark(kStepKey, step::kDocument);
      Fail(kFailure_Io, "the system folder is not known");
      return false;
    }
    m_pXmlDoc = std::make_shared<CXmlDocument>();
    return true;
  } catch (const std::bad_alloc&) {
    Mark(kStepKey, step::kDocument);
    Fail(kFailure_Internal, "out of memory");
    return false;
  } catch (...) {
    Mark(kCaughtKey, caught::kDocument);
    Fail(kFailure_Internal, "unexpected error while creating the document");
    return false;
  }
}

void CXml::ReleaseDomDocument() {
  m_pRoot = CXmlNode();
  m_pXmlDoc.reset();
}

bool CXml::CreateElementNode(std::string strName, CXmlNode* pNode) {
  try {
    XmlNode* node = nullptr;
    if (m_pXmlDoc != nullptr && xml::IsXmlName(strName)) {
      node = &m_pXmlDoc->loose.Append(NodeKind::kElement, strName);
    }
    if (node == nullptr) {
      Mark(kStepKey, step::kElement);
      Fail(kFailure_Argument, "cannot create an element named '" + strName + "'");
      return false;
    }
    if (pNode != nullptr) *pNode = CXmlNode(node);
    return true;
  } catch (...) {
    Mark(kCaughtKey, caught::kElement);
    Fail(kFailure_Internal, "unexpected error while creating an element");
    return false;
  }
}

bool CXml::CreateElementNode(std::string strName, CXmlNode parent, CXmlNode* pNode) {
  try {
    XmlNode* node = nullptr;
    XmlNode* under = NodeOf(parent.m_pNode);
    if (under != nullptr && xml::IsXmlName(strName) &&
        (under->kind == NodeKind::kElement || under->kind == NodeKind::kDocument)) {
      node = &under->Append(NodeKind::kElement, strName);
    }
    if (node == nullptr) {
      Mark(kStepKey, step::kChildElement);
      Fail(kFailure_Argument, "cannot create or attach an element named '" + strName + "'");
      return false;
    }
    if (pNode != nullptr) *pNode = CXmlNode(node);
    return true;
  } catch (...) {
    Mark(kCaughtKey, caught::kChildElement);
    Fail(kFailure_Internal, "unexpected error while attaching an element");
    return false;
  }
}

bool CXml::CreateAttribute(std::string strName, std::string strValue, CXmlNode node) {
  try {
    XmlNode* element = NodeOf(node.m_pNode);
    if (element == nullptr || element->kind != NodeKind::kElement || !xml::IsXmlName(strName)) {
      Mark(kStepKey, step::kAttribute);
      Fail(kFailure_Argument, "cannot set attribute '" + strName + "'");
      return false;
    }
    element->SetAttribute(strName, vexmor::platform::AnsiToUtf8(strValue));
    return true;
  } catch (...) {
    Mark(kCaughtKey, caught::kAttribute);
    Fail(kFailure_Internal, "unexpected error while setting an attribute");
    return false;
  }
}

bool CXml::CreateAttribute(std::string strName, int64_t iValue, CXmlNode node) {
  return CreateAttribute(std::move(strName), std::to_string(iValue), node);
}

bool CXml::InsertElementNode(std::string strName, CXmlNode parent,
                             std::optional<std::string> strText) {
  try {
    XmlNode* under = NodeOf(parent.m_pNode);
    XmlNode* entry = nullptr;
    if (under != nullptr && under->kind == NodeKind::kElement && xml::IsXmlName(strName)) {
      entry = &under->Append(NodeKind::kElement, strName);
    }
    if (entry == nullptr) {
      Mark(kStepKey, step::kInsertElement);
      Fail(kFailure_Argument, "cannot insert an entry named '" + strName + "'");
      return false;
    }
    if (strText.has_value()) {
      entry->Append(NodeKind::kText, {}, vexmor::platform::AnsiToUtf8(*strText) + "\n");
    }
    return true;
  } catch (...) {
    Mark(kCaughtKey, caught::kInsertElement);
    Fail(kFailure_Internal, "unexpected error while inserting an entry");
    return false;
  }
}

bool CXml::BuildNewDocument(const std::string& strEntryName, const std::string& strText,
                            int32_t iPiMark, int32_t iCommentMark) {
  if (m_pXmlDoc == nullptr && !CreateDomDocument()) return false;
  m_pRoot = CXmlNode();
  m_pXmlDoc->doc.Clear();
  m_pXmlDoc->loose.Clear();
  XmlNode& doc = m_pXmlDoc->doc;
  // Appending to the tree fails only for want of memory, which the callers catch and mark;
  // the step codes stay part of the signature for the file's readers.
  (void)iPiMark;
  (void)iCommentMark;

  // A PI whose target is "xml" is what the new-file layout asks for; it reads back as the
  // document's declaration.
  doc.Append(NodeKind::kPi, "xml", "version='1.0'");
  doc.Append(NodeKind::kComment, {}, kNotice);
  CXmlNode root;
  if (!CreateElementNode(std::string(xml::kRootName), &root)) return false;
  NodeOf(root.m_pNode)->Append(NodeKind::kText, {}, "\n");
  if (!CreateAttribute("Mail", "Ids", root)) return false;
  if (!strEntryName.empty() && !InsertElementNode(strEntryName, root, strText)) return false;

  // The root moves from the loose elements into the document, keeping its address.
  auto& loose = m_pXmlDoc->loose.children;
  for (auto it = loose.begin(); it != loose.end(); ++it) {
    if (&*it != NodeOf(root.m_pNode)) continue;
    doc.children.splice(doc.children.end(), loose, it);
    m_pRoot = root;
    return true;
  }
  Fail(kFailure_Internal, "cannot attach the root element");
  return false;
}

bool CXml::CreateXmlFile(std::string strValue, uint32_t uKind) {
  m_eLastFailure = kFailure_None;
  try {
    std::string upper = UpperValue(strValue);
    std::string entry = uKind >= 1 && uKind <= 4 ? kListElements[uKind - 1] : "";
    if (!entry.empty() && !IsStorable(upper)) {
      Fail(kFailure_Argument, "an empty value or one with control characters cannot be stored");
      return false;
    }
    if (!BuildNewDocument(entry, upper, step::kListDeclaration, step::kListNotice)) return false;
    const XmlNode& built = m_pXmlDoc->doc;
    xml::UpdateResult result =
        xml::UpdateFile(FilePath(), [&](const xml::Snapshot&, XmlNode& work) {
          work = built;
          return xml::Outcome::kReplace;
        });
    if (!result.kept_copy.empty()) {
      vexmor::log::WriteLog("[F] The earlier sender list file was kept as " + result.kept_copy +
                                " before a new one was written.\n",
                            m_strPath);
    }
    if (!result.status.ok()) {
      Fail(kFailure_Io, result.status.message());
      return false;
    }
    return true;
  } catch (...) {
    Mark(kCaughtKey, caught::kListFile);
    Fail(kFailure_Internal, "unexpected error while writing a new list file");
    return false;
  }
}

bool CXml::WriteFile(std::string strValue, uint32_t uKind) {
  m_eLastFailure = kFailure_None;
  try {
    if (!CreateDomDocument()) return false;
    std::string upper = UpperValue(strValue);
    std::string entry = uKind >= 1 && uKind <= 4 ? kListElements[uKind - 1] : "";
    if (!entry.empty() && !IsStorable(upper)) {
      Fail(kFailure_Argument, "an empty value or one with control characters cannot be stored");
      return false;
    }
    bool done = true;
    xml::UpdateResult result =
        xml::UpdateFile(FilePath(), [&](const xml::Snapshot& current, XmlNode& work) {
          if (current.state == xml::FileState::kValid) {
            // Another process started the file since our caller looked: add to it instead.
            if (entry.empty() || current.Contains(entry, upper)) return xml::Outcome::kUnchanged;
            done = InsertElementNode(entry, CXmlNode(work.DocumentElement()), upper);
            return done ? xml::Outcome::kSave : xml::Outcome::kUnchanged;
          }
          if (current.state == xml::FileState::kUnreadable) {
            done = false;
            Fail(kFailure_Io, current.problem);
            return xml::Outcome::kUnchanged;
          }
          done = BuildNewDocument(entry, upper, step::kListDeclaration, step::kListNotice);
          if (!done) return xml::Outcome::kUnchanged;
          work = m_pXmlDoc->doc;
          KeepReadableEntries(current, work);
          return xml::Outcome::kReplace;
        });
    if (!result.kept_copy.empty()) {
      vexmor::log::WriteLog("[F] The sender list file could not be used (" +
                                result.replaced_problem + "); it was kept as " + result.kept_copy +
                                " and a new one was started.\n",
                            m_strPath);
    }
    if (!result.status.ok()) {
      Fail(kFailure_Io, result.status.message());
      return false;
    }
    return done;
  } catch (...) {
    Mark(kCaughtKey, caught::kListFile);
    Fail(kFailure_Internal, "unexpected error while writing the list file");
    return false;
  }
}

bool CXml::ReadFile(std::string strValue, int32_t iCode, std::string* pResult) {
  m_eLastFailure = kFailure_None;
  try {
    if (!CreateDomDocument()) return false;
    const std::string upper = UpperValue(strValue);
    const std::string path = FilePath();
    const int list = iCode >= 0 && iCode <= 15 ? iCode / 4 : -1;
    const int operation = list >= 0 ? iCode - 4 * list : -1;
    const std::string element = list >= 0 ? kListElements[static_cast<size_t>(list)] : "";

    auto usable = [&](const xml::Snapshot& current) {
      switch (current.state) {
        case xml::FileState::kValid:
          return true;
        case xml::FileState::kWrongRoot:
          Fail(kFailure_Damaged, current.problem);
          return false;
        case xml::FileState::kMissing:
          Mark(kStepKey, step::kLoad);
          Fail(kFailure_Missing, current.problem);
          return false;
        case xml::FileState::kUnparsable:
          Mark(kStepKey, step::kLoad);
          Fail(kFailure_Damaged, current.problem);
          return false;
        case xml::FileState::kUnreadable:
          Mark(kStepKey, step::kLoad);
          Fail(kFailure_Io, current.problem);
          return false;
      }
      return false;
    };

    if (operation <= kListOperation_Show || operation == kListOperation_LookUp) {
      std::shared_ptr<const xml::Snapshot> current = xml::LoadShared(path);
      const bool damaged = current->state == xml::FileState::kUnparsable ||
                           current->state == xml::FileState::kUnreadable;
      if (operation == kListOperation_LookUp && damaged) {
        // The mark stays; the senders are still judged by what can be read of the lists.
        (void)usable(*current);
        xml::TellDamage(m_strPath, *current);
        if (current->readable == nullptr) return false;
        m_eLastFailure = kFailure_None;
        if (current->readable->Contains(element, upper) && pResult != nullptr) *pResult = "Found";
        return true;
      }
      if (current->state == xml::FileState::kValid) xml::TellMended(m_strPath);
      if (!usable(*current)) return false;
      if (operation == kListOperation_LookUp) {
        if (current->Contains(element, upper) && pResult != nullptr) *pResult = "Found";
      } else if (operation == kListOperation_Show) {
        std::string text;
        for (const XmlNode& child : current->Root().children) {
          if (child.kind != NodeKind::kElement || child.name != element) continue;
          if (!xml::EntryText(child, &text)) continue;
          if (pResult != nullptr) *pResult += vexmor::platform::Utf8ToAnsi(text) + "\n";
        }
      }
      return true;
    }

    if (operation == kListOperation_Add && !IsStorable(upper)) {
      Fail(kFailure_Argument, "an empty value or one with control characters cannot be stored");
      return false;
    }
    bool ok = false;
    xml::UpdateResult result =
        xml::UpdateFile(path, [&](const xml::Snapshot& current, XmlNode& work) {
          ok = usable(current);
          if (!ok) return xml::Outcome::kUnchanged;
          XmlNode* root = work.DocumentElement();
          if (operation == kListOperation_Remove) {
            std::string text;
            for (const XmlNode& child : root->children) {
              if (child.kind != NodeKind::kElement || child.name != element) continue;
              if (!xml::EntryText(child, &text)) continue;
              if (xml::UpperAnsi(vexmor::platform::Utf8ToAnsi(text)) == upper) {
                root->Remove(&child);
                return xml::Outcome::kSave;
              }
            }
            return xml::Outcome::kUnchanged;
          }
          if (current.Contains(element, upper)) return xml::Outcome::kUnchanged;
          ok = InsertElementNode(element, CXmlNode(root), upper);
          return ok ? xml::Outcome::kSave : xml::Outcome::kUnchanged;
        });
    if (!result.status.ok()) {
      Fail(kFailure_Io, result.status.message());
      return false;
    }
    return ok;
  } catch (...) {
    Mark(kCaughtKey, caught::kReadFile);
    Fail(kFailure_Internal, "unexpected error in a list operation");
    return false;
  }
}

bool CXml::CreateWhiteStartId_Xml() {
  // Built here; the caller writes it over the file while it holds the file's lock.
  return BuildNewDocument(kIdsMarker, "1", step::kMarkerDeclaration, step::kMarkerNotice);
}

bool CXml::GetWhiteListIds_SentItems(uint32_t uWhich) {
  m_eLastFailure = kFailure_None;
  try {
    if (!CreateDomDocument()) return false;
    const char* marker = uWhich == 1 ? kIdsMarker : uWhich == 2 ? kDomainsMarker : nullptr;
    if (marker == nullptr) {
      Fail(kFailure_Argument, "unknown build kind " + std::to_string(uWhich));
      return false;
    }
    bool due = false;
    xml::UpdateResult result =
        xml::UpdateFile(FilePath(), [&](const xml::Snapshot& current, XmlNode& work) {
          switch (current.state) {
            case xml::FileState::kMissing:
            case xml::FileState::kUnparsable:
              due = CreateWhiteStartId_Xml();
              if (!due) return xml::Outcome::kUnchanged;
              work = m_pXmlDoc->doc;
              KeepReadableEntries(current, work);
              return xml::Outcome::kReplace;
            case xml::FileState::kUnreadable:
              Fail(kFailure_Io, current.problem);
              return xml::Outcome::kUnchanged;
            case xml::FileState::kWrongRoot:
              Fail(kFailure_Damaged, current.problem);
              return xml::Outcome::kUnchanged;
            case xml::FileState::kValid:
              break;
          }
          XmlNode* root = work.DocumentElement();
          for (const XmlNode& child : root->children) {
            if (child.kind == NodeKind::kElement && child.name == marker) {
              return xml::Outcome::kUnchanged;  // done before
            }
          }
          due = InsertElementNode(marker, CXmlNode(root), std::string("1"));
          return due ? xml::Outcome::kSave : xml::Outcome::kUnchanged;
        });
    if (!result.kept_copy.empty()) {
      vexmor::log::WriteLog("[F] The sender list file could not be used (" +
                                result.replaced_problem + "); it was kept as " + result.kept_copy +
                                " and a new one was started.\n",
                            m_strPath);
    }
    if (!result.status.ok()) {
      Fail(kFailure_Io, result.status.message());
      return false;
    }
    return due && result.written;
  } catch (...) {
    Mark(kCaughtKey, caught::kBuildMarker);
    Fail(kFailure_Internal, "unexpected error while checking the build markers");
    return false;
  }
}

bool CXml::GetAddress_File(std::string strName, std::string* pResult) {
  m_eLastFailure = kFailure_None;
  if (pResult != nullptr) pResult->clear();
  try {
    if (!CreateDomDocument()) return false;
    std::shared_ptr<const xml::Snapshot> current = xml::LoadShared(FilePath());
    switch (current->state) {
      case xml::FileState::kValid:
        break;
      case xml::FileState::kWrongRoot:
        Fail(kFailure_Damaged, current->problem);
        return false;
      case xml::FileState::kMissing:
        Mark(kStepKey, step::kExport);
        Fail(kFailure_Missing, current->problem);
        return false;
      case xml::FileState::kUnparsable:
        Mark(kStepKey, step::kExport);
        Fail(kFailure_Damaged, current->problem);
        return false;
      case xml::FileState::kUnreadable:
        Mark(kStepKey, step::kExport);
        Fail(kFailure_Io, current->problem);
        return false;
    }
    std::string text;
    for (const XmlNode& child : current->Root().children) {
      if (child.kind != NodeKind::kElement || strName != child.name) continue;
      if (!xml::EntryText(child, &text)) continue;
      if (pResult != nullptr) *pResult += vexmor::platform::Utf8ToAnsi(text) + "[//]";
    }
    return true;
  } catch (...) {
    Mark(kCaughtKey, caught::kExport);
    Fail(kFailure_Internal, "unexpected error while exporting a list");
    return false;
  }
}
