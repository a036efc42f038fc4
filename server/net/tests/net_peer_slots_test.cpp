// Open connections per client address, as tables of (take or give, key,
// granted?) steps, with the number of addresses the table holds after each.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/net/handshake_slots.h"
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

// TLS handshakes at once: a take beyond the cap waits in line; a give hands
// the slot to the first in line whose connection is still there.
struct HandshakeStep {
  char op;              // 't': a connection takes or waits, 'g': a handshake ends,
                        // 'x': connection `id` goes away (its turn, when it comes, is declined)
  int id;               // for 't' and 'x'
  const char* started;  // the ids that have a slot so far, in order
  int64_t running;
  std::size_t waiting;
};

struct HandshakeCase {
  const char* name;
  std::size_t cap;
  std::vector<HandshakeStep> steps;
};

const HandshakeCase kHandshakes[] = {
    {"up to the cap at once, then in line", 2,
     {{'t', 1, "1", 1, 0}, {'t', 2, "12", 2, 0}, {'t', 3, "12", 2, 1}, {'t', 4, "12", 2, 2}}},
    {"a slot given back goes to the first in line", 1,
     {{'t', 1, "1", 1, 0}, {'t', 2, "1", 1, 1}, {'t', 3, "1", 1, 2}, {'g', 0, "12", 1, 1},
      {'g', 0, "123", 1, 0}, {'g', 0, "123", 0, 0}}},
    {"a connection gone before its turn is passed over", 1,
     {{'t', 1, "1", 1, 0}, {'t', 2, "1", 1, 1}, {'t', 3, "1", 1, 2}, {'x', 2, "1", 1, 2},
      {'g', 0, "13", 1, 0}}},
    {"every one in line gone: the slot is free", 1,
     {{'t', 1, "1", 1, 0}, {'t', 2, "1", 1, 1}, {'x', 2, "1", 1, 1}, {'g', 0, "1", 0, 0},
      {'t', 3, "13", 1, 0}}},
    {"cap 0 counts as 1", 0, {{'t', 1, "1", 1, 0}, {'t', 2, "1", 1, 1}}},
    {"a give with nothing running changes nothing", 2, {{'g', 0, "", 0, 0}, {'t', 1, "1", 1, 0}}},
};

TEST(HandshakeSlots, Table) {
  for (const HandshakeCase& c : kHandshakes) {
    HandshakeSlots slots(c.cap);
    auto started = std::make_shared<std::string>();
    auto gone = std::make_shared<std::string>();
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const HandshakeStep& s = c.steps[i];
      const char id = static_cast<char>('0' + s.id);
      if (s.op == 't') {
        if (slots.TakeOrWait([started, gone, id] {
              if (gone->find(id) != std::string::npos) return false;
              *started += id;
              return true;
            })) {
          *started += id;
        }
      } else if (s.op == 'g') {
        slots.Give();
      } else {
        *gone += id;
      }
      EXPECT_EQ(*started, s.started) << c.name << ", step " << i;
      EXPECT_EQ(slots.running(), s.running) << c.name << ", step " << i;
      EXPECT_EQ(slots.waiting(), s.waiting) << c.name << ", step " << i;
    }
  }
}

}  // namespace
}  // namespace pbs
