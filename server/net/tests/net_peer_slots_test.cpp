// Open connections per client address, as tables of (take or give, key,
// granted?) steps, with the number of addresses the table holds after each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/net/peer_slots.h"

namespace pbs {
namespace {

struct Step {
  bool take;          // false: give back
  const char* key;
  bool granted;       // for a take
  std::size_t held;   // addresses holding a slot afterwards
};

struct Case {
  const char* name;
  std::size_t cap;
  std::vector<Step> steps;
};

const Case kCases[] = {
    {"up to the cap, then refused", 2,
     {{true, "a", true, 1}, {true, "a", true, 1}, {true, "a", false, 1}, {true, "a", false, 1}}},
    {"a slot given back can be taken again", 1,
     {{true, "a", true, 1}, {true, "a", false, 1}, {false, "a", true, 0}, {true, "a", true, 1}}},
    {"addresses have their own slots", 1,
     {{true, "a", true, 1}, {true, "b", true, 2}, {true, "a", false, 2}, {true, "c", true, 3}}},
    {"a refused address leaves no entry", 1,
     {{true, "a", true, 1}, {true, "a", false, 1}, {false, "a", true, 0}}},
    {"an address that gave back every slot is forgotten", 3,
     {{true, "a", true, 1}, {true, "a", true, 1}, {false, "a", true, 1}, {false, "a", true, 0}}},
    {"giving back what was never taken changes nothing", 1,
     {{false, "a", true, 0}, {true, "a", true, 1}, {true, "a", false, 1}}},
    {"cap 0: no limit", 0,
     {{true, "a", true, 1}, {true, "a", true, 1}, {true, "a", true, 1}, {false, "a", true, 1}}},
};

TEST(PeerSlots, Table) {
  for (const Case& c : kCases) {
    PeerSlots slots(c.cap);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      if (s.take) {
        EXPECT_EQ(slots.Take(s.key), s.granted) << c.name << ", step " << i;
      } else {
        slots.Give(s.key);
      }
      EXPECT_EQ(slots.Addresses(), s.held) << c.name << ", step " << i;
    }
  }
}

}  // namespace
}  // namespace pbs
