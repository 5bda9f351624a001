// The fixture of qelctl's in-process tests: qelctl run against the embedded
// virtual bus. Each test owns one bus that persists across its runs, so a
// write in one run can be checked on the simulated motors and in the next.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "qelctl.h"
#include "virtual_bus.h"

namespace qelctl_test {

using nlohmann::json;
using qelcomm::sim::FaultKind;

struct Result {
  int rc;
  std::string out;
  std::string err;
};

// One Intel HEX record, checksum included.
inline std::string Record(int address, int type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b = {uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address),
                            uint8_t(type)};
  b.insert(b.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t x : b) sum += x;
  b.push_back(uint8_t(-sum));
  std::string text = ":";
  for (uint8_t x : b) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", x);
    text += hex;
  }
  return text + "\n";
}

class Qelctl : public ::testing::Test {
 protected:
  Qelctl() : platform_(std::make_shared<qelcomm::VirtualPlatform>()) {
    peer_ = std::make_shared<qelcomm::sim::SimPeer>();
    platform_->AddLine("sim", peer_);
    env_.virtual_platform = platform_;
  }
  ~Qelctl() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // A path in this test's own temporary directory.
  std::string Path(const std::string& name) {
    if (dir_.empty()) {
      dir_ = std::filesystem::temp_directory_path() /
             ("qelctl_test_" +
              std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
      std::filesystem::create_directories(dir_);
    }
    return (dir_ / name).string();
  }
  std::string File(const std::string& name, const std::string& contents) {
    std::ofstream(Path(name), std::ios::binary) << contents;
    return Path(name);
  }
  static std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  }

  Result Run(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int rc = qelctl::RunQelctl(std::move(args), out, err, env_);
    return {rc, out.str(), err.str()};
  }

  // Runs from now on go to a new line holding a bus built from `config`.
  void UseBus(const std::string& name, const qelcomm::sim::BusConfig& config) {
    peer_ = std::make_shared<qelcomm::sim::SimPeer>(config);
    platform_->AddLine(name, peer_);
    env_.virtual_line = name;
  }

  qelcomm::sim::Bus& bus() { return peer_->bus(); }
  // A register's wire value on a simulated motor.
  uint32_t OnBus(int address, int reg) {
    return *bus().motor(uint8_t(address))->Read(reg, platform_->clock().NowUs());
  }

  std::shared_ptr<qelcomm::VirtualPlatform> platform_;
  std::shared_ptr<qelcomm::sim::SimPeer> peer_;
  qelctl::RunEnv env_;
  std::filesystem::path dir_;
};

}  // namespace qelctl_test
