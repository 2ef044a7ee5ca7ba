#include "platform/instance.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

namespace {

using platform::CInstanceLock;

// A program name of the test's own, so that no real program's lock and no
// parallel run of the tests meets it.
std::string UniqueProgramName() {
    std::random_device randomSource;
    return "tandrel-instance-test-" + std::to_string(randomSource());
}

TEST(InstanceLock, AnInstanceThatWantsToBeAloneIsRefusedWhileAnotherRuns) {
    const std::string strProgram = UniqueProgramName();
    auto first = std::make_unique<CInstanceLock>();
    ASSERT_TRUE(first->Acquire(strProgram, true));
    EXPECT_TRUE(first->IsHeld());
    EXPECT_TRUE(first->Acquire(strProgram, true));  // held already

    CInstanceLock alone;
    EXPECT_FALSE(alone.Acquire(strProgram, true));
    EXPECT_FALSE(alone.IsHeld());

    auto joined = std::make_unique<CInstanceLock>();
    EXPECT_TRUE(joined->Acquire(strProgram, false));

    // Other programs are not affected.
    CInstanceLock other;
    EXPECT_TRUE(other.Acquire(strProgram + "-other", true));

    first.reset();
    EXPECT_FALSE(alone.Acquire(strProgram, true));  // the joined one still runs
    joined.reset();
    EXPECT_TRUE(alone.Acquire(strProgram, true));
}

}  // namespace
