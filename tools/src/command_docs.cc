// The manual page's command section and the bash completion, written from the command table so
// that neither can forget a command or an option.
#include <CLI/CLI.hpp>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "command_table.h"

namespace vexmor::tools {
namespace {

bool Shown(const CLI::App* command) {
  return !command->get_group().empty();
}

std::vector<CLI::App*> Commands(const CLI::App& app) {
  return const_cast<CLI::App&>(app).get_subcommands(
      [](CLI::App* command) { return Shown(command); });
}

// The options a person gives (no --help, no positional arguments).
std::vector<const CLI::Option*> Options(const CLI::App& app) {
  std::vector<const CLI::Option*> out;
  for (const CLI::Option* option :
       app.get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
    if (option == app.get_help_ptr() || option == app.get_help_all_ptr()) continue;
    out.push_back(option);
  }
  return out;
}

std::vector<const CLI::Option*> Arguments(const CLI::App& app) {
  return app.get_options([](const CLI::Option* o) { return o->get_positional(); });
}

std::string OptionName(const CLI::Option* option) {
  std::string name;
  for (const std::string& s : option->get_snames()) name += (name.empty() ? "-" : ", -") + s;
  for (const std::string& l : option->get_lnames()) name += (name.empty() ? "--" : ", --") + l;
  return name;
}

std::string LongestName(const CLI::Option* option) {
  if (!option->get_lnames().empty()) return "--" + option->get_lnames().front();
  return "-" + option->get_snames().front();
}

bool TakesValue(const CLI::Option* option) {
  return option->get_type_size_max() > 0 && option->get_items_expected_max() > 0 &&
         !option->get_type_name().empty();
}

std::string ValueName(const CommandTable& table, const CLI::Option* option) {
  auto choices = table.choices.find(option);
  if (choices != table.choices.end() && !option->get_positional()) {
    std::string joined;
    for (const std::string& c : choices->second) joined += (joined.empty() ? "" : "|") + c;
    return joined;
  }
  // CLI11 adds its checks' names after a colon ("N:NONNEGATIVE"); the reader wants the name.
  std::string type = option->get_type_name();
  type = type.substr(0, type.find(':'));
  return type.empty() || type == "TEXT" ? std::string("VALUE") : type;
}

bool Repeats(const CLI::Option* option) {
  return option->get_items_expected_max() > 1;
}

// --- roff ---

std::string Roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

std::string Synopsis(const CommandTable& table, const CLI::App& command, const std::string& path) {
  std::string line = path;
  for (const CLI::Option* option : Options(command)) {
    std::string part = LongestName(option);
    if (TakesValue(option)) part += " " + ValueName(table, option);
    line += " [" + part + "]";
  }
  const std::vector<CLI::App*> subs = Commands(command);
  if (!subs.empty()) {
    std::string names;
    for (const CLI::App* sub : subs) names += (names.empty() ? "" : "|") + sub->get_name();
    line += " " + names + " ...";
  }
  for (const CLI::Option* argument : Arguments(command)) {
    std::string name = argument->get_name();
    auto choices = table.choices.find(argument);
    if (choices != table.choices.end() && argument->get_required()) {
      name.clear();
      for (const std::string& c : choices->second) name += (name.empty() ? "" : "|") + c;
    }
    if (Repeats(argument)) name += "...";
    line += argument->get_required() ? " " + name : " [" + name + "]";
  }
  return line;
}

void Manual(const CommandTable& table, const CLI::App& command, const std::string& path,
            std::ostringstream& out) {
  out << ".SS \"" << Roff(Synopsis(table, command, path)) << "\"\n";
  std::string description = command.get_description();
  if (!description.empty()) {
    description[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(description[0])));
    out << Roff(description) << ".\n";
  }
  for (const CLI::Option* option : Options(command)) {
    if (TakesValue(option)) {
      out << ".TP\n.BI \"" << Roff(OptionName(option)) << "\" \" " << Roff(ValueName(table, option))
          << "\"\n";
    } else {
      out << ".TP\n.B \"" << Roff(OptionName(option)) << "\"\n";
    }
    out << Roff(option->get_description()) << "\n";
  }
  for (const CLI::Option* argument : Arguments(command)) {
    out << ".TP\n.I " << Roff(argument->get_name()) << "\n" << Roff(argument->get_description());
    auto choices = table.choices.find(argument);
    if (choices != table.choices.end()) {
      std::string joined;
      for (const std::string& c : choices->second) joined += (joined.empty() ? "" : ", ") + c;
      out << " (" << Roff(joined) << ")";
    }
    out << "\n";
  }
  for (const CLI::App* sub : Commands(command)) {
    Manual(table, *sub, path + " " + sub->get_name(), out);
  }
}

// --- bash ---

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// How the completion offers a value: "dir", "file", "-" (anything) or the words to offer.
std::string ValueKind(const CommandTable& table, const CLI::Option* option) {
  auto choices = table.choices.find(option);
  if (choices != table.choices.end()) {
    std::string joined;
    for (const std::string& c : choices->second) joined += (joined.empty() ? "" : " ") + c;
    return joined;
  }
  std::string type = option->get_type_name();
  type = type.substr(0, type.find(':'));
  const std::string name = option->get_name();
  if (type == "DIR") return "dir";
  if (type == "FILE" || name == "FILE" || name == "MESSAGE" || name == "LIBRARY") return "file";
  return "-";
}

void Completion(const CommandTable& table, const CLI::App& command, const std::string& path,
                std::map<std::string, std::string>& takes, std::ostringstream& out) {
  std::string subs;
  for (const CLI::App* sub : Commands(command)) {
    subs += (subs.empty() ? "" : " ") + sub->get_name();
    for (const std::string& alias : sub->get_aliases()) subs += " " + alias;
  }
  std::string opts = "--help";
  for (const CLI::Option* option : Options(command)) {
    for (const std::string& l : option->get_lnames()) opts += " --" + l;
    for (const std::string& s : option->get_snames()) opts += " -" + s;
    if (TakesValue(option)) {
      for (const std::string& l : option->get_lnames())
        takes.emplace("--" + l, ValueKind(table, option));
      for (const std::string& s : option->get_snames())
        takes.emplace("-" + s, ValueKind(table, option));
    }
  }
  out << "  subs[" << Quoted(path) << "]=" << Quoted(subs) << "\n";
  out << "  opts[" << Quoted(path) << "]=" << Quoted(opts) << "\n";
  int index = 0;
  for (const CLI::Option* argument : Arguments(command)) {
    const std::string kind = ValueKind(table, argument);
    out << "  args[" << Quoted(path + "#" + std::to_string(index)) << "]=" << Quoted(kind) << "\n";
    if (Repeats(argument)) {
      out << "  args[" << Quoted(path + "#*") << "]=" << Quoted(kind) << "\n";
    }
    ++index;
  }
  for (const CLI::App* sub : Commands(command)) {
    const std::string sub_path = path + " " + sub->get_name();
    Completion(table, *sub, sub_path, takes, out);
    for (const std::string& alias : sub->get_aliases()) {
      out << "  aliases[" << Quoted(path.empty() ? alias : path + " " + alias)
          << "]=" << Quoted(sub_path) << "\n";
    }
  }
}

constexpr const char* kCompletionBody = R"bash(
  local path=vexmor n=0 i w key skip=0
  for ((i = 1; i < cword; i++)); do
    w=${words[i]}
    if ((skip)); then skip=0; continue; fi
    if [[ $w == -* ]]; then
      [[ $w != *=* && -n ${takes[$w]+x} ]] && skip=1
      continue
    fi
    if ((n == 0)); then
      key="$path $w"
      [[ -n ${aliases[$key]+x} ]] && key=${aliases[$key]}
      if [[ -n ${subs[$key]+x} ]]; then path=$key; continue; fi
    fi
    ((n++))
  done
  local kind=""
  if [[ $prev == -* && -n ${takes[$prev]+x} ]]; then
    kind=${takes[$prev]}
  elif [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "${opts[$path]} $([[ $path == vexmor ]] && echo --version)" -- "$cur"))
    return
  else
    key="$path#$n"
    kind=${args[$key]-}
    key="$path#*"
    [[ -z $kind ]] && kind=${args[$key]-}
    [[ -n ${subs[$path]} ]] && kind=${subs[$path]}
  fi
  case $kind in
    dir) _filedir -d ;;
    file) _filedir ;;
    -|"") ;;
    *) COMPREPLY=($(compgen -W "$kind" -- "$cur")) ;;
  esac
} && complete -F _vexmor vexmor
)bash";

}  // namespace

std::string UsageLine(const CommandTable& table, const CLI::App& command, const std::string& path) {
  return Synopsis(table, command, path);
}

std::string ManualCommands(const CommandTable& table) {
  std::ostringstream out;
  for (const CLI::App* command : Commands(*table.app)) {
    Manual(table, *command, "vexmor " + command->get_name(), out);
  }
  return out.str();
}

std::string BashCompletion(const CommandTable& table) {
  std::ostringstream out;
  std::map<std::string, std::string> takes;
  std::ostringstream tables;
  Completion(table, *table.app, "vexmor", takes, tables);
  out << "# bash completion for vexmor, written by \"vexmor __completion\" from its command "
         "table\n"
      << "_vexmor() {\n"
      << "  local cur prev words cword\n"
      << "  _init_completion || return\n"
      << "  local -A subs opts args takes aliases\n"
      << tables.str();
  for (const auto& [name, kind] : takes) {
    out << "  takes[" << Quoted(name) << "]=" << Quoted(kind) << "\n";
  }
  out << kCompletionBody;
  return out.str();
}

}  // namespace vexmor::tools
