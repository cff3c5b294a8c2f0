// The command line as a user meets it: help on every command, usage errors, the values it lets
// into the sender lists and the server table, the verdict log, the manual page and the
// completion, and the libraries it starts with.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "vexmor/testing/test_support.h"
#include "vexmor/testing/wait.h"

namespace {

using nlohmann::json;
using vexmor::testing::CountOf;
using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::TempDir;
using vexmor::testing::WriteFileOrDie;

struct Outcome {
  int status = -1;
  std::string out, err;
};

class CommandLine : public ::testing::Test {
 protected:
  // "vexmor ARGS" (shell words) with this test's own Windows and system folders.
  Outcome Vexmor(const std::string& args, const std::string& env = "") {
    const std::string command =
        "VEXMOR_WINDIR=" + dir_.path() + "win VEXMOR_SYSDIR=" + dir_.path() + "sys " + env + " " +
        VEXMOR_CLI + " " + args + " </dev/null >" + dir_.File("out") + " 2>" + dir_.File("err");
    Outcome run;
    const int status = std::system(command.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFileOrEmpty(dir_.File("out"));
    run.err = ReadFileOrEmpty(dir_.File("err"));
    return run;
  }

  // Every command path the help pages name, found by walking them ("lists add", ...).
  std::vector<std::string> CommandPaths(const std::string& path = "") {
    std::vector<std::string> paths;
    const Outcome help = Vexmor(path + " --help");
    EXPECT_EQ(help.status, 0) << path << help.err;
    std::istringstream lines(help.out);
    std::string line;
    bool in_list = false;
    while (std::getline(lines, line)) {
      if (line == "Subcommands:") {
        in_list = true;
        continue;
      }
      if (!in_list) continue;
      if (line.size() < 3 || line[0] != ' ' || line[2] == ' ') {
        in_list = line.size() >= 3 && line[0] == ' ';
        continue;
      }
      std::string name = line.substr(2, line.find_first_of(" ,", 2) - 2);
      const std::string sub = path.empty() ? name : path + " " + name;
      paths.push_back(sub);
      for (const std::string& deeper : CommandPaths(sub)) paths.push_back(deeper);
    }
    return paths;
  }

  TempDir dir_;
};

TEST_F(CommandLine, EveryCommandHasHelpAndUsageErrorsAreSaidOnce) {
  const std::vector<std::string> paths = CommandPaths();
  // The commands scripts call, and the nested ones, are all there.
  for (const char* expected :
       {"signature", "analyse", "setup", "addin", "addin register", "lists add", "store list",
        "account set", "outlook select", "start", "stop", "status", "cycle", "check", "server set",
        "server show", "log"}) {
    EXPECT_NE(std::find(paths.begin(), paths.end(), expected), paths.end()) << expected;
  }
  for (const std::string& path : paths) {
    const Outcome help = Vexmor(path + " --help");
    EXPECT_EQ(help.status, 0) << path << ": " << help.err;
    EXPECT_NE(help.out.find("Usage: vexmor " + path), std::string::npos) << path << help.out;
    EXPECT_EQ(help.err, "") << path;
  }
  const Outcome unknown = Vexmor("signature --frobnicate");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(CountOf(unknown.err, "--frobnicate"), 1u) << unknown.err;
  EXPECT_EQ(unknown.out, "");
  const Outcome bad_choice = Vexmor("cycle sleeping");
  EXPECT_EQ(bad_choice.status, 2);
  EXPECT_EQ(CountOf(bad_choice.err, "sleeping"), 1u) << bad_choice.err;
  EXPECT_EQ(Vexmor("").status, 2);
  EXPECT_EQ(Vexmor("lists").status, 2);
  const Outcome version = Vexmor("--version");
  EXPECT_EQ(version.out, std::string("vexmor ") + VEXMOR_PROJECT_VERSION + "\n");
}

TEST_F(CommandLine, ListsTakeOnlyAddressesAndDomainsAndTheExportStaysIntact) {
  ASSERT_EQ(Vexmor("lists add blocked ids spammer@bad.example MAILER-DAEMON").status, 0);
  ASSERT_EQ(Vexmor("lists add blocked domains bad.example sub.bad-host.example").status, 0);
  const std::string ids = Vexmor("lists export Id").out;
  const std::string domains = Vexmor("lists export BD_Id").out;
  EXPECT_EQ(ids, "SPAMMER@BAD.EXAMPLE[//]MAILER-DAEMON[//]\n");
  EXPECT_EQ(domains, "BAD.EXAMPLE[//]SUB.BAD-HOST.EXAMPLE[//]\n");

  for (const char* refused :
       {"'x[//]y'", "'two words@a.example'", "'a@b@c.example'", "'<a@b.example>'", "'a@'",
        "'@b.example'", "'a@b..example'", "'\"quoted\"@b.example'"}) {
    const Outcome run = Vexmor(std::string("lists add blocked ids ok@fine.example ") + refused);
    EXPECT_EQ(run.status, 2) << refused;
    EXPECT_EQ(CountOf(run.err, "cannot be stored"), 1u) << refused << run.err;
  }
  for (const char* refused : {"'not a domain!'", "'x[//]y'", "'a@b.example'", "'.example'",
                              "'example.'", "'b..example'", "''"}) {
    const Outcome run = Vexmor(std::string("lists add approved domains fine.example ") + refused);
    EXPECT_EQ(run.status, 2) << refused;
  }
  // A refusal stores none of the values given with it.
  EXPECT_EQ(Vexmor("lists export Id").out, ids);
  EXPECT_EQ(Vexmor("lists export BD_Id").out, domains);
  EXPECT_EQ(Vexmor("lists export WD_Id").out, "\n");
  EXPECT_EQ(Vexmor("lists export Nonsense").status, 2);

  // Whatever got in by hand can still be removed.
  const std::string file = dir_.path() + "sys/Vexmor_MailIds.xml";
  std::string xml = ReadFileOrEmpty(file);
  const size_t end = xml.rfind("</Vexmor>");
  ASSERT_NE(end, std::string::npos) << xml;
  WriteFileOrDie(file, xml.insert(end, "<Id>BROKEN ENTRY</Id>\n"));
  const Outcome removed = Vexmor("lists remove blocked ids 'broken entry'");
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out, "removed: broken entry\n");
  EXPECT_EQ(Vexmor("lists export Id").out, ids);
}

TEST_F(CommandLine, ServerSetWritesWhatTheClientsReadAndRefusesTheRest) {
  const Outcome none = Vexmor("server show --json");
  ASSERT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(json::parse(none.out)["configured"], false);

  const Outcome set = Vexmor("server set 'sigd.example:8631, backup.example@192.0.2.7'");
  ASSERT_EQ(set.status, 0) << set.err;
  const json shown = json::parse(Vexmor("server show --json").out);
  EXPECT_EQ(shown["configured"], true);
  EXPECT_EQ(shown["value"], "sigd.example:8631,backup.example@192.0.2.7");
  EXPECT_EQ(shown["servers"], json::parse(R"([{"host":"sigd.example:8631"},
      {"host":"backup.example","probe_address":"192.0.2.7"}])"));
  // The first server is the one in use until a nearer one is chosen.
  EXPECT_EQ(shown["in_use"], "sigd.example:8631");
  EXPECT_NE(ReadFileOrEmpty(dir_.path() + "win/user.reg").find("\"Signature Servers\""),
            std::string::npos);

  for (const char* refused :
       {"'bad host!'", "'a.example:0'", "'a.example:70000'", "'a.example@not.an.address'",
        "'http://a.example/'", "','", "a,b,c,d,e,f"}) {
    const Outcome run = Vexmor(std::string("server set ") + refused);
    EXPECT_EQ(run.status, 2) << refused << run.out;
    EXPECT_EQ(json::parse(Vexmor("server show --json").out), shown) << refused;
  }
  EXPECT_EQ(Vexmor("server set").status, 2);
  const Outcome text = Vexmor("server show");
  EXPECT_EQ(text.out,
            "signature servers: sigd.example:8631,backup.example@192.0.2.7\n"
            "in use: sigd.example:8631\n");
}

TEST_F(CommandLine, LogShowsTheLastVerdictsAndFollowsNewOnes) {
  const std::string install = dir_.path() + "install/";
  ASSERT_EQ(Vexmor("setup --install-dir " + install).status, 0);
  EXPECT_EQ(Vexmor("log").status, 0);  // no verdicts yet is no failure
  const std::string local =
      R"({"time":"2026-12-07T11:52:02Z","folder":4,"message":12,"message_id":"<a@b>",)"
      R"("subject":"Cheap pills","sender":"x@bargain.example","verdict":"spam",)"
      R"("rule":"blocked-domain","signatures":[]})";
  const std::string account =
      R"({"time":"2026-12-07T11:53:00Z","folder":0,"message":17,"mailbox":"INBOX",)"
      R"("message_id":"c@d","subject":"Minutes","sender":"ann@work.example",)"
      R"("verdict":"normal","rule":"none","signatures":[]})";
  // A writer that gives the folder's name and the rule in words is read as it says.
  const std::string named =
      R"({"time":"2026-12-07T11:54:00Z","folder":"Inbox","message_id":"<e@f>",)"
      R"("subject":"Hello","sender":"bob@friend.example","verdict":"normal",)"
      R"("rule":"approved-sender","rule_text":"its sender is approved"})";
  WriteFileOrDie(install + "verdicts.jsonl",
                 local + "\n{\"cut short\n" + account + "\n" + named + "\n");

  const Outcome two = Vexmor("log -n 2");
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(two.out,
            "2026-12-07 11:53:00  normal  INBOX  ann@work.example  \"Minutes\" <c@d>: stayed "
            "in its folder: no rule found it to be spam\n"
            "2026-12-07 11:54:00  normal  Inbox  bob@friend.example  \"Hello\" <e@f>: its "
            "sender is approved\n");
  const Outcome all = Vexmor("log");
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 3) << all.out;
  EXPECT_NE(all.out.find("folder 4  x@bargain.example  \"Cheap pills\" <a@b>: moved to Spam: "
                         "its sender's domain bargain.example is on your blocked domains list"),
            std::string::npos)
      << all.out;

