#include "qelctl.h"

#include <CLI/CLI.hpp>
#include <algorithm>

#include "args.h"
#include "cli.h"
#include "command.h"
#include "session.h"

namespace qelctl {
namespace {

constexpr const char* kDescription =
    "qelctl - drive Qel servo motors, and the Vemo modules fitted to them, over one serial "
    "line.";

constexpr const char* kFooter =
    "Without --port or --com, qelctl runs on an embedded virtual bus in virtual time: a\n"
    "standard motor at address 1, a big motor at address 2 and a module fitted to motor 1.\n"
    "Address 2 is then marked big automatically; --standard 2 undoes that. Every run is a\n"
    "new bus, so changes do not carry over between runs.\n"
    "An empty --port is an error, so that an unset variable never selects the virtual bus.\n"
    "Registers are given by name (case-insensitive) or number; numbers may be written\n"
    "in decimal or 0x hex. Values in user units are decimal: the tool converts them with\n"
    "the factor sets, rounds half away from zero to the raw value, checks that against the\n"
    "register's range and shows what was written, raw and in units. Factors must be finite\n"
    "with a magnitude within 1.2e-38..3.4e38; 0 keeps a factor, and a negative factor\n"
    "inverts the direction (units = raw x factor). Module and Qup commands take the address\n"
    "of the motor the module is fitted to. With --json a failure still prints a document:\n"
    "what was read before it, and an \"error\" object (code, name, message).\n"
    "Exit status: 0 success, 1 device or protocol failure, 2 usage (a file named on the\n"
    "command line that cannot be read or written counts as one).";

void AddGlobalOptions(CLI::App& app, GlobalOptions& g) {
  auto* port = app.add_option("--port", g.port,
                              "Serial device to open, e.g. /dev/ttyUSB0; also rfc2217://HOST:PORT "
                              "or tcp://HOST:PORT for a serial server on the network")
                   ->type_name("PATH|URL");
  app.add_option("--com", g.com, "Serial port number, mapped to a device by the platform")
      ->type_name("N")
      ->check(StrictInt(1, 32767))
      ->excludes(port);
  app.add_option("--baud", g.baud, "Bit rate: any rate the device accepts")
      ->check(StrictInt(1, 4000000))
      ->capture_default_str();
  app.add_option("--retries", g.retries, "Attempts per exchange")
      ->check(StrictInt(1, 100))
      ->capture_default_str();
  app.add_option("--extra-window-ms", g.extra_window_ms,
                 "Added to every reply window, for slow or remote lines whose replies come late")
      ->type_name("MS")
      ->check(StrictInt(0, 60000))
      ->capture_default_str();
  app.add_option("--grp-sends", g.grp_sends, "Copies sent of each group write")
      ->check(StrictInt(1, 100))
      ->capture_default_str();
  app.add_option("--big", g.big, "Mark a motor address as a big motor (repeatable)")
      ->type_name("ADDR")
      ->check(StrictInt(1, 255))
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--standard", g.standard,
                 "Mark a motor address as standard-size, overriding --big (repeatable)")
      ->type_name("ADDR")
      ->check(StrictInt(1, 255))
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--factors", g.factors,
                 "User-unit factors of standard motors, applied before the command (0 keeps one)")
      ->type_name("POS,ACC,VEL");
  app.add_option("--factors-big", g.factors_big, "The same for big motors")
      ->type_name("POS,ACC,VEL");
  app.add_flag("--trace", g.trace, "Show every telegram in and out on stderr, decoded");
  app.add_flag("--json", g.json, "Print results as JSON");
  app.add_flag("--echo", g.echo,
               "The adapter hands back what it sends (RS-485 without echo suppression): take "
               "each telegram's echo off the line; on the virtual bus, make it echo too");
  app.set_version_flag("--version", std::string("qelctl ") + QELCTL_VERSION);
}

// CLI11's message, except for a word where a command belongs.
std::string ParseErrorText(CLI::App& app, const CLI::ParseError& e) {
  const std::vector<std::string> extra = app.remaining();
  if (dynamic_cast<const CLI::ExtrasError*>(&e) && app.get_subcommands().empty() &&
      !extra.empty()) {
    if (extra.front().starts_with('-')) return "unknown option " + Quoted(extra.front());
    std::string names;
    for (const CLI::App* c : app.get_subcommands({}))
      names += (names.empty() ? "" : ", ") + c->get_name();
    return "unknown command " + Quoted(extra.front()) + "; the commands are " + names;
  }
  return e.what();
}

}  // namespace

void BuildCommandLine(CLI::App& app, GlobalOptions& options, CommandList& commands) {
  app.description(kDescription);
  app.name("qelctl");
  app.fallthrough();             // global options may also follow the command
  app.require_subcommand(0, 1);  // none is reported below, after unknown words
  AddGlobalOptions(app, options);
  for (CommandGroup add : CommandGroups()) add(app, commands);
  // Set last: subcommands take the footer in force when they are added, and
  // this one is for `qelctl --help` only.
  app.footer(kFooter);
}

int RunQelctl(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
  return RunQelctl(std::move(args), out, err, RunEnv{});
}

int RunQelctl(std::vector<std::string> args, std::ostream& out, std::ostream& err,
              const RunEnv& env) {
  CLI::App app;
  GlobalOptions options;
  CommandList commands;
  BuildCommandLine(app, options, commands);

  // Known before parsing, so that a command line that does not parse still
  // gives a document.
  const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
  auto usage = [&](const std::string& message) {
    err << "qelctl: " << message << '\n';
    if (json) PrintUsageErrorJson(out, message);
    return kExitUsage;
  };
  for (const std::string& a : args) {
    // CLI11 would take these for options.
    if (IsNonFiniteWord(a)) return usage("value " + Quoted(a) + " is not a finite number");
  }
  try {
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e, out, err) == 0 ? kExitOk : kExitUsage;
    return usage(ParseErrorText(app, e));
  }
  options.port_given = app.get_option("--port")->count() > 0;

  try {
    Session session(options, out, err, env);
    for (const Command& c : commands) {
      if (c.app->parsed()) return c.run(session);
    }
  } catch (const UsageError& e) {
    return usage(e.what());
  } catch (const DeviceFailure&) {
    return kExitFailure;
  }
  return usage("a command is required (see qelctl --help)");
}

}  // namespace qelctl
