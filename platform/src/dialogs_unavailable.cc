// The dialogs of a program without windows: each says why none can be shown.
#include "vexmor/platform/dialogs.h"

namespace vexmor::platform {
namespace {

class UnavailableDialogs final : public Dialogs {
 public:
  explicit UnavailableDialogs(std::string why) : why_(std::move(why)) {}
  bool HasDisplay() override { return false; }
  StatusOr<bool> RunProgress(const ProgressDialogRequest&, ProgressLogic&) override {
    return Status::Unavailable(why_);
  }
  Status RunSenders(WindowHandle, SendersLogic&) override { return Status::Unavailable(why_); }

 private:
  std::string why_;
};

}  // namespace

std::unique_ptr<Dialogs> MakeUnavailableDialogs(std::string why) {
  return std::make_unique<UnavailableDialogs>(std::move(why));
}

}  // namespace vexmor::platform
