// Writing a Maildir++ tree the way fetchers and mail readers do, for the host's tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "test_support.h"

namespace vexmor::plugin::testing {

// Makes cur/, new/ and tmp/ in "folder" (a root or a ".Name" directory; ends with '/').
inline void MakeMaildirFolder(const std::string& folder) {
  ::mkdir(folder.c_str(), 0700);
  for (const char* sub : {"cur", "new", "tmp"}) ::mkdir((folder + sub).c_str(), 0700);
}

inline std::string UniqueName() {
  static std::atomic<int> counter{0};
  return std::to_string(::time(nullptr)) + ".P" + std::to_string(::getpid()) + "Q" +
         std::to_string(counter++) + ".test";
}

// A proper delivery: written completely in tmp/, then renamed into new/.
inline std::string Deliver(const std::string& folder, const std::string& message) {
  const std::string name = UniqueName();
  vexmor::testing::WriteFileOrDie(folder + "tmp/" + name, message);
  if (std::rename((folder + "tmp/" + name).c_str(), (folder + "new/" + name).c_str()) != 0) {
    return "";
  }
  return name;
}

// A careless delivery straight into new/ (create, write, close).
inline std::string WriteDirectly(const std::string& folder, const std::string& message) {
  const std::string name = UniqueName();
  vexmor::testing::WriteFileOrDie(folder + "new/" + name, message);
  return name;
}

inline std::string SimpleMessage(const std::string& subject,
                                 const std::string& from = "ann@example.com") {
  return "From: " + from + "\nTo: bob@example.org\nSubject: " + subject +
         "\nContent-Type: text/plain\n\nbody of " + subject + "\n";
}

}  // namespace vexmor::plugin::testing
