// "vexmor lists" run as a program against a private system folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "vexmor/testing/test_support.h"

namespace {

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

class XmlCliTest : public ::testing::Test {
 protected:
  CliRun Lists(const std::string& args) {
    std::string out = dir_.File("out");
    std::string err = dir_.File("err");
    std::string command = "VEXMOR_SYSDIR=" + dir_.path() + "sys VEXMOR_WINDIR=" + dir_.path() +
                          "win " + VEXMOR_CLI + " lists " + args + " >" + out + " 2>" + err;
    int raw = std::system(command.c_str());
    CliRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = vexmor::testing::ReadFileOrEmpty(out);
    run.err = vexmor::testing::ReadFileOrEmpty(err);
    return run;
  }
  std::string StorePath() const { return dir_.path() + "sys/Vexmor_MailIds.xml"; }

  vexmor::testing::TempDir dir_;
};

TEST_F(XmlCliTest, AddShowRemoveAndExport) {
  EXPECT_EQ(Lists("show approved ids").status, 0);  // no file yet: empty lists
  CliRun added = Lists("add approved ids Friend@Home.org other@x.net 'Jos\xC3\xA9@caf\xC3\xA9.fr'");
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out,
            "added: Friend@Home.org\nadded: other@x.net\nadded: Jos\xC3\xA9@caf\xC3\xA9.fr\n");
  EXPECT_EQ(Lists("add approved ids friend@home.org").out, "already listed: friend@home.org\n");
  EXPECT_EQ(Lists("add blocked domains spam.example").status, 0);

  EXPECT_EQ(Lists("show approved ids").out,
            "FRIEND@HOME.ORG\nOTHER@X.NET\nJOS\xC3\x89@CAF\xC3\x89.FR\n");
  EXPECT_EQ(Lists("show blocked domains").out, "SPAM.EXAMPLE\n");
  EXPECT_EQ(Lists("show blocked ids").out, "");
  EXPECT_EQ(Lists("export WId").out,
            "FRIEND@HOME.ORG[//]OTHER@X.NET[//]JOS\xC3\x89@CAF\xC3\x89.FR[//]\n");

  CliRun removed = Lists("remove approved ids OTHER@x.net nobody@x.net");
  EXPECT_EQ(removed.status, 0);
  EXPECT_EQ(removed.out, "removed: OTHER@x.net\nnot listed: nobody@x.net\n");
  EXPECT_EQ(Lists("export WId").out, "FRIEND@HOME.ORG[//]JOS\xC3\x89@CAF\xC3\x89.FR[//]\n");
}

TEST_F(XmlCliTest, UsageErrors) {
  EXPECT_EQ(Lists("").status, 2);
  EXPECT_EQ(Lists("show approved").status, 2);
  EXPECT_EQ(Lists("show friendly ids").status, 2);
  EXPECT_EQ(Lists("add blocked ids").status, 2);
  EXPECT_EQ(Lists("add blocked ids ' '").status, 2);
  EXPECT_EQ(Lists("add blocked ids '\xE2\x82\xAC\xE4\xB8\xAD@x'").status,
            2);  // no single-byte form
  EXPECT_EQ(Lists("export").status, 2);
  EXPECT_EQ(Lists("--bogus show approved ids").status, 2);
}

TEST_F(XmlCliTest, ADamagedStoreFailsClearlyAndIsLeftAlone) {
  ASSERT_EQ(Lists("add blocked ids a@b.c").status, 0);
  vexmor::testing::WriteFileOrDie(StorePath(), "<Vexmor Mail=\"Ids\"><Id>A@B.C</Id>");
  for (const char* args :
       {"show blocked ids", "add blocked ids x@y.z", "remove blocked ids a@b.c", "export Id"}) {
    CliRun run = Lists(args);
    EXPECT_EQ(run.status, 1) << args;
    EXPECT_NE(run.err.find("is damaged"), std::string::npos) << run.err;
  }
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(StorePath()), "<Vexmor Mail=\"Ids\"><Id>A@B.C</Id>");
}

TEST_F(XmlCliTest, AnUnwritableStoreFails) {
  ASSERT_EQ(Lists("add blocked ids a@b.c").status, 0);
  // A symbolic link in place of the file is read but never replaced.
  std::string target = dir_.File("real.xml");
  std::rename(StorePath().c_str(), target.c_str());
  ASSERT_EQ(::symlink(target.c_str(), StorePath().c_str()), 0);
  CliRun run = Lists("add blocked ids new@one.org");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot be used"), std::string::npos) << run.err;
  EXPECT_EQ(Lists("show blocked ids").out, "A@B.C\n");
}

}  // namespace
