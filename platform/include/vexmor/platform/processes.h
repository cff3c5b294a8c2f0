// The processes port: a snapshot of the running processes, termination, and starting a program
// without a window. The Linux adapter reads /proc and uses pidfds and signals.
//
// Contract: no exception leaves a call; failures come back as Status. A ProcessInfo is a
// snapshot; Terminate re-checks that the pid still names the same process (start time) and that
// the current user owns it before it signals anything, so a pid reused since the snapshot or a
// process of another user is never touched. The calling process itself is never terminated.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vexmor/platform/status.h"

namespace vexmor::platform {

struct ProcessInfo {
  std::int32_t pid = 0;
  std::int32_t parent_pid = 0;
  std::uint32_t uid = 0;         // real user id
  std::uint64_t start_time = 0;  // clock ticks after boot; tells a reused pid apart
  // The names the process is known by, most telling first, without duplicates: the file name
  // of its executable, the file name of its argv[0], and the kernel's short name (at most 15
  // characters). Any of them may be missing when the system does not let us read it.
  std::vector<std::string> names;
  // The executable's full path and the command line's arguments (argv[0] first); empty when the
  // system does not let us read them.
  std::string executable;
  std::vector<std::string> arguments;
};

// The install folder a program of ours runs for, without a trailing '/': its "--install-dir"
// argument when that is an absolute path, else the folder of an absolute argv[0] (a link in the
// install folder), else its executable's folder. Empty when none of these is known.
std::string InstallFolderOf(const ProcessInfo& process);

class Processes {
 public:
  virtual ~Processes() = default;
  // The running processes in ascending pid order; processes that have already ended (zombies)
  // are left out. IoError when the list cannot be taken.
  virtual StatusOr<std::vector<ProcessInfo>> Snapshot() const = 0;
  // Asks the process to end (SIGTERM) and, when it is still there after the grace period, ends
  // it (SIGKILL); returns once it has ended. NotFound when it had already gone; InvalidArgument
  // for the calling process or a process the current user does not own (nothing is sent then).
  virtual Status Terminate(const ProcessInfo& process) = 0;
  // Starts a program with no terminal input and returns its pid. The child belongs to the
  // caller, who reaps it (waitpid) or ignores SIGCHLD.
  virtual StatusOr<std::int32_t> StartHidden(const std::string& path,
                                             const std::vector<std::string>& arguments) = 0;
};

struct ProcOptions {
  std::string proc_root = "/proc";
  // When not 0, the snapshot holds only the children of this process: tests use it so that they
  // never see, and so never signal, a process they did not start.
  std::int32_t only_children_of = 0;
  std::chrono::milliseconds grace_period{1500};
};

std::unique_ptr<Processes> MakeProcProcesses(const ProcOptions& options = {});

// ----------------------------------------------------------------------------------------------
// The programs the product controls, and the process names that stand for each on Linux. The
// values are the program kinds of the running-application control.
enum class ProgramRole : int {
  kHostProgram = 1,    // the local client's host program
  kLocalClient = 2,    // the local mail client (its session and the user's mail reader)
  kMainProgram = 3,    // the product's main program
  kAccountClient = 4,  // the account mail client (its add-in host)
};

// Maps each role to names. A process matches a role when one of its names equals one of the
// role's names, compared without regard to ASCII case. The classic executable names also match
// without their last character, the form in which some process lists report long names; a
// kernel short name (15 characters, cut) matches a longer Linux name it starts.
class ProcessRoles {
 public:
  // The built-in table, plus the names of the user's mail reader for the local-client role.
  static ProcessRoles Standard(const std::vector<std::string>& mail_reader_names = {});
  // Standard() with the mail reader names from $VEXMOR_MAIL_READERS (separated by commas,
  // colons or blanks), e.g. "neomutt,claws-mail".
  static ProcessRoles FromEnvironment();

  bool Matches(ProgramRole role, const ProcessInfo& process) const;
  // The names of a role, upper-cased, classic names first.
  std::vector<std::string> Names(ProgramRole role) const;

 private:
  struct Entry {
    ProgramRole role;
    std::string upper_name;
    bool classic;  // also matches without its last character
  };
  std::vector<Entry> entries_;
};

}  // namespace vexmor::platform
