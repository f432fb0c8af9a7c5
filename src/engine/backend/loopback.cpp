#include "engine/backend/loopback.hpp"

#include <algorithm>
#include <cstring>

namespace korvane {

std::optional<Result<std::size_t>> LoopbackPort::read_some(MutableBytes buffer, const Waker* park) {
    Waker wake, old;
    std::size_t n;
    {
        std::lock_guard g(mutex_);
        if (size_ == 0) {
            if (park) old = std::exchange(reader_, *park);
            return std::nullopt;
        }
        n = std::min(size_, buffer.size());
        std::size_t first = std::min(n, capacity - head_);
        std::memcpy(buffer.data(), ring_.data() + head_, first);
        std::memcpy(buffer.data() + first, ring_.data(), n - first);
        head_ = (head_ + n) % capacity;
        size_ -= n;
        wake = std::move(writer_);
    }
    wake.wake();
    return n;
}

std::optional<Result<std::size_t>> LoopbackPort::write_some(Bytes data, const Waker* park) {
    Waker wake, old;
    std::size_t n;
    {
        std::lock_guard g(mutex_);
        n = std::min(capacity - size_, data.size());
        if (!data.empty() && n == 0) {
            if (park) old = std::exchange(writer_, *park);
            return std::nullopt;
        }
        if (n > 0 && ring_.empty()) ring_.resize(capacity);
        std::size_t tail = (head_ + size_) % capacity;
        std::size_t first = std::min(n, capacity - tail);
        if (n > 0) {
            std::memcpy(ring_.data() + tail, data.data(), first);
            std::memcpy(ring_.data(), data.data() + first, n - first);
        }
        size_ += n;
        wake = std::move(reader_);
    }
    wake.wake();
    return n;
}

Status LoopbackPort::configure(const Settings&, bool rts, bool dtr) {
    std::lock_guard g(mutex_);
    rts_ = rts;
    dtr_ = dtr;
    return {};
}

Status LoopbackPort::set_rts(bool level) {
    std::lock_guard g(mutex_);
    rts_ = level;
    return {};
}

Status LoopbackPort::set_dtr(bool level) {
    std::lock_guard g(mutex_);
    dtr_ = level;
    return {};
}

Result<bool> LoopbackPort::cts() {
    std::lock_guard g(mutex_);
    return rts_;
}

Result<bool> LoopbackPort::dsr() {
    std::lock_guard g(mutex_);
    return dtr_;
}

Result<std::uint32_t> LoopbackPort::in_waiting() {
    std::lock_guard g(mutex_);
    return static_cast<std::uint32_t>(size_);
}

Status LoopbackPort::clear_buffers(bool input, bool output) {
    if (!input && !output) return {};
    Waker wake;
    {
        std::lock_guard g(mutex_);
        head_ = size_ = 0;
        wake = std::move(writer_);
    }
    wake.wake();
    return {};
}

}  // namespace korvane
