// Runs the built "vexmor" program the way users and scripts do.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include <cerrno>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "vexmor/testing/test_support.h"

namespace {

using nlohmann::json;
using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

struct Result {
  int status = -1;
  std::string out;
};

// Runs "vexmor ARGS < input" with a private Windows directory.
Result RunVexmor(const std::string& args, const std::string& input = "",
                 const std::string& prefix = "") {
  static TempDir dir;
  WriteFileOrDie(dir.File("stdin"), input);
  std::string command = "VEXMOR_WINDIR=" + dir.path() + "win VEXMOR_SYSDIR=" + dir.path() + "sys " +
                        prefix + VEXMOR_CLI + " " + args + " < " + dir.File("stdin") + " 2>&1";
  Result result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::vector<json> Lines(const std::string& out) {
  std::vector<json> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(json::parse(line));
  return lines;
}

TEST(VexmorSignature, ContentAndLinkSignatures) {
  EXPECT_EQ(RunVexmor("signature --no-throttle", "a B, c!").out, "57671974\n");
  EXPECT_EQ(RunVexmor("signature --link", "abc").out, "57671974\n");
  EXPECT_NE(RunVexmor("signature --link", "ABC").out, "57671974\n");
  EXPECT_EQ(RunVexmor("signature", "").out, "0\n");
  TempDir dir;
  WriteFileOrDie(dir.File("text"), "a=20b");
  EXPECT_EQ(RunVexmor("signature " + dir.File("text")).out, RunVexmor("signature", "ab").out);
}

TEST(VexmorSignature, BadArguments) {
  Result missing = RunVexmor("signature /no/such/file");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("cannot read"), std::string::npos);
  EXPECT_EQ(RunVexmor("signature --frobnicate").status, 2);
  EXPECT_EQ(RunVexmor("no-such-command").status, 2);
  EXPECT_EQ(RunVexmor("--help").status, 0);
}

TEST(VexmorAnalyse, JsonLinesGiveEveryValue) {
  json input = {{"subject", "Hi"},
                {"sender", "Ann"},
                {"header",
                 "From: Ann <ann@example.com>\r\nTo: <bob@example.org>\r\n"
                 "Content-Type: text/plain; charset=\"gb2312\"\r\n"},
                {"body", "a=20b http://www.shop.example.com/x"},
                {"extra", ""},
                {"kind", 0}};
  Result result = RunVexmor("analyse --jsonl --no-throttle", input.dump() + "\n");
  ASSERT_EQ(result.status, 0) << result.out;
  std::vector<json> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 1u);
  const json& out = lines[0];
  EXPECT_EQ(out["sender"], "ann@example.com");
  EXPECT_EQ(out["domain"], "example.com");
  EXPECT_EQ(out["charset"], "GB2312");
  EXPECT_EQ(out["link_domain"], "example.com");
  EXPECT_EQ(out["normalised"], "Hia:b http://www.shop.example.com/x");
  EXPECT_EQ(out["content_signature"],
            std::stoll(RunVexmor("signature", "Hia:b http://www.shop.example.com/x").out));
  EXPECT_EQ(out["link_signature"], std::stoll(RunVexmor("signature --link", "example.com").out));
  EXPECT_EQ(out["recipients"], json::array({"bob@example.org"}));
}

TEST(VexmorAnalyse, BytesTravelAsCodePointsUpToFf) {
  json input = {{"subject", "\xC3\x81\xC3\xA1"}, {"body", ""}, {"kind", 0}};  // bytes C1 E1
  std::vector<json> lines = Lines(RunVexmor("analyse --jsonl", input.dump() + "\n").out);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["normalised"], "\xC3\x81\xC3\xA1");
  EXPECT_EQ(lines[0]["content_signature"], std::stoll(RunVexmor("signature", "a\xE1").out));
  EXPECT_EQ(lines[0]["link_signature"], 0);
}

TEST(VexmorAnalyse, MalformedLinesAreReportedAndTheRestGoesOn) {
  std::string input =
      "{\"subject\":\"a\"}\n"
      "not json\n"
      "[1,2]\n"
      "{\"subject\":5}\n"
      "{\"subject\":\"\\u0100\"}\n"
      "{\"kind\":\"html\"}\n"
      "\n"
      "{\"subject\":\"b\",\"kind\":1,\"body\":\"<html><b>c</b></html>\"}\n";
  Result result = RunVexmor("analyse --jsonl", input);
  EXPECT_EQ(result.status, 1);
  std::vector<json> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0]["normalised"], "a");
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(lines[i]["line"], i + 1);
    EXPECT_TRUE(lines[i]["error"].is_string());
  }
  EXPECT_EQ(lines[6]["normalised"], "bc");
}

TEST(VexmorAnalyse, RealMessagesFromTheCorpus) {
  std::string corpus = vexmor::testing::TestDataDir() + "/corpus/";
  Result result = RunVexmor("analyse --no-throttle " + corpus + "spam-2_00002.eml " + corpus +
                            "easy-ham-1_00001.eml");
  ASSERT_EQ(result.status, 0) << result.out;
  std::vector<json> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["sender"], "lmrn@mailexcite.com");
  EXPECT_EQ(lines[0]["kind"], 1);
  EXPECT_EQ(lines[0]["link_domain"], "geocities.com");
  EXPECT_NE(lines[0]["content_signature"], 0);
  EXPECT_EQ(lines[1]["sender"], "kre@munnari.OZ.AU");
  EXPECT_EQ(lines[1]["kind"], 0);
  EXPECT_EQ(lines[1]["charset"], "US-ASCII");
}

