// The map as the gateway serves it, and docs/modbus-map.md rendered from it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "modbus_map.h"

namespace qelgate {
namespace {

TEST(ModbusMap, RowsDoNotOverlapAndPairsStayWhole) {
  const auto map = ModbusMap();
  for (size_t i = 0; i < map.size(); ++i) {
    for (size_t j = i + 1; j < map.size(); ++j) {
      if (map[i].space != map[j].space) continue;
      EXPECT_TRUE(map[i].first + map[i].count <= map[j].first ||
                  map[j].first + map[j].count <= map[i].first)
          << map[i].meaning << " / " << map[j].meaning;
    }
  }
  const MapRow* status = FindRow(Space::kInput, 0);
  ASSERT_NE(status, nullptr);
  EXPECT_TRUE(WholePairs(*status, 0, 4));
  EXPECT_TRUE(WholePairs(*status, 1, 2));
  EXPECT_FALSE(WholePairs(*status, 0, 2));  // ends inside the position
  EXPECT_FALSE(WholePairs(*status, 2, 2));  // starts inside it
  const MapRow* raw = FindRow(Space::kHolding, 716);
  ASSERT_NE(raw, nullptr);
  EXPECT_TRUE(WholePairs(*raw, 716, 2));
  EXPECT_FALSE(WholePairs(*raw, 717, 1));
  EXPECT_EQ(FindRow(Space::kHolding, 718), nullptr);
  EXPECT_EQ(FindRow(Space::kInput, 4), nullptr);
}

TEST(ModbusMap, DocumentMatchesTheTable) {
  const std::string doc = RenderMap();
#ifdef QELGATE_MAP_DOC
  if (std::getenv("QELCOMM_UPDATE_DOCS")) {
    std::ofstream(QELGATE_MAP_DOC, std::ios::binary) << doc;
    return;
  }
  std::ifstream committed(QELGATE_MAP_DOC, std::ios::binary);
  std::stringstream text;
  text << committed.rdbuf();
  if (text.str() != doc) {
    std::ofstream("modbus-map.md", std::ios::binary) << doc;
    ADD_FAILURE() << QELGATE_MAP_DOC << " differs from the gateway's table (the new one is "
                  << "modbus-map.md in the test's directory). If the change is intended, "
                  << "regenerate it: QELCOMM_UPDATE_DOCS=1 ctest --preset debug -R ModbusMap";
  }
#endif
}

}  // namespace
}  // namespace qelgate
