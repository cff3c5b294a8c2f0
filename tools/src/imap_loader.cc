// The IMAP module's logon, or a stand-in that says why there is none.
#include <utility>

#include "imap_module.h"
#include "module_loader.h"

namespace vexmor::tools {
namespace {

class NoLogon final : public platform::MapiLogon {
 public:
  explicit NoLogon(std::string why) : why_(std::move(why)) {}
  StatusOr<std::unique_ptr<platform::MapiSession>> Logon() override {
    return Status::Unavailable(why_);
  }

 private:
  std::string why_;
};

}  // namespace

std::unique_ptr<platform::MapiLogon> MakeModuleImapLogon(platform::ImapConnectOptions options) {
  std::string problem;
  auto make = reinterpret_cast<MakeImapLogonFn>(
      ModuleSymbol(kImapModuleFile, kMakeImapLogonSymbol, &problem));
  platform::MapiLogon* logon = make != nullptr ? make(&options) : nullptr;
  if (logon == nullptr) {
    return std::make_unique<NoLogon>(problem.empty() ? "the IMAP module made no logon" : problem);
  }
  return std::unique_ptr<platform::MapiLogon>(logon);
}

}  // namespace vexmor::tools
