// One register's value as read or written, and the one way every command
// shows it: "P_SOLL (3) = 10.3125 (raw 165)" in text, an object in JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "values.h"

namespace qelctl {

class Session;

struct Reading {
  RegisterRef reg;
  int32_t raw = 0;
  bool scaled = false;  // shown in user units
  bool hex = false;     // --raw: the bit pattern too
  double user = 0;      // when scaled

  std::string Text() const;       // "LABEL = VALUE ..."
  std::string ValueText() const;  // "VALUE ...": "10.3125 (raw 165)"
  nlohmann::ordered_json Json() const;
};

// {"position": ..., "acceleration": ..., "velocity": ...}
nlohmann::ordered_json FactorSetJson(const qelcomm::registers::ExactFactors& f);

// How a register is shown by this run: in user units where it is scaled,
// unless --raw.
Reading MakeReading(Session& s, int address, const RegisterRef& reg, int32_t raw, bool raw_mode);

// Reads one register raw; false leaves the control's error for the caller.
bool ReadRaw(Session& s, int address, const RegisterRef& reg, int32_t& raw);
// After a successful read: fails the run when a standard motor's 16-bit
// register came back with the high bytes a big motor sends.
void CheckNotBig(Session& s, int address, const RegisterRef& reg);
// Reads it and fails the run (Session::Check) when that fails, or when the
// reply is too wide for a standard motor (CheckNotBig).
Reading ReadChecked(Session& s, int address, const RegisterRef& reg, bool raw_mode);
// "reading P_SOLL (3) from motor 1".
std::string ReadingWhat(int address, const RegisterRef& reg);

}  // namespace qelctl
