#include "vexmor/validate/CXml.h"

#include <array>
#include <exception>
#include <new>
#include <string_view>

#include <pugixml.hpp>

#include "vexmor/log/write_log.h"
#include "vexmor/platform/ansi.h"
#include "vexmor/platform/paths.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/state_files.h"
#include "wiring.h"
#include "xml_damage_report.h"
#include "xml_store.h"

namespace xml = vexmor::validate::xml;

struct CXmlDocument {
  pugi::xml_document doc;
  // Elements created without a parent wait here until they are attached.
  pugi::xml_document loose;
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

pugi::xml_node NodeOf(void* pNode) {
  return pugi::xml_node(static_cast<pugi::xml_node_struct*>(pNode));
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
void KeepReadableEntries(const xml::Snapshot& damaged, pugi::xml_document& work) {
  if (damaged.readable == nullptr) return;
  pugi::xml_node root = work.document_element();
  const pugi::xml_node first = root.first_child();
  std::string text;
  for (pugi::xml_node child : damaged.readable->Root().children()) {
    if (child.type() != pugi::node_element || !xml::EntryText(child, &text)) continue;
    bool there = false;
    for (pugi::xml_node same : root.children(child.name())) {
      std::string other;
      there = there || (xml::EntryText(same, &other) && other == text);
    }
    if (!there) root.insert_copy_before(child, first);
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
    pugi::xml_node node;
    if (m_pXmlDoc != nullptr && xml::IsXmlName(strName)) {
      node = m_pXmlDoc->loose.append_child(strName.c_str());
    }
    if (!node) {
      Mark(kStepKey, step::kElement);
      Fail(kFailure_Argument, "cannot create an element named '" + strName + "'");
      return false;
    }
    if (pNode != nullptr) *pNode = CXmlNode(node.internal_object());
    return true;
  } catch (...) {
    Mark(kCaughtKey, caught::kElement);
    Fail(kFailure_Internal, "unexpected error while creating an element");
    return false;
  }
}

bool CXml::CreateElementNode(std::string strName, CXmlNode parent, CXmlNode* pNode) {
  try {
    pugi::xml_node node;
    pugi::xml_node under = NodeOf(parent.m_pNode);
    if (under && xml::IsXmlName(strName) &&
        (under.type() == pugi::node_element || under.type() == pugi::node_document)) {
      node = under.append_child(strName.c_str());
    }
    if (!node) {
      Mark(kStepKey, step::kChildElement);
      Fail(kFailure_Argument, "cannot create or attach an element named '" + strName + "'");
      return false;
    }
    if (pNode != nullptr) *pNode = CXmlNode(node.internal_object());
    return true;
  } catch (...) {
    Mark(kCaughtKey, caught::kChildElement);
    Fail(kFailure_Internal, "unexpected error while attaching an element");
    return false;
  }
}

bool CXml::CreateAttribute(std::string strName, std::string strValue, CXmlNode node) {
  try {
    pugi::xml_node element = NodeOf(node.m_pNode);
    if (!element || element.type() != pugi::node_element || !xml::IsXmlName(strName)) {
      Mark(kStepKey, step::kAttribute);
      Fail(kFailure_Argument, "cannot set attribute '" + strName + "'");
      return false;
    }
    pugi::xml_attribute attribute = element.attribute(strName.c_str());
    if (!attribute) attribute = element.append_attribute(strName.c_str());
    return attribute.set_value(vexmor::platform::AnsiToUtf8(strValue).c_str());
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
    pugi::xml_node under = NodeOf(parent.m_pNode);
    pugi::xml_node entry;
    if (under && under.type() == pugi::node_element && xml::IsXmlName(strName)) {
      entry = under.append_child(strName.c_str());
    }
    if (!entry) {
      Mark(kStepKey, step::kInsertElement);
      Fail(kFailure_Argument, "cannot insert an entry named '" + strName + "'");
      return false;
    }
    if (strText.has_value()) {
      entry.append_child(pugi::node_pcdata)
          .set_value((vexmor::platform::AnsiToUtf8(*strText) + "\n").c_str());
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
  m_pXmlDoc->doc.reset();
  m_pXmlDoc->loose.reset();
  pugi::xml_document& doc = m_pXmlDoc->doc;

  pugi::xml_node declaration = doc.append_child(pugi::node_pi);
  if (!declaration || !declaration.set_name("xml") || !declaration.set_value("version='1.0'")) {
    Mark(kStepKey, iPiMark);
    Fail(kFailure_Internal, "cannot create the XML declaration");
    return false;
  }
  pugi::xml_node notice = doc.append_child(pugi::node_comment);
  if (!notice || !notice.set_value(kNotice)) {
    Mark(kStepKey, iCommentMark);
    Fail(kFailure_Internal, "cannot create the notice");
    return false;
  }
  CXmlNode root;
  if (!CreateElementNode(std::string(xml::kRootName), &root)) return false;
  NodeOf(root.m_pNode).append_child(pugi::node_pcdata).set_value("\n");
  if (!CreateAttribute("Mail", "Ids", root)) return false;
  if (!strEntryName.empty() && !InsertElementNode(strEntryName, root, strText)) return false;

  pugi::xml_node attached = doc.append_copy(NodeOf(root.m_pNode));
  if (!attached) {
    Fail(kFailure_Internal, "cannot attach the root element");
    return false;
  }
  m_pXmlDoc->loose.remove_child(NodeOf(root.m_pNode));
  m_pRoot = CXmlNode(attached.internal_object());
  return true;
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
    const pugi::xml_document& built = m_pXmlDoc->doc;
    xml::UpdateResult result =
        xml::UpdateFile(FilePath(), [&](const xml::Snapshot&, pugi::xml_document& work) {
          work.reset(built);
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
    xml::UpdateResult result = xml::UpdateFile(FilePath(), [&](const xml::Snapshot& current,
                                                               pugi::xml_document& work) {
      if (current.state == xml::FileState::kValid) {
        // Another process started the file since our caller looked: add to it instead.
        if (entry.empty() || current.Contains(entry, upper)) return xml::Outcome::kUnchanged;
        done = InsertElementNode(entry, CXmlNode(work.document_element().internal_object()), upper);
        return done ? xml::Outcome::kSave : xml::Outcome::kUnchanged;
      }
      if (current.state == xml::FileState::kUnreadable) {
        done = false;
        Fail(kFailure_Io, current.problem);
        return xml::Outcome::kUnchanged;
      }
      done = BuildNewDocument(entry, upper, step::kListDeclaration, step::kListNotice);
      if (!done) return xml::Outcome::kUnchanged;
      work.reset(m_pXmlDoc->doc);
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
        for (pugi::xml_node child : current->Root().children(element.c_str())) {
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
        xml::UpdateFile(path, [&](const xml::Snapshot& current, pugi::xml_document& work) {
          ok = usable(current);
          if (!ok) return xml::Outcome::kUnchanged;
          pugi::xml_node root = work.document_element();
          if (operation == kListOperation_Remove) {
            std::string text;
            for (pugi::xml_node child : root.children(element.c_str())) {
              if (!xml::EntryText(child, &text)) continue;
              if (xml::UpperAnsi(vexmor::platform::Utf8ToAnsi(text)) == upper) {
                root.remove_child(child);
                return xml::Outcome::kSave;
              }
            }
            return xml::Outcome::kUnchanged;
          }
          if (current.Contains(element, upper)) return xml::Outcome::kUnchanged;
          ok = InsertElementNode(element, CXmlNode(root.internal_object()), upper);
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
        xml::UpdateFile(FilePath(), [&](const xml::Snapshot& current, pugi::xml_document& work) {
          switch (current.state) {
            case xml::FileState::kMissing:
            case xml::FileState::kUnparsable:
              due = CreateWhiteStartId_Xml();
              if (!due) return xml::Outcome::kUnchanged;
              work.reset(m_pXmlDoc->doc);
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
          pugi::xml_node root = work.document_element();
          if (root.child(marker)) return xml::Outcome::kUnchanged;  // done before
          due = InsertElementNode(marker, CXmlNode(root.internal_object()), std::string("1"));
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
    for (pugi::xml_node child : current->Root().children()) {
      if (child.type() != pugi::node_element || strName != child.name()) continue;
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
