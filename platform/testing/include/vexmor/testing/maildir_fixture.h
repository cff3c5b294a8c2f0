// A Maildir++ tree in a throw-away folder, written the way fetchers and mail readers write it.
#pragma once

#include <string>

#include "vexmor/testing/test_support.h"

namespace vexmor::testing {

// Makes cur/, new/ and tmp/ in "folder" (a root or a ".Name" directory; ends with '/').
void MakeMaildirFolder(const std::string& folder);

// A file name no other delivery of this process uses.
std::string UniqueName();

// A proper delivery: written completely in tmp/, then renamed into new/. The file name, or ""
// when the rename failed.
std::string Deliver(const std::string& folder, const std::string& message);

// A careless delivery straight into new/ (create, write, close).
std::string WriteDirectly(const std::string& folder, const std::string& message);

// A short plain-text message.
std::string SimpleMessage(const std::string& subject, const std::string& from = "ann@example.com");

// A Maildir root ("Maildir/" in a fresh temporary folder, with its cur/, new/ and tmp/),
// removed at the end of the scope.
class MaildirFixture {
 public:
  MaildirFixture();
  // With a trailing '/'.
  const std::string& root() const { return root_; }
  // The ".Name/" folder of the root, made when missing.
  std::string Folder(const std::string& name) const;

 private:
  TempDir dir_;
  std::string root_;
};

}  // namespace vexmor::testing
