// Message signatures for compare, report and remove at the signature server.
//
// Arrange_SpamMail(text) starts the content signature in the background and returns at once;
// the result is in m_i64CheckSum when the class-wide completion event m_hMainArrangeEvent is
// set. One content computation of this class runs at a time (the class-wide members are
// shared); a later call waits for the earlier one to finish before it starts.
// Arrange_SpamMail_Url(text) computes the plain link-text signature synchronously.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "vexmor/validate/CArrangeEvent.h"
#include "vexmor/validate/ValidateExport.h"

namespace vexmor::platform {
class Profile;
}

namespace vexmor::validate {

// Where the signature requests keep their state keys and journal entries: "source" gives the
// profile to use (null: this library's own). Every shared library of a process keeps its own
// cache of parsed profile files, so two libraries writing one journal through two caches make
// each write by the one a full read and parse for the other; a library that writes the same
// files passes its own profile. Unshare clears it only while it still is "source", so a
// library being unloaded cannot take away another's.
using ProfileSource = platform::Profile& (*)();
VEXMOR_VALIDATE_API void ShareSignatureProfile(ProfileSource source);
VEXMOR_VALIDATE_API void UnshareSignatureProfile(ProfileSource source);

}  // namespace vexmor::validate

class VEXMOR_VALIDATE_API CCheckSum {
 public:
  CCheckSum();
  CCheckSum(const CCheckSum& other);
  CCheckSum& operator=(const CCheckSum& other);
  virtual ~CCheckSum();

  void Arrange_SpamMail(std::string strContent);
  // Coordinator and piece worker bodies: only the threads that Arrange_SpamMail starts call them.
  void Arrange_SpamMail();
  void SubArrange_SpamMail(int32_t iPiece);
  void Arrange_SpamMail_Url(std::string strText);

  // Waits for the completion event of the last computation started on this class and consumes
  // it. False when no computation was started or the time ran out (it never blocks then).
  bool Wait_Arrange(unsigned int dwMilliseconds = VEXMOR_INFINITE);

  // Signature server requests. strFolder is the install directory with its trailing separator;
  // each request adds one entry to "Vexmor.ini" there. The content requests wait for the
  // computation Arrange_SpamMail started; without one they send nothing.
  // True only when the server knows the content signature as spam.
  bool CompareCheckSumValue(std::string strFolder);
  // Reports the content signature; true when the request was made.
  bool UpdateCheckSumValue(std::string strFolder);
  // The same for the link signature of Arrange_SpamMail_Url.
  bool CompareCheckSumValue_Url(std::string strFolder);
  bool UpdateCheckSumValue_Url(std::string strFolder);
  // Withdraws the link signature from the server.
  void RemoveCheckSumValue_Url(std::string strFolder);

  // Replaces a host name by its first IPv4 address in dotted decimal; a dotted address or an
  // unresolvable name stays as it is.
  void GetIPAddress_DNSName(std::string* pstrName);

  int64_t m_i64CheckSum;
  int64_t m_i64UrlCheckSum;

  static std::string m_strMsgContent;
  static std::shared_ptr<CArrangeEvent> m_hMainArrangeEvent;
  static std::array<std::shared_ptr<CArrangeEvent>, 5> m_hSubEvent;
  static std::atomic<int32_t> m_iThreadCount;
  static std::array<int32_t, 5> m_lOrgLength;
  static std::array<int32_t, 5> m_lSubLength;
  static std::array<std::string, 5> m_strSubContent;
  static std::atomic<bool> m_bThreadStoped;

 private:
  static int64_t Get_CheckSum(const unsigned char* pBytes, int32_t iCount);
  // Compare or report: iKind 1 content, 2 link; any other kind sends nothing and gives true.
  bool Communicate_Server(bool bUpdate, int32_t iKind, std::string strFolder);
};
