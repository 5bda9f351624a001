// The bash completion script, written from the parser itself so that a new
// command or option completes without touching a second list.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>

#include "cli.h"

namespace qelctl {
namespace {

std::vector<const CLI::App*> Subcommands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

// The option's spellings: long ones, and short ones where `with_short`.
std::string Names(const CLI::Option& o, bool with_short) {
  std::string names;
  auto add = [&](const std::string& n) { names += (names.empty() ? "" : " ") + n; };
  if (with_short) {
    for (const std::string& n : o.get_snames()) add("-" + n);
  }
  for (const std::string& n : o.get_lnames()) add("--" + n);
  return names;
}

bool NamesFile(const CLI::Option& o) {
  const std::string type = o.get_type_name();
  return type.starts_with("FILE") || type.starts_with("PATH");
}

// What completes after a command: its options, or its subcommands; and
// whether a word that is no option may be a file.
struct Entry {
  std::string key;  // "read", "module program"
  std::string words;
  bool files = false;
};

void Collect(const CLI::App& app, const std::string& key, std::vector<Entry>& out,
             std::vector<std::string>& file_options) {
  Entry e{key, {}, false};
  auto add = [&](const std::string& w) {
    if (!w.empty()) e.words += (e.words.empty() ? "" : " ") + w;
  };
  for (const CLI::Option* o : app.get_options()) {
    if (o == app.get_help_ptr()) continue;
    if (!o->nonpositional()) {  // a positional argument
      e.files = e.files || o->get_name().starts_with("FILE") || NamesFile(*o);
      continue;
    }
    add(Names(*o, true));
    const std::string names = Names(*o, true);
    if (NamesFile(*o) &&
        std::find(file_options.begin(), file_options.end(), names) == file_options.end()) {
      file_options.push_back(names);
    }
  }
  for (const CLI::App* sub : Subcommands(app)) {
    add(sub->get_name());
    Collect(*sub, key + " " + sub->get_name(), out, file_options);
  }
  out.push_back(e);
}

std::string Pattern(std::string names) {
  for (char& c : names) c = c == ' ' ? '|' : c;
  return names;
}

}  // namespace

std::string BashCompletion(const CLI::App& app) {
  std::string commands, global;
  std::vector<Entry> entries;
  std::vector<std::string> file_options;
  std::string port_pattern;
  for (const CLI::Option* o : app.get_options()) {
    if (!o->nonpositional()) continue;
    global += (global.empty() ? "" : " ") + Names(*o, false);
    if (o->get_type_name().starts_with("PATH")) port_pattern = Pattern(Names(*o, true));
  }
  for (const CLI::App* c : Subcommands(app)) {
    commands += (commands.empty() ? "" : " ") + c->get_name();
    Collect(*c, c->get_name(), entries, file_options);
  }
  std::string file_pattern;
  for (const std::string& n : file_options)
    file_pattern += (file_pattern.empty() ? "" : "|") + Pattern(n);

  std::ostringstream s;
  s << "# bash completion for qelctl, generated from its command table: commands,\n"
       "# their subcommands and options, and the global options.\n"
       "_qelctl() {\n"
       "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
       "  local commands=\""
    << commands
    << "\"\n"
       "  local global=\""
    << global
    << "\"\n"
       "  case \"$prev\" in\n";
  if (!port_pattern.empty()) {
    s << "    " << port_pattern
      << ") COMPREPLY=($(compgen -f -- \"$cur\")); [ -z \"$cur\" ] && COMPREPLY+=(/dev/tty*); "
         "return ;;\n";
  }
  if (!file_pattern.empty()) {
    s << "    " << file_pattern << ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
  }
  s << "  esac\n"
       "  # The command, and a subcommand of it where it has them.\n"
       "  local word key=\"\"\n"
       "  for word in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n"
       "    if [ -z \"$key\" ]; then\n"
       "      case \" $commands \" in *\" $word \"*) key=$word ;; esac\n"
       "    else\n"
       "      case \"$key $word\" in\n";
  for (const Entry& e : entries) {
    if (e.key.find(' ') != std::string::npos)
      s << "        \"" << e.key << "\") key=\"" << e.key << "\" ;;\n";
  }
  s << "      esac\n"
       "    fi\n"
       "  done\n"
       "  local options=\"\" files=\"\"\n"
       "  case \"$key\" in\n"
       "    \"\") COMPREPLY=($(compgen -W \"$commands $global\" -- \"$cur\")); return ;;\n";
  for (const Entry& e : entries) {
    s << "    \"" << e.key << "\") options=\"" << e.words << "\"" << (e.files ? "; files=1" : "")
      << " ;;\n";
  }
  s << "  esac\n"
       "  [[ -n $files && $cur != -* ]] && COMPREPLY=($(compgen -f -- \"$cur\"))\n"
       "  COMPREPLY+=($(compgen -W \"$options $global\" -- \"$cur\"))\n"
       "}\n"
       "complete -F _qelctl qelctl\n";
  return s.str();
}

}  // namespace qelctl
