#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "option_parser.h"
#include "options.h"

namespace qelcomm::sim {
namespace {

bool Parse(std::vector<std::string> args, SimOptions& o, std::string* err = nullptr) {
  std::string e;
  const bool ok = ParseOptions(args, o, e);
  if (err) *err = e;
  return ok;
}

TEST(Options, DefaultsAreTwoMotorsAndAModule) {
  SimOptions o;
  ASSERT_TRUE(Parse({}, o));
  ASSERT_EQ(o.bus.motors.size(), 2u);
  EXPECT_EQ(o.bus.motors[0].address, 1);
  EXPECT_FALSE(o.bus.motors[0].big);
  EXPECT_EQ(o.bus.motors[1].address, 2);
  EXPECT_TRUE(o.bus.motors[1].big);
  ASSERT_EQ(o.bus.modules.size(), 1u);
  EXPECT_EQ(o.bus.modules[0].address, 1);
}

TEST(Options, MotorsAndModulesReplaceTheirDefaults) {
  SimOptions o;
  ASSERT_TRUE(Parse({"--motor", "5", "--motor=9:big", "--motor", "5:big"}, o));
  ASSERT_EQ(o.bus.motors.size(), 2u);
  EXPECT_EQ(o.bus.motors[0].address, 9);
  EXPECT_EQ(o.bus.motors[1].address, 5);
  EXPECT_TRUE(o.bus.motors[1].big) << "a repeated address replaces the earlier one";
  EXPECT_EQ(o.bus.modules.size(), 1u) << "modules keep their default";

  SimOptions m;
  ASSERT_TRUE(Parse({"--module", "3:0x80:2:5:-1"}, m));
  ASSERT_EQ(m.bus.modules.size(), 1u);
  EXPECT_EQ(m.bus.modules[0].type, 0x80);
  EXPECT_EQ(m.bus.modules[0].firmware, 2);
  EXPECT_EQ(m.bus.modules[0].inputs, 5);
  EXPECT_EQ(m.bus.modules[0].noop_value, 0xFFFF);
  EXPECT_EQ(m.bus.motors.size(), 2u);

  SimOptions n;
  ASSERT_TRUE(Parse({"--no-module"}, n));
  EXPECT_TRUE(n.bus.modules.empty());
}

TEST(Options, FaultsTimingAndFlags) {
  SimOptions o;
  ASSERT_TRUE(Parse({"--fault", "1:drop", "--fault", "2:late:3", "--seed", "99", "--fault-rate", "0.2",
                     "--faults", "corrupt,split", "--turnaround-ms", "2.5", "--pace", "--baud", "9600",
                     "--trace", "--link", "/tmp/x", "--vanish-after", "7", "--set", "2:P_SOLL=-5",
                     "--set", "1:GROUPID=3", "--set", "1:35=0x10"},
                    o));
  ASSERT_EQ(o.bus.faults.size(), 2u);
  EXPECT_EQ(o.bus.faults[1].kind, FaultKind::kLate);
  EXPECT_EQ(o.bus.faults[1].count, 3u);
  EXPECT_EQ(o.bus.seed, 99u);
  EXPECT_DOUBLE_EQ(o.bus.fault_rate, 0.2);
  EXPECT_EQ(o.bus.random_kinds, (std::vector<FaultKind>{FaultKind::kCorrupt, FaultKind::kSplit}));
  EXPECT_EQ(o.bus.line.turnaround_us, 2500u);
  EXPECT_TRUE(o.bus.line.pace);
  EXPECT_EQ(o.bus.line.baud, 9600u);
  EXPECT_TRUE(o.trace);
  EXPECT_EQ(o.link, "/tmp/x");
  EXPECT_EQ(o.bus.vanish_after, 7u);
  ASSERT_EQ(o.bus.presets.size(), 3u);
  EXPECT_EQ(o.bus.presets[0].number, 3);
  EXPECT_EQ(static_cast<int32_t>(o.bus.presets[0].value), -5);
  EXPECT_EQ(o.bus.presets[1].number, 260);
  EXPECT_EQ(o.bus.presets[2].value, 16u);
}

TEST(Options, BadInputIsReported) {
  const std::vector<std::vector<std::string>> bad = {
      {"--motor", "0"},        {"--motor", "255"},       {"--motor", "3:huge"},
      {"--fault", "1:melt"},   {"--fault", "1"},         {"--fault-rate", "1.5"},
      {"--turnaround-ms", "x"}, {"--bogus"},             {"--motor"},
      {"--set", "1:NOPE=3"},   {"--trace=1"},            {"stray"},
      {"--config", "/nonexistent/qelsim.conf"}, {"--config", "/dev/zero"},
  };
  for (const auto& args : bad) {
    SimOptions o;
    std::string err;
    EXPECT_FALSE(Parse(args, o, &err)) << args[0];
    EXPECT_FALSE(err.empty());
  }
}

TEST(Options, RegisterNamesIgnoreCaseInEveryTable) {
  SimOptions o;
  ASSERT_TRUE(Parse({"--motor", "2:big", "--set", "2:groupid=4", "--set", "2:p_soll=1", "--set", "2:Mode_Reg=2"}, o));
  ASSERT_EQ(o.bus.presets.size(), 3u);
  EXPECT_EQ(o.bus.presets[0].number, 260);
  EXPECT_EQ(o.bus.presets[1].number, 3);
  EXPECT_EQ(o.bus.presets[2].number, 2);
}

// The help is made from the option table: every option is in it, and what
// the help says takes a value is what the parser wants one for.
TEST(Options, HelpAndParserAgreeOnEveryOption) {
  const std::string help = HelpText();
  for (const OptionSpec& spec : OptionTable()) {
    const std::string opt = std::string("--") + spec.name;
    SCOPED_TRACE(opt);
    EXPECT_NE(help.find("  " + opt + (spec.value ? " " : "")), std::string::npos);
    SimOptions o;
    std::string err;
    if (spec.value == nullptr) {
      EXPECT_FALSE(Parse({opt + "=1"}, o, &err));
      EXPECT_NE(err.find("takes no value"), std::string::npos) << err;
    } else {
      EXPECT_FALSE(Parse({opt}, o, &err));
      EXPECT_NE(err.find("needs a value"), std::string::npos) << err;
    }
  }
}

TEST(Options, ConfigFileLinesAreOptionsWithoutDashes) {
  const std::string path = ::testing::TempDir() + "qelsim_options_test.conf";
  {
    std::ofstream f(path);
    f << "# test bus\n"
         "motor 4\n"
         "motor = 6:big   # trailing comment\n"
         "\n"
         "module 4:5:20\n"
         "fault 6:split\n"
         "set 6:GROUPID=2\n"
         "trace\n";
  }
  SimOptions o;
  std::string err;
  ASSERT_TRUE(Parse({"--config", path, "--turnaround-ms", "3"}, o, &err)) << err;
  ASSERT_EQ(o.bus.motors.size(), 2u);
  EXPECT_TRUE(o.bus.motors[1].big);
  ASSERT_EQ(o.bus.modules.size(), 1u);
  EXPECT_EQ(o.bus.modules[0].type, 5);
  EXPECT_EQ(o.bus.faults.size(), 1u);
  EXPECT_EQ(o.bus.presets[0].number, 260);
  EXPECT_TRUE(o.trace);
  EXPECT_EQ(o.bus.line.turnaround_us, 3000u);

  SimOptions bad;
  EXPECT_FALSE(ParseConfigText("motor 1\nfault 1:nope\n", bad, err));
  EXPECT_NE(err.find(":2:"), std::string::npos) << err;
  std::remove(path.c_str());
}

}  // namespace
}  // namespace qelcomm::sim
