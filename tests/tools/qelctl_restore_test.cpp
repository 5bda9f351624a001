// qelctl dump and restore: what a parameter set writes, what it leaves
// alone, and how a hand-edited file is read.
#include "qelctl_fixture.h"

namespace qelctl_test {
namespace {

class QelctlRestore : public Qelctl {
 protected:
  // Standard motors at 1 and 3, a big one at 2.
  void SetUp() override {
    qelcomm::sim::BusConfig config = qelcomm::sim::BusConfig::Defaults();
    config.motors.push_back({3, false});
    UseBus("three", config);
  }
  // A dump of motor 1 with `entries` as its register list.
  std::string Edited(const std::string& name, const std::string& entries) {
    return File(name, R"({"address": 1, "table": "standard", "registers": [)" + entries + "]}");
  }
};

TEST_F(QelctlRestore, WritesSettingsOnlyAndLeavesIdentitiesAndLiveValuesAlone) {
  ASSERT_EQ(Run({"write", "1", "GROUPID", "4"}).rc, 0);
  ASSERT_EQ(Run({"write", "1", "P_SOLL", "30000"}).rc, 0);  // motor 1 moves
  ASSERT_EQ(Run({"dump", "1", "-o", Path("motor1.json")}).rc, 0);
  const json dump = json::parse(Slurp(Path("motor1.json")));
  EXPECT_EQ(dump["registers"][0]["role"], "read-only");  // PROG_VERSION

  const uint32_t serial3 = OnBus(3, 154);
  const Result onto3 = Run({"restore", "3", Path("motor1.json")});
  EXPECT_EQ(onto3.rc, 0) << onto3.out << onto3.err;
  EXPECT_NE(onto3.out.find("motor 3: left alone: "), std::string::npos) << onto3.out;
  EXPECT_NE(onto3.out.find(" identity (--include-identity writes them) registers\n"),
            std::string::npos)
      << onto3.out;
  EXPECT_NE(onto3.out.find("live (--include-live writes them)"), std::string::npos);
  EXPECT_EQ(OnBus(3, 260), 4u) << "settings are written";
  EXPECT_EQ(OnBus(3, 259), 3u) << "motor 3 keeps its address";
  EXPECT_EQ(OnBus(3, 154), serial3);
  EXPECT_EQ(OnBus(3, 3), 0u) << "motor 3 is not sent after motor 1's target";

  // Onto the moving motor itself: its actual position is no difference.
  const Result self = Run({"restore", "1", Path("motor1.json")});
  EXPECT_EQ(self.rc, 0) << self.out;
  const json j = json::parse(Run({"--json", "restore", "1", Path("motor1.json"), "--dry-run"}).out);
  EXPECT_EQ(j["skipped"]["identity"], 3);  // SERIALNUMBER, MYADDR, ADDRESS
  EXPECT_GT(j["skipped"]["live"].get<int>(), 0);
}

TEST_F(QelctlRestore, LiveAndIdentityRegistersOnRequest) {
  ASSERT_EQ(Run({"dump", "1", "-o", Path("motor1.json")}).rc, 0);
  ASSERT_EQ(Run({"write", "1", "SERIALNUMBER", "77", "--force"}).rc, 0);
  ASSERT_EQ(Run({"write", "1", "P_SOLL", "50"}).rc, 0);
  ASSERT_EQ(Run({"restore", "1", Path("motor1.json")}).rc, 0);
  EXPECT_EQ(OnBus(1, 154), 77u);
  EXPECT_EQ(OnBus(1, 3), 50u);
  const Result r =
      Run({"restore", "1", Path("motor1.json"), "--include-identity", "--include-live"});
  EXPECT_NE(r.out.find("SERIALNUMBER (154): 77 -> "), std::string::npos) << r.out;
  EXPECT_NE(OnBus(1, 154), 77u);
  EXPECT_EQ(OnBus(1, 3), 0u);
}

TEST_F(QelctlRestore, ASilentAddressGivesNoDump) {
  const Result r = Run({"--retries", "1", "dump", "7", "-o", Path("none.json")});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("qelctl: dumping motor 7: none of its "), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(Path("none.json")));
}

TEST_F(QelctlRestore, ADumpOfTheOtherMotorSizeIsRefusedBeforeAnyWrite) {
  ASSERT_EQ(Run({"dump", "2", "-o", Path("big.json")}).rc, 0);
  ASSERT_EQ(Run({"dump", "1", "-o", Path("standard.json")}).rc, 0);
  const uint64_t sent = bus().telegrams();
  const Result onto_standard = Run({"restore", "1", Path("big.json")});
  EXPECT_EQ(onto_standard.rc, 2);
  EXPECT_EQ(onto_standard.err, "qelctl: " + Path("big.json") +
                                   " holds the registers of a big motor; motor 1 is taken as "
                                   "standard (--big selects a big one); nothing was written\n");
  EXPECT_EQ(Run({"restore", "2", Path("standard.json")}).rc, 2);
  EXPECT_EQ(bus().telegrams(), sent);
}

TEST_F(QelctlRestore, AHandEditedFileIsReadOneWay) {
  // raw is written; a value alone is converted in units, 50 and 50.0 alike.
  const std::string raw = Edited("raw.json", R"({"number": 5, "raw": 123, "value": 58.647216796875})");
  ASSERT_EQ(Run({"restore", "1", raw}).rc, 0);
  EXPECT_EQ(OnBus(1, 5), 123u);
  for (const char* fifty : {"50", "50.0"}) {
    const std::string f = Edited("v.json", std::string(R"({"number": 5, "value": )") + fifty + "}");
    ASSERT_EQ(Run({"restore", "1", f}).rc, 0) << fifty;
    EXPECT_EQ(OnBus(1, 5), 105u) << fifty;  // 50 / 0.476806640625 = 104.9
    ASSERT_EQ(Run({"write", "1", "V_SOLL", "0"}).rc, 0);
  }
  const uint64_t sent = bus().telegrams();
  const std::vector<std::pair<std::string, std::string>> refused = {
      {R"({"number": 5, "raw": 123, "value": 10})",
       "entry 1 (V_SOLL (5)): raw 123 and value 10 (raw 21) disagree"},
      {R"({"number": 260, "value": 1}, {"number": 5, "name": "GROUPID", "raw": 1})",
       "entry 2: name \"GROUPID\" is not register 5's (V_SOLL)"},
      {R"({"number": 5, "value": 1e9})", "entry 1 (V_SOLL (5)): raw "},
      {R"({"number": 256, "raw": 1})", "entry 1 has no register number a motor has"},
  };
  for (const auto& [entries, message] : refused) {
    const Result r = Run({"restore", "1", Edited("bad.json", entries)});
    EXPECT_EQ(r.rc, 2) << entries;
    EXPECT_NE(r.err.find(Path("bad.json") + ": " + message), std::string::npos) << r.err;
  }
  EXPECT_EQ(bus().telegrams(), sent) << "refused before anything is sent";
}

TEST_F(QelctlRestore, BrokenJsonSaysWhereOrThatItIsCutOff) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\n  \"registers\": [\n    {\"number\": 5,, }\n", " line 3, column 18: not valid JSON"},
      {"", " is empty"},
      {"  \n", " is empty"},
      {"{\"registers\": [{\"number\": 5", " ends before its JSON does: cut off?"},
      {"{\"registers\": [{\"number\": 5, \"raw\": 1e400}]}", " holds a number too large to read"},
  };
  for (const auto& [text, message] : cases) {
    const Result r = Run({"restore", "1", File("broken.json", text)});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, "qelctl: " + Path("broken.json") + message + "\n");
  }
}

}  // namespace
}  // namespace qelctl_test
