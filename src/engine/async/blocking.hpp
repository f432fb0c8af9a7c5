// Blocking: a job on the runtime's blocking pool, awaited as a leaf.
#pragma once

#include <exception>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "engine/async/waker.hpp"
#include "engine/runtime.hpp"

namespace korvane {

// Ready with the job's value, or with the text of why it did not run to its
// end (the job threw, or no thread could be had for it). Dropping it does not
// stop the job; its result is then dropped.
template <class T>
class Blocking {
public:
    using Output = std::expected<T, std::string>;

    Poll<Output> poll(Context& cx) {
        Waker old;
        std::lock_guard g(cell_->mutex);
        if (cell_->out) return std::move(*cell_->out);
        register_waker(cell_->waker, cx, old);
        return std::nullopt;
    }

    template <class F>
    friend Blocking<std::invoke_result_t<F&>> spawn_blocking(F job);

private:
    struct Cell {
        std::mutex mutex;
        std::optional<Output> out;
        Waker waker;

        void finish(Output value) {
            Waker w;
            {
                std::lock_guard g(mutex);
                out.emplace(std::move(value));
                w = std::move(waker);
            }
            w.wake();
        }
    };
    std::shared_ptr<Cell> cell_ = std::make_shared<Cell>();
};

template <class F>
Blocking<std::invoke_result_t<F&>> spawn_blocking(F job) {
    using T = std::invoke_result_t<F&>;
    static_assert(!std::is_void_v<T>, "a blocking job gives a value");
    Blocking<T> b;
    auto rt = runtime::runtime();
    if (!rt) {
        b.cell_->finish(std::unexpected(rt.error().text()));
        return b;
    }
    auto started = (*rt)->spawn_blocking([cell = b.cell_, job = std::move(job)]() mutable {
        try {
            cell->finish(job());
        } catch (const std::exception& e) {
            cell->finish(std::unexpected(std::string("the job panicked: ") + e.what()));
        } catch (...) {
            cell->finish(std::unexpected(std::string("the job panicked")));
        }
    });
    if (!started) b.cell_->finish(std::unexpected(started.error().text()));
    return b;
}

}  // namespace korvane
