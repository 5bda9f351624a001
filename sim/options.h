// qelsim's options, from the command line and from a config file. Kept in
// the library so they can be tested without a pseudo-terminal.
//
// Config file: one option per line, written as on the command line without
// the leading "--" (a value follows after blanks or '='); '#' starts a
// comment; blank lines are skipped. For example:
//
//   # two standard motors, one with a module that reports type 5
//   motor 1
//   motor 3
//   module 3:5:20
//   set 3:GROUPID=2
//   fault 1:late:2
//   turnaround-ms 2
//
// Options are applied in order, so command-line options after --config
// override the file's.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bus.h"

namespace qelcomm::sim {

struct SimOptions {
  BusConfig bus = BusConfig::Defaults();
  std::string link;   // also create a symlink to the slave device here
  std::string record;  // write a line per reply here (Bus::set_record)
  bool trace = false;
  bool help = false;
};

// Parses the arguments after the program name. False with `error` set on an
// unknown option or a bad value.
bool ParseOptions(const std::vector<std::string>& args, SimOptions& out, std::string& error);
// Parses the text of a config file into `out`, on top of what it holds.
bool ParseConfigText(std::string_view text, SimOptions& out, std::string& error);

std::string HelpText();

}  // namespace qelcomm::sim
