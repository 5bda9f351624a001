// qelsim's options over arbitrary text: as a config file, and split at
// blanks into command-line arguments. Either parse succeeds, or it fails
// with a message; what it accepts builds a bus. Text that names another
// config file is skipped, so that the fuzzer never reads the file system.
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bus.h"
#include "check.h"
#include "options.h"

namespace {

using qelcomm::sim::SimOptions;

void CheckParsed(bool ok, const SimOptions& options, const std::string& error) {
  FUZZ_CHECK(ok || !error.empty());
  if (!ok) return;
  for (const auto& m : options.bus.motors) FUZZ_CHECK(m.address >= 1 && m.address <= 254);
  FUZZ_CHECK(options.bus.fault_rate >= 0 && options.bus.fault_rate <= 1);
  qelcomm::sim::Bus bus(options.bus);
  FUZZ_CHECK(bus.telegrams() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (text.find("config") != std::string::npos) return 0;
  {
    SimOptions options;
    std::string error;
    const bool ok = qelcomm::sim::ParseConfigText(text, options, error);
    CheckParsed(ok, options, error);
  }
  std::vector<std::string> args;
  std::istringstream words(text);
  for (std::string w; words >> w;) args.push_back(w);
  SimOptions options;
  std::string error;
  const bool ok = qelcomm::sim::ParseOptions(args, options, error);
  CheckParsed(ok, options, error);
  return 0;
}
