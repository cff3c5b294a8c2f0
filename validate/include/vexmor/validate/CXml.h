// The approved and blocked sender lists, kept in "Vexmor_MailIds.xml" in the system folder.
//
// Four lists, each an element name of the file: "Id" (blocked e-mail ids), "WId" (approved
// e-mail ids), "BD_Id" (blocked domains), "WD_Id" (approved domains). ReadFile addresses them by
// code = 4 x list + operation (0 list, 1 remove, 2 add, 3 look up). Values are single-byte
// (Windows-1252) strings; they are stored upper-cased, in UTF-8.
//
// Create an object per use, in any thread. Several processes may use the file at the same time:
// every change is a load-change-save under a cross-process lock, written atomically, and every
// read sees the current file (parsed documents are shared in the process and revalidated
// against the file before each use). A damaged file is never replaced without keeping a
// timestamped copy of it beside the original ("Vexmor_MailIds.xml.damaged-...").
//
// Failing steps write a code under key "Xml" (caught errors under "Xml_TryCatch") of section
// "Error" of m_strPath + "Vexmor_Message.ini". No exception leaves the class.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vexmor/validate/ValidateExport.h"

// The document an object works on; defined inside the library.
struct CXmlDocument;

// A node of the document of a CXml object (valid while that document lives), or nothing.
class CXmlNode {
 public:
  CXmlNode() = default;
  bool IsNull() const { return m_pNode == nullptr; }

 private:
  friend class CXml;
  explicit CXmlNode(void* pNode) : m_pNode(pNode) {}
  void* m_pNode = nullptr;
};

class VEXMOR_VALIDATE_API CXml {
 public:
  // Why the last operation failed, for callers that report to people (the command line).
  enum EFailure : int32_t {
    kFailure_None = 0,
    kFailure_Missing = 1,   // there is no list file yet
    kFailure_Damaged = 2,   // the file is not a sender-list file or not well-formed
    kFailure_Io = 3,        // the file or its folder cannot be read, locked or written
    kFailure_Argument = 4,  // a value or name that cannot be stored
    kFailure_Internal = 5,  // an unexpected error was caught
  };

  // The four lists, in the order of ReadFile's codes (element names Id, WId, BD_Id, WD_Id).
  enum EList : int32_t {
    kList_BlockedIds = 0,
    kList_ApprovedIds = 1,
    kList_BlockedDomains = 2,
    kList_ApprovedDomains = 3,
  };
  // What ReadFile does with a list.
  enum EListOperation : int32_t {
    kListOperation_Show = 0,    // every value, each followed by "[//]"
    kListOperation_Remove = 1,  // removes the value
    kListOperation_Add = 2,     // adds the value
    kListOperation_LookUp = 3,  // "Found" when the value is listed
  };
  // ReadFile's code for an operation on a list.
  static constexpr int32_t ListCode(EList eList, EListOperation eOperation) {
    return 4 * eList + eOperation;
  }

  CXml();
  explicit CXml(std::string strPath);
  CXml(const CXml& other);
  CXml& operator=(const CXml& other);
  virtual ~CXml();

  // --- Document building ---
  bool CreateDomDocument();
  void ReleaseDomDocument();
  bool CreateElementNode(std::string strName, CXmlNode* pNode);
  bool CreateElementNode(std::string strName, CXmlNode parent, CXmlNode* pNode);
  bool CreateAttribute(std::string strName, std::string strValue, CXmlNode node);
  bool CreateAttribute(std::string strName, int64_t iValue, CXmlNode node);
  bool InsertElementNode(std::string strName, CXmlNode parent, std::optional<std::string> strText);

  // --- The file ---
  // A new file (declaration, notice, root) with, for kind 1 to 4, one entry holding the value
  // upper-cased (Id, WId, BD_Id, WD_Id); it replaces the file, keeping a copy of the old one.
  bool CreateXmlFile(std::string strValue, uint32_t uKind);
  // For callers whose ReadFile failed: starts the file with the value as its first entry. When
  // the file has meanwhile become a valid list file, the value is added to it instead.
  bool WriteFile(std::string strValue, uint32_t uKind);
  // The list operations; codes outside 0 to 15 change nothing (true on a readable file).
  bool ReadFile(std::string strValue, int32_t iCode, std::string* pResult);

  // --- Once-only build markers and list export ---
  // 1 = approved-id build, 2 = approved-domain build: true when that build is due, and the
  // marker is now recorded; false when it was done already or the file is unusable.
  bool GetWhiteListIds_SentItems(uint32_t uWhich);
  // Every value of the entries named exactly strName, each followed by "[//]".
  bool GetAddress_File(std::string strName, std::string* pResult);

  EFailure GetLastFailure_Code() const { return m_eLastFailure; }
  const std::string& GetLastFailure_Text() const { return m_strLastFailure; }

  std::string m_strPath;
  std::string m_strSystemPath;
  std::shared_ptr<CXmlDocument> m_pXmlDoc;
  CXmlNode m_pRoot;

 private:
  bool CreateWhiteStartId_Xml();
  // The new-file layout in m_pXmlDoc (declaration, notice, root, entry); marks the given codes.
  bool BuildNewDocument(const std::string& strEntryName, const std::string& strText,
                        int32_t iPiMark, int32_t iCommentMark);
  std::string FilePath() const;
  // Writes the code of a failing step (key "Xml") or of a caught error (key "Xml_TryCatch").
  void Mark(const char* szKey, int32_t iCode);
  void Fail(EFailure eFailure, std::string strText);

  EFailure m_eLastFailure = kFailure_None;
  std::string m_strLastFailure;
};
