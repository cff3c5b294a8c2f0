// What the session's client may count and end: its own family and the user's mail readers,
// never our programs that belong to another session (a test next door, a second login).
#include <gtest/gtest.h>
#include <unistd.h>

#include "session.h"

namespace vexmor::session {
namespace {

using platform::ProcessInfo;

class ListedProcesses final : public platform::Processes {
 public:
  StatusOr<std::vector<ProcessInfo>> Snapshot() const override { return list; }
  Status Terminate(const ProcessInfo& process) override {
    terminated.push_back(process.pid);
    return Status::Ok();
  }
  StatusOr<std::int32_t> StartHidden(const std::string&, const std::vector<std::string>&) override {
    return Status::Unavailable("not here");
  }
  void Add(int32_t pid, int32_t parent, const std::string& name) {
    ProcessInfo info;
    info.pid = pid;
    info.parent_pid = parent;
    info.names = {name};
    list.push_back(info);
  }
  std::vector<ProcessInfo> list;
  std::vector<int32_t> terminated;
};

TEST(FamilyProcessesTest, OnlyOurFamilyAndMailReadersAreSeenAndEndingOurselvesStopsInOrder) {
  const auto self = static_cast<int32_t>(::getpid());
  const auto launcher = static_cast<int32_t>(::getppid());
  auto inner = std::make_unique<ListedProcesses>();
  ListedProcesses& listed = *inner;
  listed.Add(10, 1, "Vexmor_PlugIn");   // another session's host
  listed.Add(11, 1, "Vexmor_Session");  // another session
  listed.Add(12, 1, "neomutt");         // the user's mail reader
  listed.Add(launcher, 1, "vexmor");    // our launcher
  listed.Add(self, launcher, "Vexmor_Session");
  listed.Add(900001, self, "Vexmor_PlugIn");  // our host
  listed.Add(900002, 900001, "helper");       // and what it started
  int stops = 0;
  FamilyProcesses family(std::move(inner), [&] { ++stops; });

  auto seen = family.Snapshot();
  ASSERT_TRUE(seen.ok());
  std::vector<int32_t> pids;
  for (const ProcessInfo& process : *seen) pids.push_back(process.pid);
  EXPECT_EQ(pids, (std::vector<int32_t>{12, launcher, self, 900001, 900002}));

  EXPECT_TRUE(family.Terminate((*seen)[2]).ok());  // ourselves: an orderly stop, no signal
  EXPECT_EQ(stops, 1);
  EXPECT_TRUE(listed.terminated.empty());
  EXPECT_TRUE(family.Terminate((*seen)[3]).ok());
  EXPECT_EQ(listed.terminated, std::vector<int32_t>{900001});
}

}  // namespace
}  // namespace vexmor::session
