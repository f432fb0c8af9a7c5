// Combinators: a race of two futures, a deadline on one, a single poll.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <utility>
#include <variant>

#include "engine/async/sleep.hpp"
#include "engine/async/waker.hpp"

namespace korvane {

namespace detail {
// A cheap per-thread coin for the unbiased race.
bool coin() noexcept;
}  // namespace detail

// Which of the two finished, with its value. Index 0 is the first branch.
template <class A, class B>
using Either = std::variant<A, B>;

// A race. Each branch is held by reference when given as an lvalue, owned when
// given as an rvalue. Unbiased, each poll starts with a branch chosen at
// random; biased, the first branch is always polled first. The loser is
// polled no further and is dropped with the race.
template <class A, class B>
class Select {
public:
    using OutA = PollOutput<std::remove_reference_t<A>>;
    using OutB = PollOutput<std::remove_reference_t<B>>;
    using Output = Either<OutA, OutB>;

    Select(A&& a, B&& b, bool biased) : a_(std::forward<A>(a)), b_(std::forward<B>(b)), biased_(biased) {}

    // A disabled second branch is never polled (a race that may not be cancelled).
    void disable_second(bool off = true) noexcept { second_off_ = off; }

    Poll<Output> poll(Context& cx) {
        if (biased_ || second_off_ || detail::coin()) {
            if (auto r = poll_a(cx)) return r;
            return poll_b(cx);
        }
        if (auto r = poll_b(cx)) return r;
        return poll_a(cx);
    }

private:
    Poll<Output> poll_a(Context& cx) {
        if (auto r = a_.poll(cx)) return Output(std::in_place_index<0>, std::move(*r));
        return std::nullopt;
    }
    Poll<Output> poll_b(Context& cx) {
        if (second_off_) return std::nullopt;
        if (auto r = b_.poll(cx)) return Output(std::in_place_index<1>, std::move(*r));
        return std::nullopt;
    }

    A a_;
    B b_;
    bool biased_;
    bool second_off_ = false;
};

template <class A, class B>
Select<A, B> select(A&& a, B&& b) {
    return Select<A, B>(std::forward<A>(a), std::forward<B>(b), false);
}

template <class A, class B>
Select<A, B> select_biased(A&& a, B&& b) {
    return Select<A, B>(std::forward<A>(a), std::forward<B>(b), true);
}

struct Elapsed {
    bool operator==(const Elapsed&) const = default;
};

// `f` bounded by a deadline (none: unbounded). `f` is polled before the timer,
// so a result ready when the deadline passes still wins.
template <class F>
class Timeout {
public:
    using Output = std::expected<PollOutput<std::remove_reference_t<F>>, Elapsed>;

    Timeout(std::optional<Instant> deadline, F&& f) : f_(std::forward<F>(f)), deadline_(deadline) {}

    Poll<Output> poll(Context& cx) {
        if (auto r = f_.poll(cx)) return Output(std::in_place, std::move(*r));
        if (!deadline_) return std::nullopt;
        if (!sleep_) sleep_.emplace(*deadline_);
        if (sleep_->poll(cx)) return Output(std::unexpect);
        return std::nullopt;
    }

private:
    F f_;
    std::optional<Instant> deadline_;
    std::optional<Sleep> sleep_;
};

template <class F>
Timeout<F> timeout_at(std::optional<Instant> deadline, F&& f) {
    return Timeout<F>(deadline, std::forward<F>(f));
}

template <class F>
Timeout<F> timeout(Duration d, F&& f) {
    return Timeout<F>(deadline_in(d), std::forward<F>(f));
}

// Ready at its first poll: the value if `f` was ready, nothing otherwise. A
// waker that `f` registered stays registered. Makes no timer and no wait.
template <class F>
class PollOnce {
public:
    using Output = std::optional<PollOutput<std::remove_reference_t<F>>>;
    explicit PollOnce(F&& f) : f_(std::forward<F>(f)) {}
    Poll<Output> poll(Context& cx) { return Output(f_.poll(cx)); }

private:
    F f_;
};

template <class F>
PollOnce<F> poll_once(F&& f) {
    return PollOnce<F>(std::forward<F>(f));
}

}  // namespace korvane
