#include "common/interruption.h"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <future>
#include <thread>

#include "common/failure.h"
#include "common/properties.h"

namespace orlex::common {
namespace {

using namespace std::chrono_literals;

TEST(Interruption, ThreadWithoutTokenIsNeverInterrupted) {
    EXPECT_FALSE(interruptionRequested());
    EXPECT_NO_THROW(throwIfInterrupted());
    EXPECT_NO_THROW(sleepFor(1ms));
}

TEST(Interruption, StopRequestedBeforeSleepThrowsAtOnce) {
    std::stop_source source;
    source.request_stop();
    const ScopedStopToken scope(source.get_token());
    EXPECT_TRUE(interruptionRequested());
    EXPECT_THROW(throwIfInterrupted(), Interrupted);
    EXPECT_THROW(sleepFor(24h), Interrupted);
}

TEST(Interruption, StopFromAnotherThreadWakesALongSleep) {
    std::promise<void> sleeping;
    std::jthread worker([&](std::stop_token token) {
        const ScopedStopToken scope(token);
        sleeping.set_value();
        try {
            sleepFor(24h);
            ADD_FAILURE() << "the sleep ended without an interruption";
        } catch (const Interrupted&) {
        }
    });
    sleeping.get_future().wait();
    worker.request_stop();
    worker.join();
}

TEST(Interruption, ScopeRestoresThePreviousToken) {
    std::stop_source outer;
    outer.request_stop();
    const ScopedStopToken outerScope(outer.get_token());
    {
        const ScopedStopToken innerScope(std::stop_source().get_token());
        EXPECT_FALSE(interruptionRequested());
    }
    EXPECT_TRUE(interruptionRequested());
}

TEST(Interruption, IsNeitherAnIoNorASecurityFailure) {
    try {
        throw Interrupted();
    } catch (const IoFailure&) {
        ADD_FAILURE();
    } catch (const SecurityFailure&) {
        ADD_FAILURE();
    } catch (const Interrupted&) {
    }
}

TEST(Properties, SetReplaceAndClear) {
    const std::string name = "orlex.test.property";
    EXPECT_EQ(property(name), std::nullopt);
    setProperty(name, "");
    EXPECT_EQ(property(name), "");
    setProperty(name, "2");
    EXPECT_EQ(property(name), "2");
    clearProperty(name);
    EXPECT_EQ(property(name), std::nullopt);
}

}  // namespace
}  // namespace orlex::common
