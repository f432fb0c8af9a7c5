// Wakers, task contexts and the poll result: the vocabulary of polled futures.
#pragma once

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace korvane {

// A reference-counted wake target. Waking only schedules another poll; it
// never polls inline, so it may be called under a primitive's lock.
class Waker {
public:
    struct Target {
        virtual ~Target() = default;
        virtual void wake() noexcept = 0;
    };

    Waker() = default;  // the no-op waker
    explicit Waker(std::shared_ptr<Target> target) noexcept : target_(std::move(target)) {}

    static Waker noop() noexcept { return {}; }

    void wake() const noexcept {
        if (target_) target_->wake();
    }
    bool will_wake(const Waker& other) const noexcept { return target_ == other.target_; }
    bool is_noop() const noexcept { return !target_; }

private:
    std::shared_ptr<Target> target_;
};

class LocalWaits;

// What a poll is given: the waker to register when it cannot finish yet, and,
// when the polling thread parks itself, where leaves record their waits
// instead of arming the reactor.
class Context {
public:
    explicit Context(const Waker& waker, LocalWaits* local = nullptr) noexcept : waker_(&waker), local_(local) {}
    const Waker& waker() const noexcept { return *waker_; }
    LocalWaits* local() const noexcept { return local_; }

private:
    const Waker* waker_;
    LocalWaits* local_;
};

// Empty means pending.
template <class T>
using Poll = std::optional<T>;

struct Unit {
    bool operator==(const Unit&) const = default;
};

template <class F>
concept Pollable = requires(F& f, Context& cx) {
    typename std::remove_cvref_t<decltype(f.poll(cx))>::value_type;
};

template <class F>
using PollOutput = typename std::remove_cvref_t<decltype(std::declval<F&>().poll(std::declval<Context&>()))>::value_type;

// Swaps in the waker of the latest poll; the old one goes to `old` so that the
// caller can drop it outside its lock (a dropped waker may free a task).
inline void register_waker(Waker& slot, const Context& cx, Waker& old) {
    if (!slot.will_wake(cx.waker())) {
        old = std::exchange(slot, cx.waker());
    }
}

}  // namespace korvane
