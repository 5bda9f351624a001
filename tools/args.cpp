#include "args.h"

#include <CLI/CLI.hpp>

namespace qelctl {

CLI::Validator StrictInt(int64_t min, int64_t max) {
  const std::string desc = "INT in [" + std::to_string(min) + " - " + std::to_string(max) + "]";
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        int64_t v = 0;
        if (!ParseInteger(text, v)) return NotAnInteger(text);
        if (v < min || v > max) {
          return Quoted(text) + " is out of range " + std::to_string(min) + ".." +
                 std::to_string(max);
        }
        text = std::to_string(v);  // hand CLI11 a plain decimal
        return {};
      },
      desc);
}

namespace {
constexpr int kDefaultWatchMs = 500;
constexpr int64_t kMaxWatchMs = 3600000;

bool IsInterval(const std::string& word, int64_t& ms) {
  return ParseInteger(word, ms);
}
}  // namespace

bool WatchOption::on() const { return option != nullptr && option->count() > 0; }

int WatchOption::IntervalMs() const {
  int64_t ms = 0;
  if (given.empty() || given.front().empty() || !IsInterval(given.front(), ms)) {
    return kDefaultWatchMs;
  }
  if (ms < 1 || ms > kMaxWatchMs) {
    throw UsageError("--watch: interval " + Quoted(given.front()) +
                     " is not a number of ms in 1.." + std::to_string(kMaxWatchMs));
  }
  return int(ms);
}

std::string WatchOption::Stray() const {
  int64_t ms = 0;
  if (given.empty() || given.front().empty() || IsInterval(given.front(), ms)) return {};
  return given.front();
}

void AddWatchOption(CLI::App* app, WatchOption& watch, const std::string& help) {
  watch.option = app->add_option("--watch", watch.given, help)
                     ->type_name("[MS]")
                     ->expected(0, 1)
                     ->allow_extra_args(false);  // the next word is the command's own
}

}  // namespace qelctl