  // --follow prints what is written after it started.
  const std::string out = dir_.File("follow.out");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("VEXMOR_WINDIR", (dir_.path() + "win").c_str(), 1);
    ::setenv("VEXMOR_SYSDIR", (dir_.path() + "sys").c_str(), 1);
    std::freopen(out.c_str(), "w", stdout);
    ::execl(VEXMOR_CLI, VEXMOR_CLI, "log", "--follow", "-n", "1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Once it has shown the last verdict, it follows.
  ASSERT_TRUE(vexmor::testing::WaitForText(out, "\"Hello\"")) << ReadFileOrEmpty(out);
  std::string later = local;
  later.replace(later.find("Cheap pills"), 11, "Later one");
  {
    std::ofstream append(install + "verdicts.jsonl", std::ios::app);
    append << later << "\n";
  }
  const bool seen = vexmor::testing::WaitForText(out, "\"Later one\"");
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(seen) << ReadFileOrEmpty(out);
  EXPECT_EQ(ReadFileOrEmpty(out).find("Cheap pills"), std::string::npos);
}

TEST_F(CommandLine, ManualPageAndCompletionNameEveryCommand) {
  const std::string man = ReadFileOrEmpty(VEXMOR_MAN_PAGE);
  const std::string completion = ReadFileOrEmpty(VEXMOR_COMPLETION);
  ASSERT_FALSE(man.empty());
  ASSERT_FALSE(completion.empty());
  EXPECT_NE(man.find(std::string("\"Vexmor ") + VEXMOR_PROJECT_VERSION + "\""), std::string::npos);
  EXPECT_EQ(man.find("@VEXMOR"), std::string::npos);
  auto roff = [](std::string text) {
    std::string out;
    for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
  };
  for (const std::string& path : CommandPaths()) {
    EXPECT_NE(man.find(".SS \"vexmor " + roff(path)), std::string::npos) << path;
    EXPECT_NE(completion.find("subs['vexmor " + path + "']="), std::string::npos) << path;
  }
}

TEST_F(CommandLine, CompletionOffersCommandsOptionsAndValues) {
  // bash-completion's two helpers, reduced to what the script needs from them.
  const std::string script = dir_.File("complete.sh");
  WriteFileOrDie(script, std::string(R"(
_init_completion() {
  words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD
  cur=${words[cword]}; prev=${words[cword-1]}
}
_filedir() { COMPREPLY+=(FILES${1:+$1}); }
source ")") + VEXMOR_COMPLETION +
                             R"("
complete_line() {
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
  _vexmor
  echo "$1|${COMPREPLY[*]}"
}
complete_line "vexmor ou"
complete_line "vexmor cy"
complete_line "vexmor start --"
complete_line "vexmor status --"
complete_line "vexmor lists add "
complete_line "vexmor lists --install-dir /tmp add blocked "
complete_line "vexmor setup --filter "
complete_line "vexmor start --maildir "
complete_line "vexmor server "
complete_line "vexmor analyze "
)");
  const std::string command = "bash " + script + " >" + dir_.File("completed") + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFileOrEmpty(dir_.File("completed"));
  std::istringstream lines(ReadFileOrEmpty(dir_.File("completed")));
  std::map<std::string, std::set<std::string>> offered;
  std::string line;
  while (std::getline(lines, line)) {
    const size_t bar = line.find('|');
    ASSERT_NE(bar, std::string::npos) << line;
    std::istringstream words(line.substr(bar + 1));
    std::string word;
    while (words >> word) offered[line.substr(0, bar)].insert(word);
  }
  using Set = std::set<std::string>;
  EXPECT_EQ(offered["vexmor ou"], Set({"outlook"}));
  EXPECT_EQ(offered["vexmor cy"], Set({"cycle"}));
  EXPECT_EQ(offered["vexmor start --"],
            Set({"--help", "--install-dir", "--maildir", "--foreground"}));
  EXPECT_EQ(offered["vexmor status --"], Set({"--help", "--json"}));
  EXPECT_EQ(offered["vexmor lists add "], Set({"approved", "blocked"}));
  EXPECT_EQ(offered["vexmor lists --install-dir /tmp add blocked "], Set({"ids", "domains"}));
  EXPECT_EQ(offered["vexmor setup --filter "], Set({"on", "off"}));
  EXPECT_EQ(offered["vexmor start --maildir "], Set({"FILES-d"}));
  EXPECT_EQ(offered["vexmor server "], Set({"set", "show"}));
  EXPECT_EQ(offered["vexmor analyze "], Set({"FILES"}));
}

TEST_F(CommandLine, StartsWithoutTheToolkitAndSaysSoWhenAWindowCannotBeShown) {
  const std::string command =
      std::string("LD_TRACE_LOADED_OBJECTS=1 ") + VEXMOR_CLI + " >" + dir_.File("libs") + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string libs = ReadFileOrEmpty(dir_.File("libs"));
  ASSERT_NE(libs.find("libVexmor_Validate.so"), std::string::npos) << libs;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (A sanitizer build keeps every library its instrumentation refers to: the start-up cost is
  // the plain build's to show.)
  for (const char* absent : {"libwx_", "libgtk", "libgdk", "libX11", "libetpan"}) {
    EXPECT_EQ(libs.find(absent), std::string::npos) << absent << "\n" << libs;
  }
#endif

  // The same program without its modules beside it: the senders dialog is refused with the
  // reason, and the lists still work on the terminal.
  // The libraries it links stay beside it (a sanitizer build links one more than a plain one).
  TempDir alone;
  const std::string copy = alone.path() + "vexmor";
  std::string setup = "cp " + std::string(VEXMOR_CLI) + " " + copy;
  std::istringstream lines(libs);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find("libVexmor_");
    if (at == std::string::npos) continue;
    const std::string name = line.substr(at, line.find_first_of(" \t", at) - at);
    setup += " && ln -sf " + std::string(VEXMOR_BIN_DIR) + "/" + name + " " + alone.path();
  }
  ASSERT_EQ(std::system(setup.c_str()), 0) << setup;
  const std::string env =
      "VEXMOR_WINDIR=" + dir_.path() + "win VEXMOR_SYSDIR=" + dir_.path() + "sys DISPLAY=:97 ";
  std::system((env + copy + " lists edit approved >" + dir_.File("out") + " 2>" + dir_.File("err") +
               "; echo $? >" + dir_.File("status"))
                  .c_str());
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("status")), "1\n");
  const std::string err = ReadFileOrEmpty(dir_.File("err"));
  EXPECT_NE(err.find("cannot load " + alone.path() + "libVexmor_ToolsDisplay.so"),
            std::string::npos)
      << err;
  EXPECT_EQ(
      std::system((env + copy + " lists add approved ids ann@friend.example >/dev/null").c_str()),
      0);
}

TEST_F(CommandLine, HelpPrintsThePageWithoutAnOpener) {
  const Outcome run = Vexmor("help", "PATH=/nonexistent VEXMOR_OPEN_COMMAND=");
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_FALSE(run.out.empty());
  const std::string page = run.out.substr(0, run.out.size() - 1);
  EXPECT_EQ(page.front(), '/');
  EXPECT_NE(ReadFileOrEmpty(page).find("<html"), std::string::npos) << page;
}

}  // namespace
