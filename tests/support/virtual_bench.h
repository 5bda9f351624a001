// A control opened on one virtual line with a scripted peer.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "qelcomm/QelCommCtrl.h"
#include "support/scripted_peer.h"
#include "support/test_platform.h"

namespace qelcomm::testing {

struct VirtualBench {
  std::shared_ptr<TestPlatform> platform = std::make_shared<TestPlatform>();
  std::shared_ptr<ScriptedPeer> peer = std::make_shared<ScriptedPeer>();
  TestLine& line = platform->AddLine("vcom1", peer, 1);
  CQelCommCtrl ctrl{platform};

  explicit VirtualBench(bool open = true) {
    ctrl.SetComPort(1);
    if (open) {
      EXPECT_TRUE(ctrl.OpenPort());
    }
  }
  uint64_t NowMs() { return platform->NowMs(); }
  size_t Sent() const { return line.written.size(); }
  const Bytes& LastSent() const { return line.written.back().bytes; }
};

}  // namespace qelcomm::testing
