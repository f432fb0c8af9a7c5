#include "engine/list_ports_scan.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

namespace korvane::list_ports {
namespace {

namespace fs = std::filesystem;

// Decodes one UTF-8 sequence at text[i]; advances i. nullopt when invalid
// (truncated, overlong, a surrogate or above U+10FFFF).
std::optional<char32_t> decode(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t len;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - i < len) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    i += len;
    return cp;
}

// The White_Space property of Unicode.
bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Sysfs texts are meant to be ASCII; anything else is replaced rather than
// refused, so a port with an odd product string is still listed.
std::string lossy_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        if (decode(text, i)) {
            out.append(text.substr(start, i - start));
        } else {
            out += "\xEF\xBF\xBD";
            i = start + 1;
        }
    }
    return out;
}

std::optional<std::string> read_file(const fs::path& path) {
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    while (true) {
        ssize_t n = ::read(file.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return text;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

// A sysfs attribute without its line break; nullopt when it cannot be read.
std::optional<std::string> read_attr(const fs::path& path) {
    auto text = read_file(path);
    if (!text) return std::nullopt;
    auto end = text->find_last_not_of(" \t\r\n");
    text->erase(end == std::string::npos ? 0 : end + 1);
    return lossy_utf8(*text);
}

template <class T>
std::optional<T> parse_number(std::string_view text, int base) {
    T value{};
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc{} || p != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// "1.4" (the devpath attribute) as the hub ports 1, 4.
std::optional<std::vector<std::uint8_t>> parse_ports(std::string_view devpath) {
    std::vector<std::uint8_t> ports;
    while (true) {
        auto dot = devpath.find('.');
        auto n = parse_number<std::uint8_t>(devpath.substr(0, dot), 10);
        if (!n) return std::nullopt;
        ports.push_back(*n);
        if (dot == std::string_view::npos) return ports;
        devpath.remove_prefix(dot + 1);
    }
}

std::optional<UsbPort> usb_device_at(const fs::path& dir) {
    auto vid_text = read_attr(dir / "idVendor");
    auto pid_text = read_attr(dir / "idProduct");
    if (!vid_text || !pid_text) return std::nullopt;
    auto vid = parse_number<std::uint16_t>(*vid_text, 16);
    auto pid = parse_number<std::uint16_t>(*pid_text, 16);
    if (!vid || !pid) return std::nullopt;
    UsbPort usb;
    usb.vid = *vid;
    usb.pid = *pid;
    usb.serial_number = read_attr(dir / "serial");
    usb.manufacturer = read_attr(dir / "manufacturer");
    usb.product = read_attr(dir / "product");
    auto bus = read_attr(dir / "busnum");
    auto devpath = read_attr(dir / "devpath");
    if (bus && devpath)
        if (auto ports = parse_ports(*devpath)) usb.location = UsbLocation{std::move(*bus), std::move(*ports)};
    return usb;
}

bool is_within(const fs::path& dir, const fs::path& root) {
    auto [r, d] = std::mismatch(root.begin(), root.end(), dir.begin(), dir.end());
    return r == root.end() && d != dir.end();
}

// The USB device (the first ancestor with idVendor and idProduct) that a TTY's
// device directory sits on, if any.
std::optional<UsbPort> usb_ancestor(fs::path dir, const fs::path& root) {
    for (; is_within(dir, root); dir = dir.parent_path())
        if (auto usb = usb_device_at(dir)) return usb;
    return std::nullopt;
}

SerialError list_error(const fs::path& dir, const std::error_code& ec) {
    // The marker lets the error conversion recover the errno.
    return SerialError::tty(SerialError::TtyKind::Io, "could not list " + dir.string() + ": " + ec.message() +
                                                          " (os error " + std::to_string(ec.value()) + ")");
}

}  // namespace

std::optional<std::string_view> trim_unicode(std::string_view text) {
    std::size_t first = text.size(), last = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        auto c = decode(text, i);
        if (!c) return std::nullopt;
        if (!is_white_space(*c)) {
            first = std::min(first, start);
            last = i;
        }
    }
    if (first == text.size()) return text.substr(0, 0);
    return text.substr(first, last - first);
}

Result<std::vector<PortInfo>> available_ports(const fs::path& sys_root) {
    const fs::path class_dir = sys_root / "class" / "tty";
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(class_dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec) return fail(list_error(class_dir, ec));
    std::ranges::sort(names);

    std::error_code root_ec;
    fs::path root = fs::canonical(sys_root, root_ec);
    if (root_ec) root = sys_root;

    std::vector<PortInfo> ports;
    for (const auto& name : names) {
        // A TTY backed by a driver has a device link, as every real serial
        // port does; consoles, virtual terminals and ptmx have none.
        std::error_code link_ec;
        fs::path device = fs::canonical(class_dir / name / "device", link_ec);
        if (link_ec) continue;
        PortInfo port;
        port.port_name = lossy_utf8("/dev/" + name);
        port.usb = usb_ancestor(device, root);
        ports.push_back(std::move(port));
    }
    return ports;
}

bool keep_port(const PortInfo& port, const fs::path& sys_root) {
    const std::string& name = port.port_name;
    if (name.size() <= 4 || !name.starts_with("/dev/")) return true;
    fs::path type = sys_root.string() + "/class/tty/" + name.substr(5) + "/type";
    auto text = read_file(type);
    if (!text) return true;
    auto trimmed = trim_unicode(*text);
    return !(trimmed && *trimmed == "0");
}

}  // namespace korvane::list_ports
