#include "async/block_on.hpp"

namespace korvane::detail {

void Parker::wake() noexcept {
    {
        std::lock_guard g(mutex_);
        woken_ = true;
    }
    cv_.notify_one();
}

void Parker::park() {
    std::unique_lock l(mutex_);
    cv_.wait(l, [&] { return woken_; });
    woken_ = false;
}

}  // namespace korvane::detail
