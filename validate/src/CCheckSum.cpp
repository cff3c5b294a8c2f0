#include "vexmor/validate/CCheckSum.h"

#include "arrange_engine.h"
#include "signature_core.h"
#include "wiring.h"

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
vexmor::validate::ArrangeEngine& Engine() {
  static auto* engine = new vexmor::validate::ArrangeEngine(
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

void CCheckSum::Arrange_SpamMail() {
  Engine().RunFromStatics(this, &m_i64CheckSum);
}

void CCheckSum::SubArrange_SpamMail(int32_t iPiece) {
  Engine().RunPiece(iPiece);
}

void CCheckSum::Arrange_SpamMail_Url(std::string strText) {
  strText += '\0';
  m_i64UrlCheckSum = Get_CheckSum(reinterpret_cast<const unsigned char*>(strText.data()),
                                  static_cast<int32_t>(strText.size()));
}

bool CCheckSum::Wait_Arrange(unsigned int dwMilliseconds) {
  return Engine().Wait(dwMilliseconds);
}

int64_t CCheckSum::Get_CheckSum(const unsigned char* pBytes, int32_t iCount) {
  if (pBytes == nullptr || iCount <= 0) return 0;
  return vexmor::validate::Checksum(pBytes, static_cast<size_t>(iCount));
}

// --- Signature-server requests ---

using vexmor::validate::Operation;
using vexmor::validate::SignatureSource;

bool CCheckSum::Communicate_Server(bool bUpdate, int32_t iKind, std::string strFolder) {
  SignatureSource source;
  Operation operation;
  if (iKind == 1) {
    operation = bUpdate ? Operation::kUpdateContent : Operation::kCompareContent;
    source.obtain = [this]() -> std::optional<int64_t> {
      if (!Wait_Arrange(VEXMOR_INFINITE)) return std::nullopt;
      // The event is spent: a later request without a new computation must not wait on it.
      m_hMainArrangeEvent.reset();
      m_strMsgContent.clear();
      return m_i64CheckSum;
    };
    source.on_no_session = [] { m_hMainArrangeEvent.reset(); };
  } else if (iKind == 2) {
    operation = bUpdate ? Operation::kUpdateLink : Operation::kCompareLink;
    source.obtain = [this]() -> std::optional<int64_t> { return m_i64UrlCheckSum; };
  } else {
    return true;
  }
  return vexmor::validate::RunOnProcessPorts(operation, strFolder, source);
}

bool CCheckSum::CompareCheckSumValue(std::string strFolder) {
  return Communicate_Server(false, 1, std::move(strFolder));
}

bool CCheckSum::UpdateCheckSumValue(std::string strFolder) {
  return Communicate_Server(true, 1, std::move(strFolder));
}

bool CCheckSum::CompareCheckSumValue_Url(std::string strFolder) {
  return Communicate_Server(false, 2, std::move(strFolder));
}

bool CCheckSum::UpdateCheckSumValue_Url(std::string strFolder) {
  return Communicate_Server(true, 2, std::move(strFolder));
}

void CCheckSum::RemoveCheckSumValue_Url(std::string strFolder) {
  SignatureSource source;
  source.obtain = [this]() -> std::optional<int64_t> { return m_i64UrlCheckSum; };
  vexmor::validate::RunOnProcessPorts(Operation::kRemoveLink, strFolder, source);
}

void CCheckSum::GetIPAddress_DNSName(std::string* pstrName) {
  if (pstrName == nullptr) return;
  try {
    *pstrName = vexmor::validate::ResolveIPv4(*pstrName);
  } catch (...) {
    vexmor::validate::MarkLookupError();
  }
}
