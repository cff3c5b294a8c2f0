// The signature-server requests of CCheckSum and CCheckValidate on the process's ports.
#include <atomic>

#include "CCheckExe.h"
#include "CCheckSum.h"
#include "CCheckValidate.h"
#include "checksum_server_core.h"
#include "vexmor/platform/profile.h"
#include "vexmor/state/state_files.h"

namespace {

using vexmor::sigclient::ClientPorts;
using vexmor::sigclient::Operation;
using vexmor::sigclient::SignatureSource;

std::atomic<vexmor::validate::ProfileSource> g_shared_profile{nullptr};

vexmor::platform::Profile& SignatureProfile() {
  vexmor::validate::ProfileSource source = g_shared_profile.load();
  return source != nullptr ? source() : vexmor::platform::DefaultProfile();
}

ClientPorts DefaultPorts() {
  return {SignatureProfile(), vexmor::platform::DefaultRegistry(), vexmor::platform::DefaultHttp(),
          [] { CCheckExe().UpdateNearServer(); }};
}

bool Run(Operation operation, const std::string& folder, const SignatureSource& source) {
  try {
    ClientPorts ports = DefaultPorts();
    return vexmor::sigclient::RunOperation(ports, operation, folder, source);
  } catch (...) {
    return false;  // nothing leaves the library
  }
}

}  // namespace

void vexmor::validate::ShareSignatureProfile(ProfileSource source) {
  g_shared_profile.store(source);
}

void vexmor::validate::UnshareSignatureProfile(ProfileSource source) {
  (void)g_shared_profile.compare_exchange_strong(source, nullptr);
}

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
  return Run(operation, strFolder, source);
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
  Run(Operation::kRemoveLink, strFolder, source);
}

void CCheckSum::GetIPAddress_DNSName(std::string* pstrName) {
  if (pstrName == nullptr) return;
  try {
    *pstrName = vexmor::sigclient::ResolveIPv4(*pstrName);
  } catch (...) {
    (void)vexmor::platform::DefaultProfile().WriteString(vexmor::state::kPathFile,
                                                         vexmor::state::kSectionError,
                                                         vexmor::state::kKeyErrorFunctions, "10");
  }
}

bool CCheckValidate::Communicate_Server(std::string strFolder) {
  SignatureSource source;
  source.obtain = [this]() -> std::optional<int64_t> {
    if (!Wait_Arrange(VEXMOR_INFINITE)) return std::nullopt;
    m_hCMainArrangeEvent.reset();
    m_strCMsgContent.clear();
    return m_i64CheckSum;
  };
  return Run(Operation::kCompareContent, strFolder, source);
}

bool CCheckValidate::CompareCheckSumValue(std::string strFolder) {
  return Communicate_Server(std::move(strFolder));
}
