// Paths that must not fail, run while every allocation on the calling thread fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

#include "engine/async/notify.hpp"
#include "engine/async/task.hpp"
#include "async_support.hpp"
#include "engine/port.hpp"

namespace {
thread_local bool t_fail_allocations = false;
}  // namespace

// AddressSanitizer owns operator new, and pairs its own allocations with
// its own delete: there the failure hook is left out.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool allocation_hook = false;
#else
constexpr bool allocation_hook = true;
// Kept out of line, so the compiler does not pair malloc() and free() with new and delete.
[[gnu::noinline]] void* operator new(std::size_t n) {
    if (!t_fail_allocations)
        if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace korvane {
namespace {

using test::Counted;

struct FailAllocations {
    FailAllocations() { t_fail_allocations = true; }
    ~FailAllocations() { t_fail_allocations = false; }
};

// More waits than one wake batch, one of them dropped before the wake.
void wake_all_without_allocating(Notify& n, auto&& notify) {
    constexpr int count = 100, dropped = 50;
    std::vector<Counted> counted(count);
    std::vector<std::optional<Notify::Notified>> waits(count);
    for (int i = 0; i < count; ++i) {
        waits[i].emplace(n.notified());
        ASSERT_FALSE(waits[i]->poll(counted[i].cx));
    }
    waits[dropped].reset();
    {
        FailAllocations fail;
        notify();
    }
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(counted[i].wakes(), i == dropped ? 0 : 1) << i;
        if (i != dropped) {
            EXPECT_TRUE(waits[i]->poll(counted[i].cx));
        }
    }
}

TEST(AllocationFailure, NotifyWaitersWakesEveryWait) {
    if (!allocation_hook) GTEST_SKIP() << "no allocation hook under AddressSanitizer";
    Notify n;
    wake_all_without_allocating(n, [&] { n.notify_waiters(); });
}

TEST(AllocationFailure, CloseWakesEveryWaitOnTheClose) {
    if (!allocation_hook) GTEST_SKIP() << "no allocation hook under AddressSanitizer";
    auto p = PortCore::create();
    ASSERT_TRUE(p->set_port("loop://"));
    ASSERT_TRUE(p->open());
    wake_all_without_allocating(p->closed, [&] { p->close(); });
    EXPECT_FALSE(p->is_open());
}

// A scheduler that is out of memory for every job.
struct FullScheduler final : Scheduler {
    void post(std::move_only_function<void()>) override { throw std::bad_alloc(); }
};

// Pending for ever; holds a token whose release shows it was dropped.
struct Pending {
    std::shared_ptr<int> token;
    Poll<Unit> poll(Context&) { return std::nullopt; }
};

TEST(AllocationFailure, ATaskThatCannotBePostedIsEndedWhereNoLockIsHeld) {
    FullScheduler scheduler;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> alive = token;
    TaskHandle task = spawn(scheduler, Pending{std::move(token)});
    EXPECT_FALSE(alive.expired());  // not dropped inside the failed post
    task.abort();                   // posts nothing more
    end_orphaned_tasks();
    EXPECT_TRUE(alive.expired());
    EXPECT_TRUE(task.is_finished());
}

}  // namespace
}  // namespace korvane
