#include <gtest/gtest.h>

#include <cerrno>

#include "engine/errors.hpp"

using korvane::SerialError;
using Kind = SerialError::Kind;
using Tty = SerialError::TtyKind;

TEST(Errors, DisplayTexts) {
    struct Case {
        SerialError error;
        const char* text;
    };
    const Case cases[] = {
        {SerialError::not_open(), "Attempting to use a port that is not open"},
        {SerialError::already_open(), "Port is already open."},
        {SerialError::not_configured(), "Port must be configured before it can be used."},
        {SerialError::cancelled(), "the operation was cancelled"},
        {SerialError::forked(), "korvane cannot be used in a child process created by fork()"},
        {SerialError::timeout("Write timeout"), "Write timeout"},
        {SerialError::invalid_value("Not a valid timeout: -1"), "Not a valid timeout: -1"},
        {SerialError::io("flush failed: x"), "flush failed: x"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error.text(), c.text);
}

TEST(Errors, OsErrorCarriesStrerrorAndCode) {
    auto e = SerialError::os(ENOENT);
    EXPECT_EQ(e.kind(), Kind::Io);
    EXPECT_EQ(e.text(), "No such file or directory (os error 2)");
    EXPECT_EQ(e.os_errno(), 2);
}

TEST(Errors, TtyDescriptionErrno) {
    struct Case {
        const char* description;
        std::optional<int> errno_value;
    };
    const Case cases[] = {
        {"No such file or directory", 2},
        {"Not a typewriter", 25},
        {"I/O error", 5},
        {"Input/output error", std::nullopt},  // strerror's wording, not the table's
        {"Unable to acquire exclusive lock on serial port", std::nullopt},
        {"Permission denied (os error 13)", 13},
        {"a (os error 1) then (os error 16)", 16},
        {"(os error 13) trailing", std::nullopt},  // the last marker's tail must end in ')'
        {"bad (os error )", std::nullopt},
        {"bad (os error ", std::nullopt},
        {"bad (os error x1)", std::nullopt},
        {"neg (os error -5)", -5},
        {"plus (os error +7)", 7},
        {"both signs (os error +-7)", std::nullopt},
        {"overflow (os error 2147483648)", std::nullopt},
        {"min (os error -2147483648)", INT32_MIN},
        {"State not recoverable", 131},
        {"Memory page has hardware error", 133},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        auto e = SerialError::tty(Tty::NoDevice, c.description);
        EXPECT_EQ(e.kind(), Kind::Io) << c.description;
        EXPECT_EQ(e.text(), c.description);
        EXPECT_EQ(e.os_errno(), c.errno_value) << c.description;
    }
    EXPECT_TRUE(korvane::errors::tty_description(41).empty());
    EXPECT_TRUE(korvane::errors::tty_description(58).empty());
    EXPECT_TRUE(korvane::errors::tty_description(134).empty());
}

TEST(Errors, TtyInvalidInputIsAValueError) {
    auto e = SerialError::tty(Tty::InvalidInput, "No such file or directory");
    EXPECT_EQ(e.kind(), Kind::InvalidValue);
    EXPECT_EQ(e.text(), "No such file or directory");
    EXPECT_EQ(e.os_errno(), std::nullopt);
}

TEST(Errors, OpenFailed) {
    auto with_errno = SerialError::open_failed("/dev/ttyX", SerialError::tty(Tty::Io, "No such file or directory"));
    EXPECT_EQ(with_errno.text(), "could not open port /dev/ttyX: [Errno 2] No such file or directory");
    EXPECT_EQ(with_errno.os_errno(), 2);

    auto locked = SerialError::open_failed(
        "/dev/ttyX", SerialError::tty(Tty::NoDevice, "Unable to acquire exclusive lock on serial port"));
    EXPECT_EQ(locked.text(), "could not open port /dev/ttyX: Unable to acquire exclusive lock on serial port");
    EXPECT_EQ(locked.os_errno(), std::nullopt);

    auto other = SerialError::open_failed("p", SerialError::invalid_value("bad"));
    EXPECT_EQ(other.kind(), Kind::Io);
    EXPECT_EQ(other.text(), "could not open port p: bad");
    EXPECT_EQ(SerialError::open_failed("p", SerialError::already_open()).text(),
              "could not open port p: Port is already open.");
}
