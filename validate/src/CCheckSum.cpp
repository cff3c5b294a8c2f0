#include "CCheckSum.h"

#include "arrange_engine.h"
#include "signature_core.h"

std::string CCheckSum::m_strMsgContent;
std::shared_ptr<CArrangeEvent> CCheckSum::m_hMainArrangeEvent;
std::array<std::shared_ptr<CArrangeEvent>, 5> CCheckSum::m_hSubEvent;
std::atomic<int32_t> CCheckSum::m_iThreadCount{0};
std::array<int32_t, 5> CCheckSum::m_lOrgLength{};
std::array<int32_t, 5> CCheckSum::m_lSubLength{};
std::array<std::string, 5> CCheckSum::m_strSubContent;
std::atomic<bool> CCheckSum::m_bThreadStoped{false};

namespace {

// Never destroyed: detached coordinator threads may still use it while the process exits.
vexmor::signature::ArrangeEngine& Engine() {
  static auto* engine = new vexmor::signature::ArrangeEngine(
      {CCheckSum::m_strMsgContent, CCheckSum::m_hMainArrangeEvent, CCheckSum::m_hSubEvent,
       CCheckSum::m_iThreadCount, CCheckSum::m_lOrgLength, CCheckSum::m_lSubLength,
       CCheckSum::m_strSubContent, CCheckSum::m_bThreadStoped},
      [](int piece) { CCheckSum().SubArrange_SpamMail(piece); });
  return *engine;
}

}  // namespace

CCheckSum::CCheckSum() : m_i64CheckSum(0), m_i64UrlCheckSum(0) {}

CCheckSum::CCheckSum(const CCheckSum& other)
    : m_i64CheckSum(other.m_i64CheckSum), m_i64UrlCheckSum(other.m_i64UrlCheckSum) {}

CCheckSum& CCheckSum::operator=(const CCheckSum& other) {
  m_i64CheckSum = other.m_i64CheckSum;
  m_i64UrlCheckSum = other.m_i64UrlCheckSum;
  return *this;
}

CCheckSum::~CCheckSum() {
  // A running computation still writes into this object: let it finish first.
  Engine().WaitUntilIdle(this);
}

void CCheckSum::Arrange_SpamMail(std::string strContent) {
  Engine().Start(this, &m_i64CheckSum, std::move(strContent));
}

void CCheckSum::Arrange_SpamMail() { Engine().RunFromStatics(this, &m_i64CheckSum); }

void CCheckSum::SubArrange_SpamMail(int32_t iPiece) { Engine().RunPiece(iPiece); }

void CCheckSum::Arrange_SpamMail_Url(std::string strText) {
  strText += '\0';
  m_i64UrlCheckSum = Get_CheckSum(reinterpret_cast<const unsigned char*>(strText.data()),
                                  static_cast<int32_t>(strText.size()));
}

bool CCheckSum::Wait_Arrange(unsigned int dwMilliseconds) { return Engine().Wait(dwMilliseconds); }

int64_t CCheckSum::Get_CheckSum(const unsigned char* pBytes, int32_t iCount) {
  if (pBytes == nullptr || iCount <= 0) return 0;
  return vexmor::signature::Checksum(pBytes, static_cast<size_t>(iCount));
}
