#include "engine/async/select.hpp"

#include <chrono>

namespace korvane::detail {

bool coin() noexcept {
    thread_local std::uint64_t state = [] {
        std::uint64_t seed = reinterpret_cast<std::uintptr_t>(&state) ^
                             static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
        return seed * 0x9E3779B97F4A7C15ull | 1;
    }();
    // xorshift64
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state >> 63;
}

}  // namespace korvane::detail
