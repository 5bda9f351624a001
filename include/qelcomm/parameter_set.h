// Parameter sets: every catalogued register of a motor written to a JSON
// file (a dump), and written back to a motor (a restore) by one set of rules,
// whichever front end runs it:
//   - a dump records each register's raw value, its value in units, and its
//     role; a register that did not answer is listed with why;
//   - a file, dumped or edited by hand, is read one way: an entry's "raw" is
//     what is written, one with only "value" is converted in units by the
//     checked conversion; a raw and value that disagree, a name that is not
//     its number's, bad JSON and a cut-off file are refused, naming where;
//   - a restore writes settings only: live registers with include_live,
//     identities with include_identity; read-only ones never. A dump of a
//     big motor is refused for a standard one, and the reverse;
//   - each register is read first, only those that differ are written, and
//     each written one is read back: what still differs is counted.
// The files are text in, text out; reading and writing the motor is the
// caller's, so that each front end keeps its own error handling.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qelcomm/catalogue.h"

namespace qelcomm::params {

// A file refused before anything is written; the text names the file and,
// where it is one entry's fault, the entry.
struct ParameterSetError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ----- dump ---------------------------------------------------------------

// What a dump reads: the motor's table, then the extended registers.
std::vector<registers::Register> DumpRegisters(bool big);

// Reads one register for the dump: true with its raw value, or false with
// why it could not be read (the dump goes on). To end the dump, throw.
using DumpRead = std::function<bool(const registers::Register&, int32_t& raw, std::string& why)>;

struct DumpResult {
  std::string text;  // the JSON document, indented, ending in a newline
  int read = 0;      // registers that answered
  int missing = 0;   // registers listed with an error
};
// Dumps the motor at `address` (`big`: its table and factor set), whose
// values in units are shown with `factors`.
DumpResult Dump(int address, bool big, const registers::ExactFactors& factors,
                const DumpRead& read);

// ----- reading a file -----------------------------------------------------

struct Entry {
  registers::Register reg;
  int32_t raw = 0;  // what a restore writes
};

struct ParameterSet {
  std::optional<int> address;  // of the motor dumped
  std::optional<bool> big;     // its table, when the file names one
  std::vector<Entry> entries;  // those dump could read, in file order
};

// Reads `text` (from `file`, as messages name it) for a motor of size `big`;
// entries with only "value" use the file's factor sets, else `factors`.
// Throws ParameterSetError. A file of the other motor size comes back
// without entries, for PlanRestore to refuse.
ParameterSet ParseParameterSet(const std::string& text, const std::string& file, bool big,
                               const registers::ExactFactors& factors);

// ----- restore ------------------------------------------------------------

struct RestoreOptions {
  bool include_live = false;      // targets such as P_SOLL move the motor
  bool include_identity = false;  // ADDRESS, SERIALNUMBER: a replacement motor
  // How the caller's user asks for each, as messages name it.
  struct Terms {
    std::string live = "--include-live";
    std::string identity = "--include-identity";
    std::string big = "--big";  // marks a motor big
  } terms;
};

// What a restore writes, and what it leaves alone by default: live values
// would move the motor or fail the check, identities copied from another
// motor make two answer as one, and read-only registers belong to the
// firmware. Identities, when written, come last: a motor given another
// address may answer there at once, and the rest must be in place by then.
struct RestorePlan {
  int address = 0;  // of the motor restored
  std::vector<Entry> write;
  int live = 0, read_only = 0, identity = 0;  // left alone
  RestoreOptions::Terms terms;

  // "left alone: 40 live (--include-live writes them), 3 identity
  // (--include-identity writes them) registers"; empty when none was.
  std::string SkippedText() const;
};

// The plan for restoring `set` (read from `file`) onto the motor at
// `address` of size `big`. Throws ParameterSetError for a file of the other
// motor size, before anything is written.
RestorePlan PlanRestore(const ParameterSet& set, const std::string& file, int address, bool big,
                        const RestoreOptions& options);

// How a restore reaches the motor. `read` throws to end the restore (a
// failed read leaves nothing to compare); `write` returns false on failure.
struct MotorAccess {
  std::function<int32_t(const registers::Register&)> read;
  std::function<bool(const registers::Register&, int32_t raw)> write;
};

// One register that differed from the file.
struct Change {
  registers::Register reg;
  int32_t from = 0, to = 0;
  bool written = false;  // false for a dry run
  bool write_ok = false;
  std::optional<int32_t> read_back;  // after the write

  // Written, but the write failed or the value read back is not `to`.
  bool StillDiffers() const { return written && (!write_ok || read_back != to); }
};

struct RestoreResult {
  std::vector<Change> changes;
  int written = 0;      // written and read back as the file says
  int differences = 0;  // written, yet still different
  bool flashed = false;

  // Flash only what took: nothing on a dry run, nothing unchanged, and never
  // a half-restored set.
  bool ShouldFlash(bool flash_asked, bool dry_run) const {
    return flash_asked && !dry_run && differences == 0 && written > 0;
  }
  // {"address", "dry_run", "changes", "skipped", "differences", "flashed"}.
  std::string Json(const RestorePlan& plan, bool dry_run) const;
};

// Runs the plan: each register is read, and written and read back where it
// differs (unless `dry_run`). `on_change` sees each change as it is done.
RestoreResult Restore(const RestorePlan& plan, bool dry_run, const MotorAccess& motor,
                      const std::function<void(const Change&)>& on_change = {});

}  // namespace qelcomm::params
