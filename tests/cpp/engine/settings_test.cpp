#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/settings.hpp"

using korvane::Duration;
using korvane::Seconds;
namespace settings = korvane::settings;

TEST(Settings, Defaults) {
    korvane::Settings s;
    EXPECT_EQ(s.baudrate, 9600u);
    EXPECT_EQ(s.bytesize, 8);
    EXPECT_EQ(s.parity, korvane::Parity::None);
    EXPECT_EQ(s.stopbits, korvane::StopBits::One);
    EXPECT_FALSE(s.timeout || s.write_timeout || s.inter_byte_timeout || s.exclusive);
    EXPECT_FALSE(s.xonxoff || s.rtscts || s.dsrdtr);
}

TEST(Settings, FloatText) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double x;
        const char* text;
    };
    const Case cases[] = {
        {-1.0, "-1.0"},   {-0.5, "-0.5"},     {-2.25, "-2.25"},   {-1e-5, "-1e-5"},
        {-1e16, "-1e16"}, {-1.5e20, "-1.5e20"}, {1e-4, "0.0001"},  {0.1, "0.1"},
        {9.5e15, "9500000000000000.0"}, {123.0, "123.0"}, {1e300, "1e300"}, {1.25e-7, "1.25e-7"},
        {-inf, "-inf"},   {inf, "inf"},       {std::nan(""), "NaN"}, {0.0, "0.0"}, {-0.0, "-0.0"},
        {7.5, "7.5"},
    };
    for (const auto& c : cases) EXPECT_EQ(settings::float_text(c.x), c.text) << c.text;
}

TEST(Settings, SecondsValidation) {
    struct Case {
        Seconds value;
        const char* error;  // null: accepted
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {Seconds::from_int(0), nullptr},
        {Seconds::from_int(5), nullptr},
        {Seconds::from_int(-1), "Not a valid timeout: -1"},
        {Seconds::from_float(0.0), nullptr},
        {Seconds::from_float(-0.0), nullptr},
        {Seconds::from_float(inf), nullptr},
        {Seconds::from_float(-1.0), "Not a valid timeout: -1.0"},
        {Seconds::from_float(-0.00001), "Not a valid timeout: -1e-5"},
        {Seconds::from_float(-inf), "Not a valid timeout: -inf"},
        {Seconds::from_float(std::nan("")), "Not a valid timeout: NaN"},
    };
    for (const auto& c : cases) {
        auto r = settings::seconds(c.value);
        if (c.error) {
            ASSERT_FALSE(r) << c.error;
            EXPECT_EQ(r.error().kind(), korvane::SerialError::Kind::InvalidValue);
            EXPECT_EQ(r.error().text(), c.error);
        } else {
            ASSERT_TRUE(r);
            EXPECT_EQ(*r, c.value);  // returned in its own form
        }
    }
    EXPECT_EQ(settings::seconds(std::nullopt).value(), std::nullopt);
}

TEST(Settings, Duration) {
    struct Case {
        std::optional<Seconds> value;
        std::optional<Duration> expected;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {std::nullopt, std::nullopt},
        {Seconds::from_float(0.1), Duration{0, 100000000}},
        {Seconds::from_float(1.5), Duration{1, 500000000}},
        {Seconds::from_int(3), Duration{3, 0}},
        {Seconds::from_float(0.9999999999), Duration{1, 0}},  // rounding carries into seconds
        {Seconds::from_float(1e-10), Duration{0, 0}},
        {Seconds::from_float(-0.0), Duration{0, 0}},
        {Seconds::from_float(0.0000000015), Duration{0, 1}},  // the double lies just below 1.5 ns
        {Seconds::from_float(0x1p-31), Duration{0, 0}},        // 0.4657 ns rounds to 0
        {Seconds::from_float(0x1.8p-30), Duration{0, 1}},      // 1.397 ns
        {Seconds::from_float(9223372036854775808.0), Duration{9223372036854775808ull, 0}},
        {Seconds::from_float(18446744073709549568.0), Duration{18446744073709549568ull, 0}},
        {Seconds::from_float(18446744073709551616.0), std::nullopt},
        {Seconds::from_float(inf), std::nullopt},
        {Seconds::from_float(-1.0), std::nullopt},
        {Seconds::from_float(std::nan("")), std::nullopt},
        {Seconds::from_int(INT64_MAX), Duration{9223372036854775808ull, 0}},
    };
    for (const auto& c : cases) {
        auto d = settings::duration(c.value);
        ASSERT_EQ(d.has_value(), c.expected.has_value());
        if (d) {
            EXPECT_EQ(d->secs, c.expected->secs);
            EXPECT_EQ(d->nanos, c.expected->nanos);
        }
    }
}

TEST(Settings, DurationTiesToEven) {
    // Exact ties need binary fractions. 1 + 2^-30 s = 1 s + 0.9313... ns -> 1 ns.
    auto d = settings::duration(Seconds::from_float(1.0 + 0x1p-30));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->secs, 1u);
    EXPECT_EQ(d->nanos, 1u);
    // 2^-10 s = 976562.5 ns exactly: a tie, to the even 976562.
    d = settings::duration(Seconds::from_float(0x1p-10));
    EXPECT_EQ(d->nanos, 976562u);
    // 2^-9 + 2^-10 s = 2929687.5 ns: a tie, to the even 2929688.
    d = settings::duration(Seconds::from_float(0x1.8p-9));
    EXPECT_EQ(d->nanos, 2929688u);
}

TEST(Settings, UpdateAppliesOnlyPresentFields) {
    korvane::Settings s;
    s.timeout = Seconds::from_int(1);
    korvane::SettingsUpdate u;
    u.baudrate = 115200;
    u.write_timeout = std::optional<Seconds>(Seconds::from_float(0.5));
    u.timeout = std::optional<Seconds>();  // present, clears
    u.apply_to(s);
    EXPECT_EQ(s.baudrate, 115200u);
    EXPECT_EQ(s.timeout, std::nullopt);
    EXPECT_EQ(s.write_timeout, Seconds::from_float(0.5));
    EXPECT_EQ(s.bytesize, 8);

    // dsrdtr following rtscts takes the value stored before rtscts changes.
    korvane::SettingsUpdate follow;
    follow.rtscts = true;
    follow.dsrdtr = std::optional<bool>();
    follow.apply_to(s);
    EXPECT_TRUE(s.rtscts);
    EXPECT_FALSE(s.dsrdtr);
    korvane::SettingsUpdate again;
    again.dsrdtr = std::optional<bool>();
    again.apply_to(s);
    EXPECT_TRUE(s.dsrdtr);
}
