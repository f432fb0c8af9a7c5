// The settings record of a port and its timeout values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "engine/duration.hpp"
#include "engine/errors.hpp"

namespace korvane {

// A timeout in the form Python gave it, so reading it back gives the same type.
struct Seconds {
    enum class Form : std::uint8_t { Int, Float };
    Form form;
    std::int64_t i = 0;
    double f = 0.0;

    static constexpr Seconds from_int(std::int64_t n) { return Seconds{Form::Int, n, 0.0}; }
    static constexpr Seconds from_float(double x) { return Seconds{Form::Float, 0, x}; }
    bool is_int() const { return form == Form::Int; }
    bool operator==(const Seconds&) const = default;
};

enum class Parity : std::uint8_t { None = 0, Even = 1, Odd = 2, Mark = 3, Space = 4 };
enum class StopBits : std::uint8_t { One = 0, OnePointFive = 1, Two = 2 };

struct Settings {
    std::uint32_t baudrate = 9600;
    std::uint8_t bytesize = 8;
    Parity parity = Parity::None;
    StopBits stopbits = StopBits::One;
    std::optional<Seconds> timeout;
    bool xonxoff = false;
    bool rtscts = false;
    std::optional<Seconds> write_timeout;
    bool dsrdtr = false;
    std::optional<Seconds> inter_byte_timeout;
    std::optional<bool> exclusive;

    bool operator==(const Settings&) const = default;
};

// A change of some settings; absent fields are left as they are. A present
// timeout holding nothing clears it; a present dsrdtr holding nothing takes
// the rtscts stored before this change writes its own.
struct SettingsUpdate {
    std::optional<std::uint32_t> baudrate;
    std::optional<std::uint8_t> bytesize;
    std::optional<Parity> parity;
    std::optional<StopBits> stopbits;
    std::optional<bool> xonxoff;
    std::optional<std::optional<bool>> dsrdtr;
    std::optional<bool> rtscts;
    std::optional<std::optional<Seconds>> timeout;
    std::optional<std::optional<Seconds>> write_timeout;
    std::optional<std::optional<Seconds>> inter_byte_timeout;
    std::optional<std::optional<bool>> exclusive;

    // Written in the order the fields are listed above.
    void apply_to(Settings& s) const;
};

namespace settings {
Result<std::optional<Seconds>> seconds(std::optional<Seconds> value);
std::optional<Duration> duration(std::optional<Seconds> value);
// The float form used in messages: shortest round-trip digits, ".0" for whole
// numbers, exponent form outside [1e-4, 1e16), NaN, inf and -inf.
std::string float_text(double x);
}  // namespace settings

}  // namespace korvane
