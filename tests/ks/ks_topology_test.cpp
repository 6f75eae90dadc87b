// Topology walks over hand-made connection lists, including cycles.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "ks/ks_parse.h"
#include "tests/ks/ks_bytes.h"

namespace {

constexpr ULONG F = KSFILTER_NODE;

struct Topology {
  CKsList<KSTOPOLOGY_CONNECTION> list{true};
  explicit Topology(std::initializer_list<KSTOPOLOGY_CONNECTION> connections) {
    for (const auto& c : connections) list.Append(new KSTOPOLOGY_CONNECTION(c));
  }
};

struct LinePins {
  std::set<ULONG> line;
  std::vector<ULONG> asked;
};

bool IsLine(void* ctx, ULONG pin) {
  auto* pins = static_cast<LinePins*>(ctx);
  pins->asked.push_back(pin);
  return pins->line.count(pin) != 0;
}

TEST(KsDownstream, FollowsNodesToTheBridgePin) {
  Topology t{{F, 0, 3, 1}, {3, 0, 5, 2}, {5, 1, F, 1}};
  EXPECT_EQ(1, KsFindBridgePinDownstream(t.list, F, 0));
  EXPECT_EQ(-1, KsFindBridgePinDownstream(t.list, F, 2));
  Topology direct{{F, 4, F, 9}};
  EXPECT_EQ(9, KsFindBridgePinDownstream(direct.list, F, 4));
  Topology empty{};
  EXPECT_EQ(-1, KsFindBridgePinDownstream(empty.list, F, 0));
}

TEST(KsDownstream, CycleFindsNoBridgePin) {
  Topology loop{{F, 0, 3, 0}, {3, 0, 4, 0}, {4, 0, 3, 0}, {4, 1, F, 1}};
  EXPECT_EQ(-1, KsFindBridgePinDownstream(loop.list, F, 0));
  Topology self{{F, 0, 3, 0}, {3, 0, 3, 1}};
  EXPECT_EQ(-1, KsFindBridgePinDownstream(self.list, F, 0));
}

TEST(KsUpstream, LineConnectorWinsAndSetsLineIn) {
  // Capture pin 0 <- sum node 7 <- mic pin 1 and line pin 2.
  Topology t{{7, 0, F, 0}, {F, 1, 7, 1}, {F, 2, 7, 2}};
  LinePins pins{{2}, {}};
  ULONG lineIn = 0;
  EXPECT_EQ(2, KsFindBridgePinUpstream(t.list, F, 0, IsLine, &pins, &lineIn));
  EXPECT_EQ(1u, lineIn);
  EXPECT_EQ((std::vector<ULONG>{1, 2}), pins.asked);
}

TEST(KsUpstream, WithoutALineTheLastInputIsTaken) {
  Topology t{{7, 0, F, 0}, {F, 1, 7, 1}, {F, 3, 7, 2}};
  LinePins pins{{}, {}};
  ULONG lineIn = 5;
  EXPECT_EQ(3, KsFindBridgePinUpstream(t.list, F, 0, IsLine, &pins, &lineIn));
  EXPECT_EQ(0u, lineIn);
  Topology none{{7, 0, F, 0}};
  EXPECT_EQ(-1, KsFindBridgePinUpstream(none.list, F, 0, IsLine, &pins, &lineIn));
}

TEST(KsUpstream, CycleIsBounded) {
  // Node 7 and node 8 feed each other; a mic pin also feeds node 8.
  Topology t{{7, 0, F, 0}, {8, 0, 7, 0}, {7, 1, 8, 0}, {F, 1, 8, 1}};
  LinePins pins{{}, {}};
  ULONG lineIn = 0;
  LONG result = KsFindBridgePinUpstream(t.list, F, 0, IsLine, &pins, &lineIn);
  EXPECT_GE(1, result);
  EXPECT_EQ(0u, lineIn);

  // A dense graph of mutual connections stops within the budget.
  Topology dense{};
  for (ULONG a = 0; a < 40; ++a)
    for (ULONG b = 0; b < 40; ++b) dense.list.Append(new KSTOPOLOGY_CONNECTION{a, 0, b, 0});
  dense.list.Append(new KSTOPOLOGY_CONNECTION{0, 0, F, 0});
  pins.asked.clear();
  EXPECT_EQ(-1, KsFindBridgePinUpstream(dense.list, F, 0, IsLine, &pins, &lineIn));
  EXPECT_EQ(0u, lineIn);
}

TEST(KsTopologyConnections, CopiedInOrderOrNotAtAll) {
  Bytes two = MultipleItem<KSTOPOLOGY_CONNECTION>({{F, 0, 3, 1}, {3, 0, F, 1}});
  CKsList<KSTOPOLOGY_CONNECTION> list(true);
  ASSERT_EQ(S_OK, KsCopyTopologyConnections(two.data(), two.size(), &list));
  ASSERT_EQ(2u, list.Count());
  EXPECT_EQ(3u, list.At(0)->ToNode);
  EXPECT_EQ(3u, list.At(1)->FromNode);

  Bytes empty = MultipleItem<KSTOPOLOGY_CONNECTION>({});
  list.Clear();
  EXPECT_EQ(S_OK, KsCopyTopologyConnections(empty.data(), empty.size(), &list));
  EXPECT_EQ(0u, list.Count());

  Bytes lying = MultipleItem<KSTOPOLOGY_CONNECTION>({{F, 0, 3, 1}});
  lying.PatchAt(4, ULONG{2});
  EXPECT_EQ(E_FAIL, KsCopyTopologyConnections(lying.data(), lying.size(), &list));
  EXPECT_EQ(0u, list.Count());
  EXPECT_EQ(E_FAIL, KsCopyTopologyConnections(two.data(), two.size() - 1, &list));
  EXPECT_EQ(0u, list.Count());
}

}  // namespace
