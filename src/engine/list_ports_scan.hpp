// Enumeration of the machine's serial ports from sysfs, and the filter that
// drops TTY names with no UART behind them. No Python in here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.hpp"

namespace korvane::list_ports {

// The real sysfs; tests pass a tree of their own.
inline const std::filesystem::path default_sys_root{"/sys"};

struct UsbLocation {
    std::string bus;                  // bus number as text
    std::vector<std::uint8_t> ports;  // hub port numbers, from the bus down

    bool operator==(const UsbLocation&) const = default;
};

struct UsbPort {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::optional<std::string> serial_number;
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    std::optional<UsbLocation> location;

    bool operator==(const UsbPort&) const = default;
};

// One enumerated port. Every text is valid UTF-8.
struct PortInfo {
    std::string port_name;       // "/dev/" + the TTY name
    std::optional<UsbPort> usb;  // absent for every kind other than USB

    bool operator==(const PortInfo&) const = default;
};

// The serial TTYs under {sys_root}/class/tty, sorted by name. Fails only when
// the class directory cannot be listed. May block on file-system reads.
Result<std::vector<PortInfo>> available_ports(const std::filesystem::path& sys_root = default_sys_root);

// False when the TTY's sysfs type attribute reads 0 (no known UART); any
// failure to read it keeps the port.
bool keep_port(const PortInfo& port, const std::filesystem::path& sys_root = default_sys_root);

// text without leading and trailing Unicode white space; nullopt when text is
// not valid UTF-8.
std::optional<std::string_view> trim_unicode(std::string_view text);

}  // namespace korvane::list_ports
