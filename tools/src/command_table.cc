// The command table: each command's options and arguments, and what it hands to its command
// function (commands.h) once CLI11 has checked them.
#include "command_table.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "commands.h"
#include "sender_value.h"

#ifndef VEXMOR_VERSION
#error "VEXMOR_VERSION comes from the project's version"
#endif

namespace vexmor::tools {
namespace {

constexpr int kUsageStatus = 2;

// Options and arguments one command collects; kept alive by the callbacks that read them.
struct Values {
  std::string install_dir, maildir, file, folder, family, kind, name, value;
  std::vector<std::string> list, ids;
  bool flag_a = false, flag_b = false, flag_c = false, yes = false, no = false, ask = false,
       json = false;
  int count = -1;
};

class Builder {
 public:
  explicit Builder(CommandTable& table) : table_(table) {}

  CLI::App* Command(CLI::App* parent, const std::string& name, const std::string& help) {
    CLI::App* command = parent->add_subcommand(name, help);
    // Help that fits a terminal: the options' descriptions under their names.
    command->get_formatter()->column_width(34);
    return command;
  }

  // A positional argument or option value out of a fixed set.
  CLI::Option* OneOf(CLI::Option* option, std::vector<std::string> values) {
    option->check(CLI::IsMember(values));
    table_.choices[option] = std::move(values);
    return option;
  }

  // Values offered by the completion and the manual page, where the command takes others too.
  CLI::Option* Suggest(CLI::Option* option, std::vector<std::string> values) {
    table_.choices[option] = std::move(values);
    return option;
  }

  // The command runs this once parsing has succeeded; "check" first refuses values the command
  // must not see (it throws CLI::ValidationError, a usage error).
  void Runs(CLI::App* command, std::function<int(const ToolPorts&)> run,
            std::function<void()> check = {}) {
    command->callback([table = &table_, run = std::move(run), check = std::move(check)] {
      if (check) check();
      table->run = run;
    });
  }

  // --yes / --no (and --ask where the host asks on standard input).
  void Answers(CLI::App* command, Values& v, bool with_ask) {
    CLI::Option* yes = command->add_flag("--yes", v.yes, "answer every question with yes");
    CLI::Option* no = command->add_flag("--no", v.no, "answer every question with no");
    yes->excludes(no);
    if (with_ask) {
      CLI::Option* ask =
          command->add_flag("--ask", v.ask, "ask on standard input (the default on a terminal)");
      ask->excludes(yes)->excludes(no);
    }
  }

