// SerialError: the one error value of the engine and the operations.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

class SerialError {
public:
    enum class Kind : std::uint8_t {
        Io,
        Timeout,
        NotOpen,
        AlreadyOpen,
        NotConfigured,
        InvalidValue,
        Cancelled,
        Forked,
    };

    // What the TTY layer says went wrong, before its text is read for an errno.
    enum class TtyKind : std::uint8_t { NoDevice, InvalidInput, Unknown, Io };

    static SerialError io(std::string message, std::optional<std::int32_t> errno_value = std::nullopt);
    // strerror text + " (os error N)", errno N.
    static SerialError os(int code);
    // From errno as it stands now.
    static SerialError last_os();
    static SerialError timeout(std::string text);
    static SerialError not_open() { return SerialError(Kind::NotOpen); }
    static SerialError already_open() { return SerialError(Kind::AlreadyOpen); }
    static SerialError not_configured() { return SerialError(Kind::NotConfigured); }
    static SerialError invalid_value(std::string text);
    static SerialError cancelled() { return SerialError(Kind::Cancelled); }
    static SerialError forked() { return SerialError(Kind::Forked); }
    static SerialError tty(TtyKind kind, std::string description);
    static SerialError open_failed(std::string_view port, const SerialError& error);

    Kind kind() const noexcept { return kind_; }
    // The message of Io, the text of Timeout and InvalidValue; empty otherwise.
    const std::string& message() const noexcept { return message_; }
    std::optional<std::int32_t> os_errno() const noexcept { return errno_; }
    // The display form.
    std::string text() const;

    bool operator==(const SerialError&) const = default;

private:
    explicit SerialError(Kind kind, std::string message = {}, std::optional<std::int32_t> e = std::nullopt)
        : kind_(kind), message_(std::move(message)), errno_(e) {}

    Kind kind_;
    std::string message_;
    std::optional<std::int32_t> errno_;
};

template <class T>
using Result = std::expected<T, SerialError>;
using Status = std::expected<void, SerialError>;

inline std::unexpected<SerialError> fail(SerialError e) { return std::unexpected<SerialError>(std::move(e)); }

namespace errors {
// The TTY layer's description of errno n (the kernel header texts), or empty.
std::string_view tty_description(int n) noexcept;
// The errno a TTY-layer description carries, if any.
std::optional<std::int32_t> errno_of_description(std::string_view description) noexcept;
}  // namespace errors

}  // namespace korvane
