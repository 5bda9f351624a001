#include <iostream>

#include "qelctl.h"

#ifdef _WIN32
#include <io.h>
static bool IsTty(FILE* f) { return _isatty(_fileno(f)) != 0; }
#else
#include <unistd.h>
static bool IsTty(FILE* f) { return isatty(fileno(f)) != 0; }
#endif

int main(int argc, char** argv) {
  qelctl::RunEnv env;
  env.err_is_tty = IsTty(stderr);
  env.out_is_tty = IsTty(stdout);
  return qelctl::RunQelctl({argv + 1, argv + argc}, std::cout, std::cerr, env);
}