 private:
  CommandTable& table_;
};

std::vector<std::string> AnswerArgs(const Values& v) {
  if (v.yes) return {"--yes"};
  if (v.no) return {"--no"};
  if (v.ask) return {"--ask"};
  return {};
}

Args Join(Args head, const Args& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

void AddSignatureAndAnalyse(Builder& b, CLI::App& app) {
  auto v = std::make_shared<Values>();
  CLI::App* sig = b.Command(&app, "signature",
                            "print the signed decimal content signature of FILE (or standard "
                            "input)");
  sig->add_flag("--link", v->flag_a, "the plain signature of the link text instead");
  sig->add_flag("--no-throttle", v->flag_b, "compute at full speed (as VEXMOR_THROTTLE=off)");
  sig->add_option("FILE", v->file, "the text to sign; - or nothing: standard input");
  b.Runs(sig, [v](const ToolPorts&) {
    Args args;
    if (v->flag_a) args.push_back("--link");
    if (v->flag_b) args.push_back("--no-throttle");
    if (!v->file.empty()) args.push_back(v->file);
    return RunSignature(args);
  });

  auto a = std::make_shared<Values>();
  CLI::App* analyse =
      b.Command(&app, "analyse",
                "analyse messages as the filter engine does, one JSON line each: message files, "
                "or with --jsonl lines {subject, sender, header, body, extra, kind} on standard "
                "input");
  analyse->alias("analyze");
  CLI::Option* jsonl = analyse->add_flag("--jsonl", a->flag_a, "read JSON lines on standard input");
  analyse->add_flag("--no-throttle", a->flag_b, "compute signatures at full speed");
  CLI::Option* files = analyse->add_option("FILE", a->list, "message files (.eml)");
  jsonl->excludes(files);
  b.Runs(analyse, [a](const ToolPorts& ports) {
    Args args;
    if (a->flag_a) args.push_back("--jsonl");
    if (a->flag_b) args.push_back("--no-throttle");
    return RunAnalyse(ports, Join(args, a->list));
  });
}

void AddLists(Builder& b, CLI::App& app) {
  auto top = std::make_shared<Values>();
  CLI::App* lists = b.Command(&app, "lists",
                              "the approved and blocked senders and domains (Vexmor_MailIds.xml "
                              "in $VEXMOR_SYSDIR)");
  lists->require_subcommand(1);
  lists
      ->add_option("--install-dir", top->install_dir,
                   "the folder whose Vexmor_Message.ini receives error marks")
      ->type_name("DIR");
  auto prefix = [top] {
    return top->install_dir.empty() ? Args{} : Args{"--install-dir", top->install_dir};
  };

  auto family_and_kind = [&b](CLI::App* command, Values& v) {
    b.OneOf(command->add_option("FAMILY", v.family, "approved or blocked")->required(),
            {"approved", "blocked"});
    b.OneOf(command->add_option("KIND", v.kind, "ids (addresses) or domains")->required(),
            {"ids", "domains"});
  };

  auto show_values = std::make_shared<Values>();
  CLI::App* show = b.Command(lists, "show", "print one list, a value a line");
  family_and_kind(show, *show_values);
  b.Runs(show, [prefix, show_values](const ToolPorts& ports) {
    return RunLists(ports, Join(prefix(), {"show", show_values->family, show_values->kind}));
  });

  auto add_values = std::make_shared<Values>();
  CLI::App* add = b.Command(lists, "add",
                            "add addresses (ids) or domain names (domains) to a list; nothing is "
                            "stored unless every value is one");
  family_and_kind(add, *add_values);
  add->add_option("VALUE", add_values->list, "an address (name@domain) or a domain name")
      ->required();
  b.Runs(
      add,
      [prefix, add_values](const ToolPorts& ports) {
        return RunLists(ports, Join(prefix(), Join({"add", add_values->family, add_values->kind},
                                                   add_values->list)));
      },
      [add_values] {
        const bool domains = add_values->kind == "domains";
        for (const std::string& value : add_values->list) {
          if (std::string problem = SenderValueProblem(value, domains); !problem.empty()) {
            throw CLI::ValidationError("VALUE", "'" + value + "' cannot be stored: " + problem);
          }
        }
      });

  auto remove_values = std::make_shared<Values>();
  CLI::App* remove = b.Command(lists, "remove",
                               "remove values from a list (any value, so that a damaged entry "
                               "can go)");
  family_and_kind(remove, *remove_values);
  remove->add_option("VALUE", remove_values->list, "the values to remove")->required();
  b.Runs(remove, [prefix, remove_values](const ToolPorts& ports) {
    return RunLists(ports,
                    Join(prefix(), Join({"remove", remove_values->family, remove_values->kind},
                                        remove_values->list)));
  });

  auto export_values = std::make_shared<Values>();
  CLI::App* exported =
      b.Command(lists, "export", "print a list as the product exports it, values joined by [//]");
  b.OneOf(
      exported->add_option("ELEMENT", export_values->name, "the list's element name")->required(),
      {"Id", "WId", "BD_Id", "WD_Id"});
  b.Runs(exported, [prefix, export_values](const ToolPorts& ports) {
    return RunLists(ports, Join(prefix(), {"export", export_values->name}));
  });

  auto edit_values = std::make_shared<Values>();
  CLI::App* edit =
      b.Command(lists, "edit", "open the approved or blocked senders dialog on the display");
  b.OneOf(edit->add_option("FAMILY", edit_values->family, "approved or blocked")->required(),
          {"approved", "blocked"});
  b.Runs(edit, [prefix, edit_values](const ToolPorts& ports) {
    return RunLists(ports, Join(prefix(), {"edit", edit_values->family}));
  });
}

void AddStoreAndSetup(Builder& b, CLI::App& app) {
  auto top = std::make_shared<Values>();
  CLI::App* store = b.Command(&app, "store",
                              "the folders and messages of the local mail store (--maildir, else "
                              "\"Mail Store\" in the registry, else $MAILDIR, else ~/Maildir)");
  store->require_subcommand(1);
  // The options may stand before or after the action, as they always could.
  store->fallthrough();
  store->add_option("--maildir", top->maildir, "the Maildir to read")->type_name("DIR");
  store->add_flag("--json", top->json, "print JSON instead of tab-separated lines");
  auto prefix = [top] {
    Args args;
    if (!top->maildir.empty()) args = {"--maildir", top->maildir};
    if (top->json) args.push_back("--json");
    return args;
  };
  CLI::App* tree = b.Command(store, "tree", "every folder: id, message count and path");
  b.Runs(tree,
         [prefix](const ToolPorts& ports) { return RunStore(ports, Join(prefix(), {"tree"})); });
  auto list = std::make_shared<Values>();
  CLI::App* list_cmd =
      b.Command(store, "list", "the messages of a folder: id, state, size, subject");
  list_cmd
      ->add_option("FOLDER", list->folder,
                   "a folder id, a path with backslashes (\"Deleted Items\\Spam\") or a name")
      ->required();
  b.Runs(list_cmd, [prefix, list](const ToolPorts& ports) {
    return RunStore(ports, Join(prefix(), {"list", list->folder}));
  });
  auto show = std::make_shared<Values>();
  CLI::App* show_cmd = b.Command(store, "show", "print one message as it is stored");
  show_cmd->add_option("FOLDER", show->folder, "a folder id, path or name")->required();
  show_cmd->add_option("ID", show->name, "the message's id (vexmor store list)")->required();
  b.Runs(show_cmd, [prefix, show](const ToolPorts& ports) {
    return RunStore(ports, Join(prefix(), {"show", show->folder, show->name}));
  });

  auto v = std::make_shared<Values>();
  CLI::App* setup = b.Command(&app, "setup",
                              "record the install directory and switch filtering of new mail on "
                              "or off");
  setup->add_option("--install-dir", v->install_dir, "the install directory (an absolute path)")
      ->type_name("DIR");
  b.OneOf(setup->add_option("--filter", v->name, "filter new mail or not"), {"on", "off"});
  b.Runs(setup, [v](const ToolPorts& ports) {
    Args args;
    if (!v->install_dir.empty()) args = {"--install-dir", v->install_dir};
    if (!v->name.empty()) args = Join(args, {"--filter", v->name});
    return RunSetup(ports, args);
  });
}

void AddAccountAndAddin(Builder& b, CLI::App& app) {
  CLI::App* account = b.Command(&app, "account", "the IMAP account of the account client");
  account->require_subcommand(1);
  auto v = std::make_shared<Values>();
  CLI::App* set = b.Command(account, "set",
                            "record the account in the product's registry (the password itself "
                            "is never stored)");
  set->add_option("URL", v->value, "imap://USER@HOST[:PORT]")->required();
  // The account's own parser judges the value (exit status 1, as scripts know it).
  b.Suggest(set->add_option("--tls", v->name, "how the connection is secured (default tls)"),
            {"none", "starttls", "tls"});
  CLI::Option* command =
      set->add_option("--password-command", v->folder, "a command that prints the password")
          ->type_name("CMD");
  CLI::Option* file =
      set->add_option("--password-file", v->file, "a file of the user's own holding the password")
          ->type_name("FILE");
  command->excludes(file);
  set->add_option("--ca-file", v->install_dir, "certificates to trust (PEM)")->type_name("FILE");
  b.Runs(set, [v](const ToolPorts& ports) {
    Args args = {"set", v->value};
    if (!v->name.empty()) args = Join(args, {"--tls", v->name});
    if (!v->folder.empty()) args = Join(args, {"--password-command", v->folder});
    if (!v->file.empty()) args = Join(args, {"--password-file", v->file});
    if (!v->install_dir.empty()) args = Join(args, {"--ca-file", v->install_dir});
    return RunAccount(ports, args);
  });
  b.Runs(b.Command(account, "show", "print the recorded account"),
         [](const ToolPorts& ports) { return RunAccount(ports, {"show"}); });
  b.Runs(b.Command(account, "test", "log in and list the folders by path"),
         [](const ToolPorts& ports) { return RunAccount(ports, {"test"}); });

  CLI::App* addin = b.Command(&app, "addin",
                              "register the account client's add-in for the add-in host "
                              "Vexmor_AddinHost");
  addin->require_subcommand(1);
  for (const char* action : {"register", "unregister"}) {
    auto a = std::make_shared<Values>();
    CLI::App* cmd = b.Command(addin, action,
                              std::string(action) +
                                  " the add-in library (default: libVexmor_Addin.so beside this "
                                  "program)");
    cmd->add_option("--install-dir", a->install_dir,
                    "the add-in host's folder, whose Addins/ holds Vexmor.ECF")
        ->type_name("DIR");
    cmd->add_option("LIBRARY", a->file, "the add-in library");
    b.Runs(cmd, [a, name = std::string(action)](const ToolPorts&) {
      Args args = {name};
      if (!a->install_dir.empty()) args = Join(args, {"--install-dir", a->install_dir});
      if (!a->file.empty()) args.push_back(a->file);
      return RunAddin(args);
    });
  }
}

void AddOutlook(Builder& b, CLI::App& app) {
  CLI::App* outlook = b.Command(&app, "outlook",
                                "drive the explorer, command bar and keys of the running add-in "
                                "host Vexmor_AddinHost");
  outlook->require_subcommand(1);
  auto v = std::make_shared<Values>();
  CLI::App* select = b.Command(outlook, "select",
                               "make FOLDER (names below the top joined by /) the current folder "
                               "and select messages");
  select->add_option("FOLDER", v->folder, "the folder")->required();
  select->add_option("UID", v->list, "IMAP UIDs to select")
      ->check(CLI::Validator(
          [](std::string& uid) {
            return !uid.empty() && uid.find_first_not_of("0123456789") == std::string::npos
                       ? std::string()
                       : "not a UID: " + uid;
          },
          "", "UID"));
  select->add_flag("--all", v->flag_a, "select every message");
  select->add_option("--message-id", v->ids, "select the message with this Message-ID")
      ->allow_extra_args(false)
      ->type_name("ID");
  b.Answers(select, *v, true);
  b.Runs(select, [v](const ToolPorts&) {
    Args args = Join({"select", v->folder}, v->list);
    if (v->flag_a) args.push_back("--all");
    for (const std::string& id : v->ids) args = Join(args, {"--message-id", id});
    return RunOutlook(Join(args, AnswerArgs(*v)));
  });

  auto c = std::make_shared<Values>();
  CLI::App* click = b.Command(outlook, "click", "click every command-bar control with the tag");
  click->add_option("TAG", c->name, "the control's tag")->required();
  b.Answers(click, *c, true);
  b.Runs(click, [c](const ToolPorts&) {
    return RunOutlook(Join({"click", c->name}, AnswerArgs(*c)));
  });

  auto k = std::make_shared<Values>();
  CLI::App* key = b.Command(outlook, "key", "press a key and release it");
  b.OneOf(key->add_option("KEY", k->name, "the key")->required(), {"F8"});
  key->add_option("--repeat", k->count, "auto-repeats before the release (0 to 1000)")
      ->check(CLI::Range(0, 1000))
      ->type_name("N");
  b.Answers(key, *k, true);
  b.Runs(key, [k](const ToolPorts&) {
    Args args = {"key", k->name};
    if (k->count >= 0) args = Join(args, {"--repeat", std::to_string(k->count)});
    return RunOutlook(Join(args, AnswerArgs(*k)));
  });

  const std::pair<const char*, const char*> buttons[] = {
      {"report", "click Report Spam"},
      {"notspam", "click Not Spam"},
      {"check", "the menu's Check for spam"},
      {"empty", "the menu's Empty Spam"},
      {"bar", "print the command bar's controls as JSON"},
      {"selection", "print the selection as JSON"}};
  for (const auto& [name, help] : buttons) {
    auto a = std::make_shared<Values>();
    CLI::App* cmd = b.Command(outlook, name, help);
    const bool asks = std::string(name) != "bar" && std::string(name) != "selection";
    if (asks) b.Answers(cmd, *a, true);
    b.Runs(cmd, [a, command = std::string(name)](const ToolPorts&) {
      return RunOutlook(Join({command}, AnswerArgs(*a)));
    });
  }
}

void AddSetUp(Builder& b, CLI::App& app) {
  auto w = std::make_shared<Values>();
  CLI::App* why =
      b.Command(&app, "why", "why a message went to Spam or stayed, from the verdict log");
  why->add_option("--install-dir", w->install_dir, "the install directory to read")
      ->type_name("DIR");
  why->add_option("MESSAGE", w->name, "a message file or a Message-ID")->required();
  b.Runs(why, [w](const ToolPorts& ports) {
    Args args;
    if (!w->install_dir.empty()) args = {"--install-dir", w->install_dir};
    args.push_back(w->name);
    return RunWhy(ports, args);
  });

  auto i = std::make_shared<Values>();
  CLI::App* install = b.Command(&app, "install",
                                "set Vexmor up for this user: install directory, add-in, user "
                                "units");
  install
      ->add_option("--install-dir", i->install_dir,
                   "the install directory (default $VEXMOR_INSTALL_DIR, else "
                   "~/.local/share/vexmor/install/)")
      ->type_name("DIR");
  install->add_flag("--yes", i->yes, "answer every question with yes");
  b.Runs(install, [i](const ToolPorts& ports) {
    Args args;
    if (!i->install_dir.empty()) args = {"--install-dir", i->install_dir};
    if (i->yes) args.push_back("--yes");
    return RunInstall(ports, args);
  });

  auto u = std::make_shared<Values>();
  CLI::App* uninstall =
      b.Command(&app, "uninstall", "remove this user's set-up; the sender lists and settings stay");
  uninstall->add_flag("--yes", u->yes, "answer every question with yes");
  b.Runs(uninstall, [u](const ToolPorts& ports) {
    return RunUninstall(ports, u->yes ? Args{"--yes"} : Args{});
  });
}

void AddSession(Builder& b, CLI::App& app) {
  auto s = std::make_shared<Values>();
  CLI::App* start = b.Command(&app, "start",
                              "start the local client session Vexmor_Session (it starts the host "
                              "program Vexmor_PlugIn)");
  start->add_option("--install-dir", s->install_dir, "the install directory")->type_name("DIR");
  start->add_option("--maildir", s->maildir, "the Maildir to filter")->type_name("DIR");
  start->add_flag("--foreground", s->flag_a, "run until the session ends");
  b.Runs(start, [s](const ToolPorts& ports) {
    Args args;
    if (!s->install_dir.empty()) args = {"--install-dir", s->install_dir};
    if (!s->maildir.empty()) args = Join(args, {"--maildir", s->maildir});
    if (s->flag_a) args.push_back("--foreground");
    return RunSession(ports, "start", args);
  });
  b.Runs(b.Command(&app, "stop", "end the session with its host program"),
         [](const ToolPorts& ports) { return RunSession(ports, "stop", {}); });
  auto st = std::make_shared<Values>();
  CLI::App* status = b.Command(&app, "status", "say what runs");
  status->add_flag("--json", st->json, "print one JSON object");
  b.Runs(status, [st](const ToolPorts& ports) {
    return RunSession(ports, "status", st->json ? Args{"--json"} : Args{});
  });
  auto c = std::make_shared<Values>();
  CLI::App* cycle = b.Command(&app, "cycle",
                              "a fetcher's receive cycle starts or ends (from its pre- and "
                              "post-connect hooks)");
  b.OneOf(cycle->add_option("PHASE", c->name, "receiving or disconnecting")->required(),
          {"receiving", "disconnecting"});
  b.Runs(cycle, [c](const ToolPorts& ports) { return RunSession(ports, "cycle", {c->name}); });
}

// A person's clicks and keys in the local client, through the session.
void AddClient(Builder& b, CLI::App& app) {
  auto s = std::make_shared<Values>();
  CLI::App* select = b.Command(&app, "select",
                               "select FOLDER and messages in the session, or a message by its "
                               "Message-ID in every folder");
  select->add_option("FOLDER", s->list, "the folder, then message ids");
  select->add_flag("--all", s->flag_a, "select every message of the folder");
  select->add_option("--message-id", s->ids, "select the message with this Message-ID")
      ->allow_extra_args(false)
      ->type_name("ID");
  b.Runs(
      select,
      [s](const ToolPorts& ports) {
        Args args = s->list;
        if (s->flag_a) args.push_back("--all");
        for (const std::string& id : s->ids) args = Join(args, {"--message-id", id});
        return RunClientCommand(ports, "select", args);
      },
      [s] {
        if (s->list.empty() && s->ids.empty()) {
          throw CLI::ValidationError("FOLDER", "name a folder or a --message-id");
        }
      });

  struct OneWord {
    const char* command;
    const char* help;
    const char* what;
    std::vector<std::string> values;
  };
  const OneWord one_word[] = {
      {"key", "press a key in the local client", "KEY", {"F8", "Enter"}},
      {"menu",
       "choose an item of the product's menu",
       "ITEM",
       {"report", "check", "empty", "help", "feedback", "approved", "blocked"}},
      {"toolbar",
       "click a button of the product's toolbar",
       "BUTTON",
       {"report", "notspam", "about", "help", "feedback"}},
  };
  for (const OneWord& word : one_word) {
    auto v = std::make_shared<Values>();
    CLI::App* cmd = b.Command(&app, word.command, word.help);
    // The session knows the names (menu items also by their text or id, in any case).
    b.Suggest(cmd->add_option(word.what, v->name, word.what)->required(), word.values);
    b.Answers(cmd, *v, false);
    b.Runs(cmd, [v, command = std::string(word.command)](const ToolPorts& ports) {
      return RunClientCommand(ports, command, Join({v->name}, AnswerArgs(*v)));
    });
  }

  for (const char* name : {"report", "notspam"}) {
    auto v = std::make_shared<Values>();
    CLI::App* cmd =
        b.Command(&app, name,
                  std::string(name) == "report" ? "report the selected messages as spam (F8)"
                                                : "the selected messages are not spam");
    cmd->add_flag("--stdin", v->flag_a,
                  "take the message on standard input (a mail reader's pipe) and select it");
    cmd->add_option("--folder", v->folder, "the folder to find the piped message in")
        ->type_name("FOLDER");
    b.Answers(cmd, *v, false);
    b.Runs(cmd, [v, command = std::string(name)](const ToolPorts& ports) {
      Args args;
      if (v->flag_a) args.push_back("--stdin");
      if (!v->folder.empty()) args = Join(args, {"--folder", v->folder});
      return RunClientCommand(ports, command, Join(args, AnswerArgs(*v)));
    });
  }

  auto c = std::make_shared<Values>();
  CLI::App* check =
      b.Command(&app, "check", "check a folder for spam (default Inbox) and say what moved");
  check->add_option("FOLDER", c->folder, "the folder to check")->default_str("Inbox");
  check->add_flag("--no-wait", c->flag_a, "return once the check has started");
  b.Answers(check, *c, false);
  b.Runs(check, [c](const ToolPorts& ports) {
    Args args = {c->folder.empty() ? std::string("Inbox") : c->folder};
    if (c->flag_a) args.push_back("--no-wait");
    return RunClientCommand(ports, "check", Join(args, AnswerArgs(*c)));
  });

  auto e = std::make_shared<Values>();
  CLI::App* empty = b.Command(&app, "empty", "delete every message of a folder (Spam, ...)");
  b.Suggest(empty->add_option("FOLDER", e->folder, "the folder to empty")->required(),
            {"Spam", "Spam_Posted"});
  b.Answers(empty, *e, false);
  b.Runs(empty, [e](const ToolPorts& ports) {
    return RunClientCommand(ports, "empty", Join({e->folder}, AnswerArgs(*e)));
  });

  auto d = std::make_shared<Values>();
  CLI::App* senders =
      b.Command(&app, "senders", "open the approved or blocked senders dialog in the session");
  b.OneOf(senders->add_option("FAMILY", d->family, "approved or blocked")->required(),
          {"approved", "blocked"});
  b.Runs(senders,
         [d](const ToolPorts& ports) { return RunClientCommand(ports, "senders", {d->family}); });
  for (const char* name : {"help", "about"}) {
    auto a = std::make_shared<Values>();
    CLI::App* cmd = b.Command(&app, name,
                              std::string(name) == "help"
                                  ? "open the help page (its path is printed when no program "
                                    "opens it)"
                                  : "show the product's About box");
    b.Answers(cmd, *a, false);
    b.Runs(cmd, [a, command = std::string(name)](const ToolPorts& ports) {
      return RunClientCommand(ports, command, AnswerArgs(*a));
    });
  }
}

void AddServerAndLog(Builder& b, CLI::App& app) {
  CLI::App* server = b.Command(&app, "server",
                               "the signature servers the clients ask (\"Signature Servers\" in "
                               "the product's registry key)");
  server->require_subcommand(1);
  auto s = std::make_shared<Values>();
  CLI::App* set =
      b.Command(server, "set", "use these servers, the first until a nearer one is chosen");
  set->add_option("SERVERS", s->value,
                  "HOST[:PORT][@A.B.C.D] entries separated by commas (at most five); @ names "
                  "the address to probe")
      ->required();
  b.Runs(set, [s](const ToolPorts& ports) { return RunServerSet(ports, s->value); });
  auto show = std::make_shared<Values>();
  CLI::App* show_cmd = b.Command(server, "show", "print the servers and the one in use");
  show_cmd->add_flag("--json", show->json, "print one JSON object");
  b.Runs(show_cmd, [show](const ToolPorts& ports) { return RunServerShow(ports, show->json); });

  auto l = std::make_shared<Values>();
  CLI::App* log =
      b.Command(&app, "log", "the last verdicts of both clients, one line each (verdicts.jsonl)");
  log->add_option("-n,--lines", l->count, "how many verdicts (default 10)")
      ->check(CLI::Range(0, 1000000))
      ->type_name("N");
  log->add_flag("-f,--follow", l->flag_a, "keep printing verdicts as they come");
  log->add_option("--install-dir", l->install_dir, "the install directory to read")
      ->type_name("DIR");
  b.Runs(log, [l](const ToolPorts& ports) {
    LogOptions options;
    options.lines = l->count >= 0 ? l->count : 10;
    options.follow = l->flag_a;
    options.install_dir = l->install_dir;
    return RunLog(ports, options);
  });
}

void AddDocumentation(CommandTable& table) {
  // Hidden: the build writes the manual page and the completion with them.
  CLI::App* man = table.app->add_subcommand("__man", "")->group("");
  man->callback([t = &table] {
    t->run_without_ports = [t] {
      std::fputs(ManualCommands(*t).c_str(), stdout);
      return 0;
    };
  });
  CLI::App* completion = table.app->add_subcommand("__completion", "")->group("");
  completion->callback([t = &table] {
    t->run_without_ports = [t] {
      std::fputs(BashCompletion(*t).c_str(), stdout);
      return 0;
    };
  });
}

// The innermost command the user named, for the usage message.
const CLI::App* InnermostCommand(const CLI::App& app, std::string* path) {
  *path = app.get_name();
  const CLI::App* at = &app;
  for (;;) {
    std::vector<const CLI::App*> chosen = at->get_subcommands([](const CLI::App*) { return true; });
    const CLI::App* next = nullptr;
    for (const CLI::App* sub : chosen) {
      if (sub->parsed()) next = sub;
    }
    if (next == nullptr) return at;
    *path += " " + next->get_name();
    at = next;
  }
}

std::string CommandPath(const CLI::App& app) {
  std::string path;
  InnermostCommand(app, &path);
  return path;
}

}  // namespace

std::unique_ptr<CommandTable> MakeCommandTable() {
  auto table = std::make_unique<CommandTable>();
  table->app = std::make_unique<CLI::App>(
      "Vexmor keeps spam out of the user's mail: the rules, the sender lists, the signature "
      "servers and the two clients.",
      "vexmor");
  CLI::App& app = *table->app;
  app.set_version_flag("--version", std::string("vexmor ") + VEXMOR_VERSION, "print the version");
  app.require_subcommand(0, 1);
  app.get_formatter()->column_width(34);
  app.footer(
      "Commands that need the session exit with status 3 when none runs. VEXMOR_THROTTLE=off "
      "turns the signature throttle off, as --no-throttle does. vexmor COMMAND --help says "
      "more.");
  Builder b(*table);
  AddSignatureAndAnalyse(b, app);
  AddLists(b, app);
  AddStoreAndSetup(b, app);
  AddAccountAndAddin(b, app);
  AddOutlook(b, app);
  AddSetUp(b, app);
  AddSession(b, app);
  AddClient(b, app);
  AddServerAndLog(b, app);
  AddDocumentation(*table);
  return table;
}

int RunCommandLine(int argc, char** argv) {
  std::unique_ptr<CommandTable> table = MakeCommandTable();
  CLI::App& app = *table->app;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& version) {
    std::printf("%s\n", version.what());
    return 0;
  } catch (const CLI::ParseError& error) {
    std::string path;
    const CLI::App* command = InnermostCommand(app, &path);
    std::fprintf(stderr, "%s: %s\nusage: %s\nRun '%s --help' for more.\n", path.c_str(),
                 error.what(), UsageLine(*table, *command, path).c_str(), path.c_str());
    return kUsageStatus;
  }
  if (table->run_without_ports) return table->run_without_ports();
  if (!table->run) {
    std::fputs(app.help().c_str(), stderr);
    return kUsageStatus;
  }
  try {
    const ToolPorts ports = MakeToolPorts();
    return table->run(ports);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", CommandPath(app).c_str(), error.what());
    return 1;
  }
}

}  // namespace vexmor::tools