TEST(VexmorAnalyse, UnreadableAndEmptyMessages) {
  TempDir dir;
  WriteFileOrDie(dir.File("empty.eml"), "");
  EXPECT_EQ(RunVexmor("analyse " + dir.File("empty.eml")).status, 1);
  EXPECT_EQ(RunVexmor("analyse /no/such.eml").status, 1);
  EXPECT_EQ(RunVexmor("analyse").status, 2);
}

}  // namespace

namespace {

TEST(VexmorSetup, RecordsTheInstallDirectoryAndTheFilterSwitch) {
  TempDir windows;
  TempDir install;
  std::string env = "VEXMOR_WINDIR=" + windows.path() + " ";
  std::string command =
      env + VEXMOR_CLI + " setup --install-dir " + install.path() + "sub --filter on > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(windows.File("Vexmor_Path.ini")),
            "[Vexmor]\nPath=" + install.path() + "sub/\nPath_Len=" +
                std::to_string(install.path().size() + 5) + "\nReceiveMsg_Start=1\n");
  command = env + VEXMOR_CLI + " setup --filter off > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_NE(
      vexmor::testing::ReadFileOrEmpty(windows.File("Vexmor_Path.ini")).find("ReceiveMsg_Start=0"),
      std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat((install.path() + "sub").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(windows.File("Vexmor_Path.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_NE(std::system((env + VEXMOR_CLI + " setup --filter maybe 2>/dev/null").c_str()), 0);
  EXPECT_NE(std::system((env + VEXMOR_CLI + " setup --install-dir relative 2>/dev/null").c_str()),
            0);
}

// The special folders are in the store's tree whether or not a reader made them; the listing
// shows those that are on disk (under our name or another reader's), and every other folder.
TEST(VexmorStore, TreeShowsOnlyFoldersOnDisk) {
  TempDir maildir;
  for (const std::string dir : {"", ".Trash/", ".Keep/"}) {
    for (const char* sub : {"cur", "new", "tmp"}) {
      ASSERT_EQ(::mkdir((maildir.path() + dir).c_str(), 0700) == 0 || errno == EEXIST, true);
      ASSERT_EQ(::mkdir((maildir.path() + dir + sub).c_str(), 0700), 0);
    }
  }
  Result tree = RunVexmor("store --maildir " + maildir.path() + " tree");
  ASSERT_EQ(tree.status, 0) << tree.out;
  EXPECT_NE(tree.out.find("Folders\\Inbox\n"), std::string::npos) << tree.out;
  EXPECT_NE(tree.out.find("Folders\\Deleted Items\n"), std::string::npos) << tree.out;
  EXPECT_NE(tree.out.find("Folders\\Keep\n"), std::string::npos) << tree.out;
  for (const char* absent : {"Outbox", "Sent Items", "Drafts"}) {
    EXPECT_EQ(tree.out.find(absent), std::string::npos) << absent << "\n" << tree.out;
  }
}

}  // namespace

namespace {

using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

TEST(VexmorLists, ARefusedValueChangesNothing) {
  Result refused = RunVexmor("lists add blocked ids first@a.example x \"$(printf 'new\\nline')\"");
  EXPECT_EQ(refused.status, 2) << refused.out;
  EXPECT_NE(refused.out.find("cannot be stored"), std::string::npos) << refused.out;
  EXPECT_EQ(RunVexmor("lists add blocked ids second@a.example ''").status, 2);
  auto shown = [] {
    std::string out = RunVexmor("lists show blocked ids").out;
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
  };
  EXPECT_EQ(shown().find("A.EXAMPLE"), std::string::npos) << shown();
  EXPECT_EQ(RunVexmor("lists add blocked ids first@a.example x").status, 0);
  EXPECT_NE(shown().find("FIRST@A.EXAMPLE"), std::string::npos);
}

TEST(VexmorStore, ReadsOnlyRegularFilesInsideTheMaildir) {
  TempDir maildir;
  TempDir outside;
  for (const char* sub : {"cur", "new", "tmp"})
    ASSERT_EQ(::mkdir(maildir.File(sub).c_str(), 0755), 0);
  WriteFileOrDie(outside.File("passwd"), "root:x:0:0");
  WriteFileOrDie(maildir.File("cur/1.A.host:2,S"), "Subject: real\r\n\r\nbody\r\n");
  ASSERT_EQ(::symlink(outside.File("passwd").c_str(), maildir.File("cur/2.B.host:2,S").c_str()), 0);
  ASSERT_EQ(::mkdir(maildir.File("cur/3.C.host:2,S").c_str(), 0755), 0);
  std::string store = "store --maildir " + maildir.path() + " ";
  Result list = RunVexmor(store + "list 4");
  ASSERT_EQ(list.status, 0) << list.out;
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1) << list.out;
  EXPECT_NE(list.out.find("real"), std::string::npos);
  Result tree = RunVexmor(store + "tree");
  EXPECT_NE(tree.out.find("4\t1\t"), std::string::npos) << tree.out;  // the same count
  for (int id = 2; id <= 4; ++id) {
    Result show = RunVexmor(store + "show 4 " + std::to_string(id));
    EXPECT_EQ(show.status, 1);
    EXPECT_EQ(show.out.find("root:x"), std::string::npos);
  }
}

TEST(VexmorCommands, DirectoriesAndFifosGetOneMessageAndNeverBlock) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  for (const std::string& command : {std::string("signature "), std::string("analyse ")}) {
    for (const std::string& target : {dir.path(), dir.File("fifo")}) {
      Result result = RunVexmor(command + target, "", "timeout 20 ");
      EXPECT_EQ(result.status, 1) << command << target << ": " << result.out;
      EXPECT_NE(result.out.find("cannot read '" + target + "'"), std::string::npos) << result.out;
      EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
    }
  }
}

}  // namespace
