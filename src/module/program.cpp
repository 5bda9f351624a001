#include "module/program.h"

#include <vector>

#include "link/exchange.h"
#include "module/hex_loader.h"
#include "module/module.h"
#include "qelcomm/errors.h"

namespace qelcomm::module {

bool Program(link::Link& link, int16_t address, const std::string& file_name,
             const ProgramProgressCallback& progress) {
  // The open test comes first, and the file is not read without it. The
  // last error is not cleared here: the exchanges below clear it.
  if (!link::Begin(link, link::Prologue::kTestOpenKeepError)) return false;
  auto report = [&](ProgramProgress::Step step, int page = 0) {
    if (progress) progress({step, page, protocol::kProgramPages});
  };
  std::vector<uint8_t> image(kImageSize, kErasedByte);
  try {
    LoadHex(ReadHexFile(*link.platform, file_name), image);
  } catch (const TSerErr& e) {
    link.last_error = ERR_UNSPECIFIED;
    link.stored_error_text = e.text;
    return false;
  }
  report(ProgramProgress::Step::kStop);
  if (!Stop(link, address)) return false;
  for (int page = 0; page < protocol::kProgramPages; ++page) {
    report(ProgramProgress::Step::kPage, page + 1);
    const std::span<const uint8_t> data(image.data() + page * protocol::kPageSize,
                                        protocol::kPageSize);
    if (!PutPage(link, address, static_cast<int16_t>(page), data)) return false;
  }
  report(ProgramProgress::Step::kWrite);
  // The write command goes to the probe address, whatever the module's.
  return Write(link, protocol::kModuleProbeAddress,
               [&] { report(ProgramProgress::Step::kWaiting); });
}

}  // namespace qelcomm::module
