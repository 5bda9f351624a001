// Writes qelctl's bash completion script to the file named by argv[1]; run
// at build time.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>

#include "cli.h"
#include "session.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: qelctl_completion FILE\n";
    return 2;
  }
  CLI::App app;
  qelctl::GlobalOptions options;
  qelctl::CommandList commands;
  qelctl::BuildCommandLine(app, options, commands);
  std::ofstream out(argv[1], std::ios::binary);
  out << qelctl::BashCompletion(app);
  out.close();
  if (!out) {
    std::cerr << "qelctl_completion: cannot write " << argv[1] << '\n';
    return 1;
  }
  return 0;
}
