// Host side of the conformance suite: the same tests against a fresh
// simulated machine.
#include <gtest/gtest.h>

#include "sim/control.h"

namespace {

class FreshMachine : public ::testing::Environment {
  public:
    void SetUp() override { sim::Reset(); }
};

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new FreshMachine);
    return RUN_ALL_TESTS();
}
