// Content signatures for compare-only requests; the same computation as CCheckSum on a
// separate set of class-wide members, so the two can run at the same time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "vexmor/validate/CArrangeEvent.h"
#include "vexmor/validate/ValidateExport.h"

class VEXMOR_VALIDATE_API CCheckValidate {
 public:
  CCheckValidate();
  CCheckValidate(const CCheckValidate& other);
  CCheckValidate& operator=(const CCheckValidate& other);
  virtual ~CCheckValidate();

  void Arrange_SpamMail(std::string strContent);
  // Coordinator and piece worker bodies: only the threads that Arrange_SpamMail starts call them.
  void Arrange_SpamMail_Check();
  void SubArrange_SpamMail_Check(int32_t iPiece);

  // As CCheckSum::Wait_Arrange, on this class's completion event.
  bool Wait_Arrange(unsigned int dwMilliseconds = VEXMOR_INFINITE);

  // Asks the signature server about the content signature (as CCheckSum's compare); true only
  // when the server knows it as spam.
  bool CompareCheckSumValue(std::string strFolder);

  int64_t m_i64CheckSum;

  static std::string m_strCMsgContent;
  static std::shared_ptr<CArrangeEvent> m_hCMainArrangeEvent;
  static std::array<std::shared_ptr<CArrangeEvent>, 5> m_hCSubEvent;
  static std::atomic<int32_t> m_iCThreadCount;
  static std::array<int32_t, 5> m_lCOrgLength;
  static std::array<int32_t, 5> m_lCSubLength;
  static std::array<std::string, 5> m_strCSubContent;
  static std::atomic<bool> m_bCThreadStoped;

 private:
  static int64_t Get_CheckSum(const unsigned char* pBytes, int32_t iCount);
  bool Communicate_Server(std::string strFolder);
};
