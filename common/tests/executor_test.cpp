#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <mutex>
#include <vector>

#include "common/executor.h"
#include "common/interruption.h"

namespace orlex::common {
namespace {

using namespace std::chrono_literals;

TEST(Executor, RunsSubmittedTasksInOrderOnItsNamedThread) {
    Executor executor("orlex-update-monitor");
    std::vector<int> order;
    std::promise<std::string> threadName;
    for (int i = 0; i < 5; ++i)
        executor.submit([&order, i] { order.push_back(i); });
    executor.submit([&] {
        char name[32] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        threadName.set_value(name);
    });
    EXPECT_EQ(threadName.get_future().get(), "orlex-update-mo");
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(Executor, ScheduledTasksRunByDueTimeAndAFailingTaskDoesNotStopTheWorker) {
    Executor executor("orlex-patcher");
    std::mutex mutex;
    std::vector<std::string> order;
    std::promise<void> done;
    const auto record = [&](std::string what) {
        std::lock_guard lock(mutex);
        order.push_back(std::move(what));
    };
    executor.schedule(60ms, [&] {
        record("late");
        done.set_value();
    });
    executor.schedule(20ms, [&] { record("early"); });
    executor.submit([] { throw std::runtime_error("reported by the task itself"); });
    executor.submit([&] { record("now"); });
    done.get_future().wait();
    EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "late"}));
}

TEST(Executor, ShutdownInterruptsTheRunningTaskAndDropsPendingOnes) {
    auto executor = std::make_unique<Executor>("orlex-patcher");
    std::promise<void> started;
    std::atomic<bool> interrupted{false};
    std::atomic<bool> pendingRan{false};
    executor->submit([&] {
        started.set_value();
        try {
            sleepFor(1h);
        } catch (const Interrupted&) {
            interrupted = true;
        }
    });
    executor->submit([&] { pendingRan = true; });
    started.get_future().wait();
    executor.reset();
    EXPECT_TRUE(interrupted);
    EXPECT_FALSE(pendingRan);
}

TEST(Executor, ATaskMayShutItsOwnExecutorDownAndTheOwnerThenJoinsTheThread) {
    auto executor = std::make_unique<Executor>("orlex-update-monitor");
    std::promise<void> ran;
    std::atomic<bool> laterRan{false};
    executor->submit([&] {
        executor->shutdown();
        ran.set_value();
    });
    executor->submit([&] { laterRan = true; });
    ran.get_future().wait();
    executor.reset();  // joins the thread the task ended on
    EXPECT_FALSE(laterRan);
}

TEST(Executor, AnUnusedExecutorStartsNoThread) {
    Executor executor("idle");
    EXPECT_FALSE(executor.onWorkerThread());
    executor.shutdown();
    executor.submit([] { FAIL() << "a closed executor takes no work"; });
}

}  // namespace
}  // namespace orlex::common
