#include "engine/settings.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace korvane {

void SettingsUpdate::apply_to(Settings& s) const {
    if (baudrate) s.baudrate = *baudrate;
    if (bytesize) s.bytesize = *bytesize;
    if (parity) s.parity = *parity;
    if (stopbits) s.stopbits = *stopbits;
    if (xonxoff) s.xonxoff = *xonxoff;
    if (dsrdtr) s.dsrdtr = dsrdtr->value_or(s.rtscts);
    if (rtscts) s.rtscts = *rtscts;
    if (timeout) s.timeout = *timeout;
    if (write_timeout) s.write_timeout = *write_timeout;
    if (inter_byte_timeout) s.inter_byte_timeout = *inter_byte_timeout;
    if (exclusive) s.exclusive = *exclusive;
}

namespace settings {

std::string float_text(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    bool negative = sci.front() == '-';
    if (negative) sci.remove_prefix(1);
    auto e_at = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_at))
        if (c != '.') digits += c;
    int exp = std::atoi(std::string(sci.substr(e_at + 1)).c_str());
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    std::string out = negative ? "-" : "";
    double mag = std::fabs(x);
    if (mag == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
        if (mag == 0.0) exp = 0;
        if (exp >= 0) {
            std::string whole = digits.substr(0, std::min<std::size_t>(digits.size(), exp + 1));
            whole.append(static_cast<std::size_t>(exp + 1) - whole.size(), '0');
            std::string frac = digits.size() > static_cast<std::size_t>(exp + 1) ? digits.substr(exp + 1) : "0";
            out += whole + "." + frac;
        } else {
            out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
        }
        return out;
    }
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "e" + std::to_string(exp);
    return out;
}

Result<std::optional<Seconds>> seconds(std::optional<Seconds> value) {
    if (!value) return value;
    if (value->is_int()) {
        if (value->i >= 0) return value;
        return fail(SerialError::invalid_value("Not a valid timeout: " + std::to_string(value->i)));
    }
    if (value->f >= 0.0) return value;
    return fail(SerialError::invalid_value("Not a valid timeout: " + float_text(value->f)));
}

std::optional<Duration> duration(std::optional<Seconds> value) {
    if (!value) return std::nullopt;
    double x = value->is_int() ? static_cast<double>(value->i) : value->f;
    if (std::isnan(x) || x < 0.0 || std::isinf(x) || x >= 18446744073709551616.0) return std::nullopt;
    if (x < 0x1p-31) return Duration{};
    double whole = std::floor(x);
    double frac = x - whole;  // exact: both share x's binade or below
    auto secs = static_cast<std::uint64_t>(whole);
    std::uint64_t nanos = 0;
    if (frac != 0.0) {
        int e = 0;
        double m = std::frexp(frac, &e);  // frac = m * 2^e, 0.5 <= m < 1
        auto mant = static_cast<unsigned __int128>(std::ldexp(m, 53));  // exact 53-bit integer
        int shift = 53 - e;                                             // frac = mant / 2^shift
        unsigned __int128 scaled = mant * 1000000000u;
        if (shift >= 127) {
            nanos = 0;
        } else {
            unsigned __int128 q = scaled >> shift;
            unsigned __int128 rem = scaled - (q << shift);
            unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
            if (rem > half || (rem == half && (q & 1))) ++q;
            nanos = static_cast<std::uint64_t>(q);
        }
    }
    if (nanos >= 1000000000u) {
        nanos -= 1000000000u;
        ++secs;  // x < 2^64 and frac > 0 leave room: whole <= 2^64 - 2^11
    }
    return Duration{secs, static_cast<std::uint32_t>(nanos)};
}

}  // namespace settings
}  // namespace korvane
