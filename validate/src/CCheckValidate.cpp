#include "vexmor/validate/CCheckValidate.h"

#include "arrange_engine.h"
#include "signature_core.h"
#include "wiring.h"

std::string CCheckValidate::m_strCMsgContent;
std::shared_ptr<CArrangeEvent> CCheckValidate::m_hCMainArrangeEvent;
std::array<std::shared_ptr<CArrangeEvent>, 5> CCheckValidate::m_hCSubEvent;
std::atomic<int32_t> CCheckValidate::m_iCThreadCount{0};
std::array<int32_t, 5> CCheckValidate::m_lCOrgLength{};
std::array<int32_t, 5> CCheckValidate::m_lCSubLength{};
std::array<std::string, 5> CCheckValidate::m_strCSubContent;
std::atomic<bool> CCheckValidate::m_bCThreadStoped{false};

namespace {

// Never destroyed: detached coordinator threads may still use it while the process exits.
vexmor::validate::ArrangeEngine& Engine() {
  static auto* engine = new vexmor::validate::ArrangeEngine(
      {CCheckValidate::m_strCMsgContent, CCheckValidate::m_hCMainArrangeEvent,
       CCheckValidate::m_hCSubEvent, CCheckValidate::m_iCThreadCount, CCheckValidate::m_lCOrgLength,
       CCheckValidate::m_lCSubLength, CCheckValidate::m_strCSubContent,
       CCheckValidate::m_bCThreadStoped},
      [](int piece) { CCheckValidate().SubArrange_SpamMail_Check(piece); });
  return *engine;
}

}  // namespace

CCheckValidate::CCheckValidate() : m_i64CheckSum(0) {}

CCheckValidate::CCheckValidate(const CCheckValidate& other) : m_i64CheckSum(other.m_i64CheckSum) {}

CCheckValidate& CCheckValidate::operator=(const CCheckValidate& other) {
  m_i64CheckSum = other.m_i64CheckSum;
  return *this;
}

CCheckValidate::~CCheckValidate() {
  // A running computation still writes into this object: let it finish first.
  Engine().WaitUntilIdle(this);
}

void CCheckValidate::Arrange_SpamMail(std::string strContent) {
  Engine().Start(this, &m_i64CheckSum, std::move(strContent));
}

void CCheckValidate::Arrange_SpamMail_Check() {
  Engine().RunFromStatics(this, &m_i64CheckSum);
}

void CCheckValidate::SubArrange_SpamMail_Check(int32_t iPiece) {
  Engine().RunPiece(iPiece);
}

bool CCheckValidate::Wait_Arrange(unsigned int dwMilliseconds) {
  return Engine().Wait(dwMilliseconds);
}

int64_t CCheckValidate::Get_CheckSum(const unsigned char* pBytes, int32_t iCount) {
  if (pBytes == nullptr || iCount <= 0) return 0;
  return vexmor::validate::Checksum(pBytes, static_cast<size_t>(iCount));
}

// --- Signature-server requests ---

using vexmor::validate::Operation;
using vexmor::validate::SignatureSource;

bool CCheckValidate::Communicate_Server(std::string strFolder) {
  SignatureSource source;
  source.obtain = [this]() -> std::optional<int64_t> {
    if (!Wait_Arrange(VEXMOR_INFINITE)) return std::nullopt;
    m_hCMainArrangeEvent.reset();
    m_strCMsgContent.clear();
    return m_i64CheckSum;
  };
  return vexmor::validate::RunOnProcessPorts(Operation::kCompareContent, strFolder, source);
}

bool CCheckValidate::CompareCheckSumValue(std::string strFolder) {
  return Communicate_Server(std::move(strFolder));
}
