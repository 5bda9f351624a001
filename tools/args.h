// Command-line checks built on the value parsers of values.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "values.h"

namespace CLI {
class App;
class Option;
class Validator;
}

namespace qelctl {

// A CLI11 check for integer options in [min, max] written as ParseInteger
// takes them.
CLI::Validator StrictInt(int64_t min, int64_t max);

// --watch [MS], as read and status take it: repeat, every MS ms (500). The
// option takes at most the next word, so `read 1 --watch 100 P_IST` parses.
struct WatchOption {
  std::vector<std::string> given;  // empty, or the word after --watch
  CLI::Option* option = nullptr;

  bool on() const;
  // The interval, when the word after --watch is a number; else the default.
  int IntervalMs() const;
  // The word after --watch when it is no number: the first of the words
  // that follow (a register, for read).
  std::string Stray() const;
};
void AddWatchOption(CLI::App* app, WatchOption& watch, const std::string& help);

}  // namespace qelctl
