// module program: an Intel HEX file looked at first, then sent with
// VemoProgram, its steps shown as they happen.
#include <CLI/CLI.hpp>
#include <system_error>

#include "args.h"
#include "command.h"
#include "format.h"
#include "progress.h"
#include "qelcomm/program_image.h"
#include "qelcomm/protocol.h"
#include "session.h"

namespace qelctl {
namespace {
using json = nlohmann::ordered_json;
using qelcomm::ProgramProgress;
using qelcomm::protocol::kProgramPages;  // VemoProgram sends pages 0..3

std::string Mod(int addr) { return "module " + std::to_string(addr); }

struct ProgramArgs {
  int address = 0;
  std::string file;
  bool allow_outside = false;
};

std::string SpanList(const std::vector<qelcomm::ProgramImageInspection::Span>& spans) {
  std::string text;
  for (size_t i = 0; i < spans.size() && i < 4; ++i) {
    text += (i ? ", " : "") + qelcomm::SpanText(spans[i]);
  }
  return spans.size() > 4 ? text + " and " + std::to_string(spans.size() - 4) + " more" : text;
}

// Looks at the file before the module is stopped: a file that would erase
// the program, or lose part of itself, is refused with nothing sent.
// Returns the warnings that do not refuse it.
std::vector<std::string> CheckProgramFile(Session& s, const ProgramArgs& a) {
  std::string text;
  if (const qelcomm::OsError e =
          s.platform().ReadWholeFile(a.file, text, qelcomm::kMaxProgramHexFileSize);
      e != 0) {
    throw UsageError("cannot read HEX file " + a.file + ": " + s.platform().ErrorText(e));
  }
  const std::string refused = "; nothing was sent";
  if (text.size() > qelcomm::kMaxProgramHexFileSize) {
    throw UsageError(a.file + " is larger than 16 MiB: not a module program" + refused);
  }
  const qelcomm::ProgramImageInspection in = qelcomm::InspectProgramImage(text);
  if (!in.ok()) {
    throw UsageError(a.file + " line " + std::to_string(in.error_line) + ": " + in.error + refused);
  }
  if (in.bytes_set == 0) {
    throw UsageError(a.file + " sets no byte of image 0x0000..0x01FF (pages 0..3): programming " +
                     "it would erase the module's program" + refused);
  }
  std::vector<std::string> warnings;
  if (!in.outside.empty()) {
    const std::string where = "data outside pages 0..3 at " + SpanList(in.outside);
    if (!a.allow_outside) {
      throw UsageError(a.file + " has " + where + ", which programming does not send" + refused +
                       " (--allow-outside sends bytes 0..511 anyway)");
    }
    warnings.push_back(where + " is not sent");
  }
  if (!in.conflicts.empty()) {
    warnings.push_back("records set " + SpanList(in.conflicts) +
                       " more than once with different values; the last one counts");
  }
  return warnings;
}

// Shows VemoProgram's steps: a bar on a terminal, plain lines on stderr
// otherwise, JSON lines on stdout with --json.
class ProgramReport {
 public:
  ProgramReport(Session& s, int address)
      : s_(s),
        address_(address),
        start_(s.platform().NowMs()),
        bar_(s.err(), s.err_is_tty() && !s.json(), "programming " + Mod(address),
             kProgramPages + 2) {}

  void operator()(const ProgramProgress& p) {
    using Step = ProgramProgress::Step;
    switch (p.step) {
      case Step::kStop:
        Show(0, "stop", "stopping the module", {});
        break;
      case Step::kPage:
        Show(p.page, "page",
             "sending page " + std::to_string(p.page - 1) + " (" + std::to_string(p.page) + " of " +
                 std::to_string(p.pages) + ")",
             {{"page", p.page - 1}, {"pages", p.pages}});
        break;
      case Step::kWrite:
        Show(p.pages + 1, "write", "sending the write command", {});
        break;
      case Step::kWaiting:
        Show(p.pages + 1, "waiting", "write command accepted; waiting for the module to answer",
             {});
        // The wait probes the module; every probe turns the bar's spinner.
        s_.SetActivity([this, done = p.pages + 1] {
          static constexpr char kTurns[] = {'|', '/', '-', '\\'};
          bar_.Update(done, std::string("waiting for the module ") + kTurns[turn_++ % 4]);
        });
        break;
    }
  }

