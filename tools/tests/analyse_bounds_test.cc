// "vexmor analyse" on messages far beyond what the host ever hands on: memory stays bounded,
// the engine sees what the host would show it, and failures end with status 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "vexmor/testing/test_support.h"

namespace {

using nlohmann::json;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

struct ChildRun {
  int status = -1;
  long peak_kb = 0;  // the child's peak resident set
  std::string out, err;
};

ChildRun Analyse(const TempDir& dir, const std::vector<std::string>& args) {
  ChildRun run;
  const std::string out = dir.File("out"), err = dir.File("err");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("VEXMOR_WINDIR", dir.File("win").c_str(), 1);
    ::setenv("VEXMOR_SYSDIR", dir.File("sys").c_str(), 1);
    (void)!::freopen(out.c_str(), "w", stdout);
    (void)!::freopen(err.c_str(), "w", stderr);
    std::vector<const char*> argv = {VEXMOR_CLI, "analyse", "--no-throttle"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    ::execv(VEXMOR_CLI, const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peak_kb = usage.ru_maxrss;
  }
  run.out = ReadFileOrEmpty(out);
  run.err = ReadFileOrEmpty(err);
  return run;
}

// Writes "head", then "line" until the file has grown by "filler" bytes, then "tail".
void WriteLarge(const std::string& path, const std::string& head, const std::string& line,
                size_t filler, const std::string& tail) {
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs(head.c_str(), file);
  std::string block;
  while (block.size() < (1u << 20)) block += line;
  for (size_t written = 0; written < filler; written += block.size()) {
    ASSERT_EQ(std::fwrite(block.data(), 1, block.size(), file), block.size());
  }
  std::fputs(tail.c_str(), file);
  ASSERT_EQ(std::fclose(file), 0);
}

TEST(VexmorAnalyseBounds, HugeMessagesAreReadAsTheHostReadsThemInBoundedMemory) {
  TempDir dir;
  WriteFileOrDie(dir.File("small.eml"),
                 "From: friend@pals.example\nSubject: hi\nContent-Type: text/html\n\n"
                 "<html><body><a href=\"http://shop.example/x\">hi</a></body></html>\n");
  const ChildRun small = Analyse(dir, {dir.File("small.eml")});
  ASSERT_EQ(small.status, 0) << small.err;

  // 36 MB of HTML: a large message, so only its header counts, as in the host.
  WriteLarge(dir.File("html.eml"),
             "From: Bulk <bulk@offers.example>\nTo: me@example.org\nSubject: Big page\n"
             "Content-Type: text/html; charset=us-ascii\n\n<html><body>\n",
             "<p>Cheap <a href=\"http://www.bargain-pills.biz/x\">pills</a> &amp; more</p>\n",
             36u << 20, "</body></html>\n");
  // A 200 MB header, with the sender after the filler and one line of 20 MB in it.
  WriteLarge(dir.File("header.eml"),
             "Subject: Huge header\nX-Long: " + std::string(20u << 20, 'b') + "\n",
             "X-Filler: " + std::string(1013, 'a') + "\n", 180u << 20,
             "From: spammer@bad.example\nContent-Type: text/plain\n\nhello\n");

  const ChildRun html = Analyse(dir, {dir.File("html.eml")});
  ASSERT_EQ(html.status, 0) << html.err;
  json page = json::parse(html.out);
  EXPECT_EQ(page["sender"], "bulk@offers.example");
  EXPECT_EQ(page["subject"], "Big page");
  EXPECT_EQ(page["large"], true);
  // No body work on a large message (and no 36 MB of text in a failure message either).
  EXPECT_TRUE(page["normalised"].get<std::string>().empty());
  EXPECT_GT(page["size"].get<int64_t>(), int64_t{36} << 20);

  const ChildRun header = Analyse(dir, {dir.File("header.eml")});
  ASSERT_EQ(header.status, 0) << header.err;
  json head = json::parse(header.out);
  EXPECT_EQ(head["sender"], "spammer@bad.example");
  EXPECT_EQ(head["domain"], "bad.example");
  EXPECT_EQ(head["subject"], "Huge header");
  EXPECT_EQ(head["header_cut"], true);

  // Both stay within ten megabytes of what a tiny message needs.
  EXPECT_LT(html.peak_kb, small.peak_kb + 10 * 1024) << "small: " << small.peak_kb;
  EXPECT_LT(header.peak_kb, small.peak_kb + 10 * 1024) << "small: " << small.peak_kb;
}

TEST(VexmorAnalyseBounds, FailuresEndWithStatusOneAndSayWhy) {
  TempDir dir;
  const ChildRun folder = Analyse(dir, {dir.path()});
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.err.find("cannot read"), std::string::npos) << folder.err;
  EXPECT_EQ(folder.out, "");

  // JSON lines beyond the bounds are refused line by line; the rest is analysed.
  const std::string long_line = std::string(9u << 20, ' ') + "{}";
  const std::string long_body = json{{"body", std::string(500000, 'x')}}.dump();
  WriteFileOrDie(dir.File("lines"),
                 long_line + "\n" + long_body + "\n" + json{{"subject", "a b"}}.dump() + "\n");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("VEXMOR_WINDIR", dir.File("win").c_str(), 1);
    ::setenv("VEXMOR_SYSDIR", dir.File("sys").c_str(), 1);
    (void)!::freopen(dir.File("lines").c_str(), "r", stdin);
    (void)!::freopen(dir.File("out").c_str(), "w", stdout);
    ::execl(VEXMOR_CLI, VEXMOR_CLI, "analyse", "--jsonl", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::vector<json> lines;
  const std::string out = ReadFileOrEmpty(dir.File("out"));
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(json::parse(out.substr(at, end - at)));
  }
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0]["line"], 1);
  EXPECT_NE(lines[0]["error"].get<std::string>().find("longer than"), std::string::npos);
  EXPECT_EQ(lines[1]["line"], 2);
  EXPECT_NE(lines[1]["error"].get<std::string>().find("'body'"), std::string::npos);
  EXPECT_EQ(lines[2]["normalised"], "a b");
}

}  // namespace
