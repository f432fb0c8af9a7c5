// A span of time over the whole range timeouts may ask for (u64 seconds),
// which std::chrono's nanosecond clocks cannot hold.
#pragma once

#include <compare>
#include <cstdint>

namespace korvane {

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // below 10^9

    static constexpr Duration from_millis(std::uint64_t ms) {
        return Duration{ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1000000)};
    }
    constexpr bool is_zero() const { return secs == 0 && nanos == 0; }
    friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

}  // namespace korvane
