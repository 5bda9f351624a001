// Every telegram method of the control against every reply fault of the
// virtual bus, in virtual time: the result, the code left, the telegrams
// sent and the time taken. The outcome table is docs/fault-matrix.md; the
// test renders it and compares it with the committed copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "qelcomm/QelCommCtrl.h"
#include "support/test_platform.h"
#include "virtual_bus.h"

namespace qelcomm {
namespace {

using sim::FaultKind;

constexpr uint64_t W = 100;  // one reply window
constexpr uint64_t R = 5;    // the default Retries
constexpr uint64_t kMarginMs = 20;
constexpr uint64_t kPageWindow = W + 2 * 139;  // plus twice a page's wire time at 19200
constexpr uint64_t kProbes = (R + 1) * R * W;  // a reset-wait's identification probes
constexpr uint64_t kFinalLoop = R * (W + 1000);
constexpr uint64_t kModeWait = 5000 + R * W;
constexpr uint64_t kReset = R * W + kModeWait + kFinalLoop;
constexpr uint64_t kFlash = kModeWait + R * W + kModeWait + kFinalLoop;
constexpr uint64_t kWrite = R * (W + 7000 + R * W);

const std::vector<FaultKind> kFaults{
    FaultKind::kNone,        FaultKind::kDrop,       FaultKind::kCorrupt,  FaultKind::kComplement,
    FaultKind::kWrongSync,   FaultKind::kLate,       FaultKind::kSplit,    FaultKind::kNoiseBefore,
    FaultKind::kNoiseAfter,  FaultKind::kBadAccept,  FaultKind::kChatter,  FaultKind::kVanish};

struct Method {
  const char* name;
  uint64_t bound_ms;
  std::function<bool(CQelCommCtrl&)> call;
  enum Kind {
    kAnswered,
    kSilentOk,    // may fail with no code: a silent module leaves none
    kUnanswered,  // nothing is awaited, so no reply fault reaches it
  } kind = kAnswered;
};

int16_t s16 = 0;
int32_t s32 = 0;
float f32 = 0;
std::vector<uint8_t> page_in;
const std::vector<uint8_t> kPage(128, 0x5A);
const char* const kHexFile = "fault_matrix.hex";

const std::vector<Method> kMethods{
    {"ReadParameter", R * W, [](auto& c) { return c.ReadParameter(1, 2, s32); }},
    {"WriteParameter", R * W, [](auto& c) { return c.WriteParameter(1, 14, 3); }},
    {"ReadParameterAlternate", R * W, [](auto& c) { return c.ReadParameterAlternate(1, 3, f32); }},
    {"WriteParameterAlternate", R * W, [](auto& c) { return c.WriteParameterAlternate(1, 3, 1.5f); }},
    {"ReadStatus", R * 9 * W, [](auto& c) { return c.ReadStatus(1, s16, s32, s16); }},
    {"WriteGroup", 3 * 1000, [](auto& c) { return c.WriteGroup(3, 14, 5); }, Method::kUnanswered},
    {"Reset", kReset, [](auto& c) { return c.Reset(1); }},
    {"ResetWait", kReset + kModeWait, [](auto& c) { return c.ResetWait(1); }},
    {"WriteToFlash", kFlash, [](auto& c) { return c.WriteToFlash(1); }},
    {"WriteToFlashWait", kFlash + kModeWait, [](auto& c) { return c.WriteToFlashWait(1); }},
    {"GetModuleType", R * W, [](auto& c) { return c.GetModuleType(1, s16, s16); }, Method::kSilentOk},
    {"VemoReset", 0, [](auto& c) { return c.VemoReset(1); }, Method::kUnanswered},
    {"VemoStop", R * 2 * W, [](auto& c) { return c.VemoStop(1); }},
    {"VemoResetWait", kProbes, [](auto& c) { return c.VemoResetWait(1); }, Method::kSilentOk},
    {"VemoDebug", R * W, [](auto& c) { return c.VemoDebug(1, s16, s16, s16, s32, s32, s16); }, Method::kSilentOk},
    {"VemoGet", R * kPageWindow, [](auto& c) { return c.VemoGet(1, 0, page_in); }, Method::kSilentOk},
    {"VemoPut", R * 2 * W, [](auto& c) { return c.VemoPut(1, 0, kPage); }},
    {"VemoWrite", kWrite, [](auto& c) { return c.VemoWrite(1); }, Method::kSilentOk},
    {"VemoProgram", R * 2 * W + 4 * R * 2 * W + kWrite,
     [](auto& c) { return c.VemoProgram(1, kHexFile); }, Method::kSilentOk},
    {"QupNOOP", R * W, [](auto& c) { return c.QupNOOP(1, s16); }},
    {"QupStart", R * W, [](auto& c) { return c.QupStart(1); }},
    {"QupStop", R * W, [](auto& c) { return c.QupStop(1); }},
    {"QupPause", R * W, [](auto& c) { return c.QupPause(1); }},
    {"QupStep", R * W, [](auto& c) { return c.QupStep(1, 0x10, 0x200); }},
    {"QupSetOutputs", R * W, [](auto& c) { return c.QupSetOutputs(1, 5, 7); }},
    {"QupReset", 0, [](auto& c) { return c.QupReset(1); }, Method::kUnanswered},
    {"QupResetWait", kProbes, [](auto& c) { return c.QupResetWait(1); }, Method::kSilentOk},
};

// Cells whose outcome is our own choice rather than settled behaviour.
struct Note {
  std::vector<std::string> methods;  // empty: every method of the column
  FaultKind fault;
  const char* text;
};
const std::vector<Note> kNotes{
    {{"WriteGroup", "VemoReset", "QupReset"}, FaultKind::kVanish,
     "Nothing is awaited after these telegrams, so the simulated device, which vanishes "
     "instead of answering, never goes. A device already gone fails them at the write with "
     "the OS error."},
    {{}, FaultKind::kVanish,
     "Our choice: the OS error that showed the loss (EIO on POSIX, ERROR_BAD_COMMAND on "
     "Windows) replaces the protocol code, and the call ends at once, with no further "
     "attempt, pause or probe."},
    {{"WriteGroup"}, FaultKind::kNone,
     "Our choice: after each copy the wait for the transmit queue to drain is bounded by the "
     "copy's wire time plus one second, where the protocol sets no limit; the bound column "
     "uses that."},
    {{"VemoGet"}, FaultKind::kSplit,
     "Our choice: the page wait moves its deadline 10 ms later for every change of the queue "
     "count, but never beyond one window plus twice the page's wire time (378 ms at "
     "19200 bit/s), so a line that keeps trickling cannot hold it. The split page fits."},
    {{"VemoGet"}, FaultKind::kLate,
     "The simulated late reply does not hold the line, so at wire speed the retry's page "
     "reply arrives interleaved with it; a real device would send them one after the other."},
};

struct Outcome {
  bool ok = false;
  uint32_t code = 0;
  size_t telegrams = 0;
  uint64_t ms = 0;
  uint64_t ms_after_last_telegram = 0;
};

Outcome RunCell(const Method& m, FaultKind fault) {
  sim::BusConfig config = sim::BusConfig::Defaults();
  config.line.pace = true;
  auto platform = std::make_shared<testing::TestPlatform>();
  auto peer = std::make_shared<sim::SimPeer>(config);
  testing::TestLine& line = platform->AddLine("sim", peer, 1);
  CQelCommCtrl ctrl(platform);
  ctrl.SetComPort(1);
  EXPECT_TRUE(ctrl.OpenPort());
  // The module answers at its own address and at the probe address.
  peer->bus().SetFault(1, fault);
  peer->bus().SetFault(255, fault);
  const uint64_t start = platform->NowMs();
  Outcome o;
  o.ok = m.call(ctrl);
  o.ms = platform->NowMs() - start;
  o.code = uint32_t(ctrl.GetLastError());
  o.telegrams = line.written.size();
  if (o.telegrams > 0) o.ms_after_last_telegram = platform->NowMs() - line.written.back().at_us / 1000;
  return o;
}

std::string CodeText(uint32_t code) {
  if (code == 0) return "—";
  if (code == sim::SimPeer::DefaultVanishError()) return "OS error";
  const char* name = ErrorName(code);
  return name ? std::string(name).substr(4) : std::to_string(code);
}

const Note* NoteFor(const Method& m, FaultKind f) {
  for (const Note& n : kNotes) {
    const bool named = std::find(n.methods.begin(), n.methods.end(), m.name) != n.methods.end();
    if (n.fault == f && (n.methods.empty() || named)) return &n;
  }
  return nullptr;
}

std::string Render(const std::vector<std::vector<Outcome>>& table) {
  std::ostringstream out;
  out << "# Fault matrix\n\n"
         "What each telegram method of `CQelCommCtrl` returns when every reply to the motor and\n"
         "module at address 1, and to the probe address 255, carries one fault of the virtual\n"
         "bus for the whole call. Retries 5, GrpSends 3, 19200 bit/s with bytes paced at wire\n"
         "speed, virtual time.\n\n"
         "Each cell: ✓ or ✗ for the result, the last-error code without its `ERR_` prefix\n"
         "(— for none), and the telegrams the control sent. The last column is the longest\n"
         "call of the row and the bound it is held to, in milliseconds.\n\n"
         "Generated by `tests/scenario/fault_matrix_test.cpp`, which fails when this file\n"
         "differs from what the control does; regenerate with\n"
         "`QELCOMM_UPDATE_DOCS=1 ctest --preset debug -R FaultMatrix`.\n\n| Method |";
  for (FaultKind f : kFaults) out << ' ' << sim::FaultName(f) << " |";
  out << " ms / bound |\n|---|";
  for (size_t i = 0; i <= kFaults.size(); ++i) out << "---|";
  out << '\n';
  std::vector<const Note*> used;
  for (size_t r = 0; r < kMethods.size(); ++r) {
    uint64_t longest = 0;
    out << "| " << kMethods[r].name << " |";
    for (size_t c = 0; c < kFaults.size(); ++c) {
      const Outcome& o = table[r][c];
      longest = std::max(longest, o.ms);
      out << ' ' << (o.ok ? "✓ " : "✗ ") << CodeText(o.code) << ' ' << o.telegrams;
      if (const Note* n = NoteFor(kMethods[r], kFaults[c])) {
        auto it = std::find(used.begin(), used.end(), n);
        if (it == used.end()) it = used.insert(used.end(), n);
        out << " [" << (it - used.begin() + 1) << ']';
      }
      out << " |";
    }
    out << ' ' << longest << " / " << kMethods[r].bound_ms << " |\n";
  }
  out << '\n';
  for (size_t i = 0; i < used.size(); ++i) out << '[' << i + 1 << "] " << used[i]->text << "\n\n";
  return out.str();
}

// The invariants every cell keeps, whatever the table says.
void CheckCell(const Method& m, FaultKind f, const Outcome& o) {
  SCOPED_TRACE(std::string(m.name) + " / " + sim::FaultName(f));
  EXPECT_LE(o.ms, m.bound_ms + kMarginMs);
  if (f == FaultKind::kNone) {
    EXPECT_TRUE(o.ok);
  }
  if (!o.ok && m.kind != Method::kSilentOk) {
    EXPECT_NE(o.code, 0u) << "a failure must say why";
  }
  if (f == FaultKind::kVanish && m.kind != Method::kUnanswered) {
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.code, sim::SimPeer::DefaultVanishError());
    EXPECT_LE(o.ms_after_last_telegram, W) << "the device went away at the last telegram";
  }
}

TEST(FaultMatrix, EveryMethodAgainstEveryFault) {
  std::ofstream(kHexFile) << ":0400000012345678E8\n:00000001FF\n";
  std::vector<std::vector<Outcome>> table;
  for (const Method& m : kMethods) {
    table.emplace_back();
    for (FaultKind f : kFaults) {
      table.back().push_back(RunCell(m, f));
      CheckCell(m, f, table.back().back());
    }
  }
  const std::string doc = Render(table);
#ifdef QELCOMM_FAULT_MATRIX_DOC
  if (std::getenv("QELCOMM_UPDATE_DOCS")) {
    std::ofstream(QELCOMM_FAULT_MATRIX_DOC, std::ios::binary) << doc;
    return;
  }
  std::ifstream committed(QELCOMM_FAULT_MATRIX_DOC, std::ios::binary);
  std::stringstream text;
  text << committed.rdbuf();
  if (text.str() != doc) {
    std::ofstream("fault-matrix.md", std::ios::binary) << doc;
    ADD_FAILURE() << QELCOMM_FAULT_MATRIX_DOC << " differs from what the control does (the new "
                  << "table is fault-matrix.md in the test's directory). If the change is "
                  << "intended, regenerate it: QELCOMM_UPDATE_DOCS=1 ctest --preset debug -R "
                  << "FaultMatrix";
  }
#endif
}

}  // namespace
}  // namespace qelcomm