  void Finish() {
    s_.SetActivity(nullptr);
    bar_.Clear();
  }
  uint64_t Elapsed() const { return s_.platform().NowMs() - start_; }

 private:
  void Show(int done, const char* event, const std::string& text, json fields) {
    if (s_.json()) {
      json j = {{"event", event}};
      for (auto& [k, v] : fields.items()) j[k] = v;
      j["time_ms"] = Elapsed();
      s_.PrintJson(j, true);
    } else if (s_.err_is_tty()) {
      bar_.Update(done, text);
    } else {
      s_.err() << Mod(address_) << ": " << text << '\n' << std::flush;
    }
  }

  Session& s_;
  int address_;
  uint64_t start_;
  ProgressBar bar_;
  unsigned turn_ = 0;
};

int Program(Session& s, const ProgramArgs& a) {
  const auto addr = int16_t(a.address);
  for (const std::string& w : CheckProgramFile(s, a)) {
    s.err() << "qelctl: " << a.file << ": " << w << '\n';
  }
  s.Open();
  ProgramReport report(s, addr);
  bool ok = false;
  try {
    ok = s.ctrl().VemoProgram(addr, a.file, std::ref(report));
  } catch (const std::system_error& e) {
    // Nothing was sent: the file is read before the first telegram.
    throw UsageError("cannot read HEX file " + a.file + ": " +
                     s.platform().ErrorText(qelcomm::OsError(e.code().value())));
  }
  report.Finish();
  // A HEX content error is ERR_UNSPECIFIED with the loader's message, which
  // the control gives out once: the report below is its only reader.
  s.CheckModule(ok, "programming " + Mod(addr) + " from " + a.file);
  const uint64_t elapsed = report.Elapsed();
  if (s.json()) {
    s.PrintJson({{"event", "done"},
                 {"address", addr},
                 {"file", a.file},
                 {"pages", kProgramPages},
                 {"elapsed_ms", elapsed}},
                true);
  } else {
    s.out() << Mod(addr) << ": programmed pages 0.." << kProgramPages - 1 << " from " << a.file
            << " in " << Seconds(elapsed) << " s\n";
  }
  return kExitOk;
}

}  // namespace

void AddModuleProgramCommand(CLI::App* group, CommandList& out) {
  auto a = std::make_shared<ProgramArgs>();
  auto* app = group->add_subcommand(
      "program", "Program the module from an Intel HEX file (image bytes 0..511, pages 0..3)");
  app->add_option("ADDR", a->address, "Address of the motor the module is fitted to")
      ->required()
      ->check(StrictInt(1, 255));
  app->add_option("FILE", a->file, "Intel HEX file")->required()->type_name("FILE.hex");
  app->add_flag("--allow-outside", a->allow_outside,
                "Program bytes 0..511 of a file that also sets bytes beyond them");
  app->footer(
      "Stops the module, sends image bytes 0..511 as pages 0..3, sends the write command and\n"
      "waits until the module answers again. Image bytes that no record sets are sent as 0xFF.\n"
      "Refused before anything is sent: a file that sets none of bytes 0..511, a HEX error\n"
      "(named by line), and data beyond byte 511 unless --allow-outside.\n"
      "Progress goes to stderr: a bar on a terminal, one line per step otherwise; with\n"
      "--json, one JSON object per step on stdout, the last with \"event\": \"done\".");
  out.push_back({app, [a](Session& s) { return Program(s, *a); }});
}

}  // namespace qelctl
