// Op<T>: a lazy coroutine driven by polls, the shape of every operation.
//
// Nothing runs until the first poll. A suspended frame is resumed only when
// the leaf (or child Op) it waits on reports ready, re-polled with the context
// of the current poll. The frame never moves; destroying the Op destroys its
// locals in reverse order, which is how an operation is dropped.
#pragma once

#include <coroutine>
#include <cstddef>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include "engine/async/waker.hpp"

namespace korvane {

namespace detail {

// Coroutine frames come from a small per-thread cache: an operation makes and
// drops several frames per call, always of the same few sizes. A frame freed
// on another thread joins that thread's cache.
void* frame_alloc(std::size_t size);
void frame_free(void* frame, std::size_t size) noexcept;

struct Suspended {
    // Polls the awaited thing again; true once it is ready (or threw).
    virtual bool repoll(Context& cx) = 0;

protected:
    ~Suspended() = default;
};

struct OpPromiseBase {
    Context* cx = nullptr;
    Suspended* pending = nullptr;
    std::exception_ptr error;
};

template <class F>
struct OpAwaiter final : Suspended {
    using Output = PollOutput<F>;

    OpPromiseBase* promise;
    F& future;
    std::optional<Output> out;
    std::exception_ptr error;

    OpAwaiter(OpPromiseBase* p, F& f) : promise(p), future(f) {}

    bool await_ready() {
        if (auto r = future.poll(*promise->cx)) {
            out.emplace(std::move(*r));
            return true;
        }
        return false;
    }
    void await_suspend(std::coroutine_handle<>) noexcept { promise->pending = this; }
    Output await_resume() {
        if (error) std::rethrow_exception(std::exchange(error, nullptr));
        return std::move(*out);
    }
    bool repoll(Context& cx) override {
        try {
            auto r = future.poll(cx);
            if (!r) return false;
            out.emplace(std::move(*r));
        } catch (...) {
            // Rethrown inside the frame, so the operation's own handlers and
            // destructors see it as they would a direct throw.
            error = std::current_exception();
        }
        return true;
    }
};

}  // namespace detail

template <class T>
class [[nodiscard]] Op {
public:
    struct promise_type : detail::OpPromiseBase {
        std::optional<T> value;

        static void* operator new(std::size_t size) { return detail::frame_alloc(size); }
        static void operator delete(void* frame, std::size_t size) noexcept { detail::frame_free(frame, size); }

        Op get_return_object() noexcept { return Op(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(T v) { value.emplace(std::move(v)); }
        void unhandled_exception() noexcept { error = std::current_exception(); }

        template <Pollable F>
        detail::OpAwaiter<std::remove_reference_t<F>> await_transform(F&& f) {
            return {this, f};
        }
    };

    Op() noexcept = default;
    Op(Op&& other) noexcept : h_(std::exchange(other.h_, {})), taken_(other.taken_) {}
    Op& operator=(Op&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, {});
            taken_ = other.taken_;
        }
        return *this;
    }
    ~Op() { reset(); }

    explicit operator bool() const noexcept { return static_cast<bool>(h_); }
    // True once the result (or the exception) has been handed out.
    bool finished() const noexcept { return taken_; }

    // An exception escaping the operation is rethrown here, once; by then the
    // frame has unwound and released what it held.
    Poll<T> poll(Context& cx) {
        if (!h_ || taken_) throw std::logic_error("Op polled after it finished");
        auto& p = h_.promise();
        p.cx = &cx;
        if (p.pending) {
            if (!p.pending->repoll(cx)) return std::nullopt;
            p.pending = nullptr;
        }
        h_.resume();
        if (!h_.done()) return std::nullopt;
        taken_ = true;
        if (p.error) std::rethrow_exception(std::exchange(p.error, nullptr));
        return std::move(p.value);
    }

    // Drops the operation now.
    void reset() noexcept {
        if (h_) std::exchange(h_, {}).destroy();
    }

private:
    explicit Op(std::coroutine_handle<promise_type> h) noexcept : h_(h) {}

    std::coroutine_handle<promise_type> h_;
    bool taken_ = false;
};

// A leaf made of a function of the context.
template <class F>
class PollFn {
public:
    explicit PollFn(F f) : f_(std::move(f)) {}
    auto poll(Context& cx) { return f_(cx); }

private:
    F f_;
};

template <class F>
PollFn<F> poll_fn(F f) {
    return PollFn<F>(std::move(f));
}

}  // namespace korvane
