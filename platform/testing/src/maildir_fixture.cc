#include "vexmor/testing/maildir_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

namespace vexmor::testing {

void MakeMaildirFolder(const std::string& folder) {
  ::mkdir(folder.c_str(), 0700);
  for (const char* sub : {"cur", "new", "tmp"}) ::mkdir((folder + sub).c_str(), 0700);
}

std::string UniqueName() {
  static std::atomic<int> counter{0};
  return std::to_string(::time(nullptr)) + ".P" + std::to_string(::getpid()) + "Q" +
         std::to_string(counter++) + ".test";
}

std::string Deliver(const std::string& folder, const std::string& message) {
  const std::string name = UniqueName();
  WriteFileOrDie(folder + "tmp/" + name, message);
  if (std::rename((folder + "tmp/" + name).c_str(), (folder + "new/" + name).c_str()) != 0) {
    return "";
  }
  return name;
}

std::string WriteDirectly(const std::string& folder, const std::string& message) {
  const std::string name = UniqueName();
  WriteFileOrDie(folder + "new/" + name, message);
  return name;
}

std::string SimpleMessage(const std::string& subject, const std::string& from) {
  return "From: " + from + "\nTo: bob@example.org\nSubject: " + subject +
         "\nContent-Type: text/plain\n\nbody of " + subject + "\n";
}

MaildirFixture::MaildirFixture() : root_(dir_.path() + "Maildir/") {
  MakeMaildirFolder(root_);
}

std::string MaildirFixture::Folder(const std::string& name) const {
  const std::string folder = root_ + "." + name + "/";
  MakeMaildirFolder(folder);
  return folder;
}

}  // namespace vexmor::testing
