// Where the local mail store lies: the product's setting, the environment, the home folder.
#include <cstdlib>

#include "vexmor/platform/mail_store.h"

namespace vexmor::platform {

std::string LocateMailStore(const Registry* registry, const Paths& paths) {
  std::string root;
  if (registry != nullptr) {
    StatusOr<RegistryValue> value = registry->QueryValue(kProductKey, kMailStoreValue);
    if (value.ok() && value->type == RegistryValue::Type::kString) root = value->data;
  }
  if (root.empty()) {
    const char* env = std::getenv("MAILDIR");
    if (env != nullptr) root = env;
  }
  if (root.empty()) root = paths.UserProfileDirectory() + "Maildir";
  if (root == "~" || root.rfind("~/", 0) == 0) {
    root = paths.UserProfileDirectory() + (root.size() > 2 ? root.substr(2) : "");
  }
  return WithTrailingSlash(root);
}

}  // namespace vexmor::platform
