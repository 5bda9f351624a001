// Data files built into qelctl at build time (see embed_file.cmake), so that
// no file has to be found at run time.
#pragma once

#include <string_view>

namespace qelctl {

// tools/data/demo-module.hex: the Intel HEX program image the demo loads
// into the virtual module. 336 data bytes spread over pages 0..3 (image
// bytes 0x000-0x13F and 0x1F0-0x1FF), after an extended linear address
// record and before an end-of-file record.
std::string_view DemoModuleHex();

}  // namespace qelctl
