// Progress on stderr for the slow commands, only when stderr is a terminal:
// redirected output stays clean.
#pragma once

#include <ostream>
#include <string>

namespace qelctl {

class ProgressBar {
 public:
  ProgressBar(std::ostream& err, bool enabled, std::string label, int total);
  ~ProgressBar() { Clear(); }
  void Update(int done, const std::string& note);
  void Clear();  // wipes the line, e.g. before printing a result

 private:
  std::ostream& err_;
  bool enabled_;
  std::string label_;
  int total_;
  bool shown_ = false;
};

// "waiting for motor 1 to restart... |", turning on every Tick.
class Spinner {
 public:
  Spinner(std::ostream& err, bool enabled, std::string label);
  ~Spinner() { Clear(); }
  void Tick();
  void Clear();

 private:
  std::ostream& err_;
  bool enabled_;
  std::string label_;
  unsigned turn_ = 0;
  bool shown_ = false;
};

}  // namespace qelctl
