#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "module/list_ports.hpp"
#include "engine/list_ports_scan.hpp"
#include "py_support.hpp"

using namespace korvane;
using namespace korvane::list_ports;
using test::outcome;
namespace fs = std::filesystem;

namespace {

// A sysfs tree in a temporary directory, laid out as the kernel does it:
// class/tty/NAME links to the TTY's directory under devices/, whose device
// link points at the driver-bound device.
class FakeSysfs {
public:
    FakeSysfs() {
        std::string tmpl = (fs::temp_directory_path() / "korvane-sysfs-XXXXXX").string();
        root_ = mkdtemp(tmpl.data());
        fs::create_directories(root_ / "class" / "tty");
    }
    ~FakeSysfs() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    const fs::path& root() const { return root_; }

    // A TTY whose device is devices/{device_dir}; no device link when empty.
    fs::path tty(const std::string& name, const std::string& device_dir) {
        fs::path parent = device_dir.empty() ? root_ / "devices" / "virtual" / "tty" : root_ / "devices" / device_dir;
        fs::path dir = parent / name;
        fs::create_directories(dir);
        if (!device_dir.empty()) fs::create_directory_symlink(parent, dir / "device");
        fs::create_directory_symlink(dir, root_ / "class" / "tty" / name);
        return dir;
    }
    static void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

private:
    fs::path root_;
};

std::vector<std::string> names_of(const std::vector<PortInfo>& ports) {
    std::vector<std::string> out;
    for (const auto& p : ports) out.push_back(p.port_name);
    return out;
}

std::string attr(PyObject* o, const char* name) {
    py::Ref v = py::Ref::steal(PyObject_GetAttrString(o, name));
    if (v.get() == Py_None) return "None";
    py::Ref s = py::Ref::steal(PyObject_Str(v.get()));
    return PyUnicode_AsUTF8(s.get());
}

}  // namespace

TEST(PyListPortsScan, ReportsDriverBackedTtysByName) {
    FakeSysfs sys;
    sys.tty("ttyS1", "platform/serial8250");
    sys.tty("ttyS0", "platform/serial8250");
    sys.tty("tty0", "");     // a virtual terminal: no device link
    sys.tty("console", "");  // likewise
    fs::path gone = sys.tty("ttyGONE", "");
    fs::create_directory_symlink(sys.root() / "devices" / "nowhere", gone / "device");

    auto ports = available_ports(sys.root());
    ASSERT_TRUE(ports.has_value());
    EXPECT_EQ(names_of(*ports), (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyS1"}));
    for (const auto& p : *ports) EXPECT_FALSE(p.usb.has_value()) << p.port_name;
}

TEST(PyListPortsScan, TypeAttributeFilter) {
    struct Case {
        const char* name;
        const char* type;  // nullptr: no type file
        bool kept;
    };
    const Case cases[] = {
        {"ttyS0", "0\n", false},
        {"ttyS1", "4\n", true},
        {"ttyS2", nullptr, true},
        {"ttyS3", " \t0\r\n", false},
        {"ttyS4", "\xC2\xA0" "0\xE3\x80\x80\n", false},  // Unicode spaces around 0
        {"ttyS5", "00\n", true},
        {"ttyS6", "0 0\n", true},
        {"ttyS7", "\xFF" "0", true},  // not UTF-8
        {"ttyS8", "", true},
    };
    FakeSysfs sys;
    for (const auto& c : cases) {
        fs::path dir = sys.tty(c.name, "platform/serial8250");
        if (c.type) FakeSysfs::write(dir / "type", c.type);
    }
    // A type attribute that cannot be read keeps the port.
    fs::create_directory(sys.tty("ttyS9", "platform/serial8250") / "type");
    fs::path locked = sys.tty("ttyS10", "platform/serial8250") / "type";
    FakeSysfs::write(locked, "0\n");
    fs::permissions(locked, fs::perms::none);
    bool root_reads_anything = geteuid() == 0;

    auto ports = available_ports(sys.root());
    ASSERT_TRUE(ports.has_value());
    ASSERT_EQ(ports->size(), std::size(cases) + 2);
    for (const auto& p : *ports) {
        bool kept = keep_port(p, sys.root());
        std::string name = p.port_name.substr(5);
        if (name == "ttyS9") {
            EXPECT_TRUE(kept);
        } else if (name == "ttyS10") {
            if (!root_reads_anything) {
                EXPECT_TRUE(kept);
            }
        } else {
            auto c = std::ranges::find_if(cases, [&](const Case& k) { return name == k.name; });
            ASSERT_NE(c, std::end(cases)) << name;
            EXPECT_EQ(kept, c->kept) << name;
        }
    }
}

TEST(PyListPortsScan, FilterLooksOnlyAtDevPaths) {
    FakeSysfs sys;
    FakeSysfs::write(sys.tty("ttyS0", "platform/serial8250") / "type", "0\n");
    EXPECT_FALSE(keep_port({"/dev/ttyS0", {}}, sys.root()));
    EXPECT_TRUE(keep_port({"ttyS0", {}}, sys.root()));
    EXPECT_TRUE(keep_port({"/dev", {}}, sys.root()));
    EXPECT_TRUE(keep_port({"/dev/ttyS99", {}}, sys.root()));
}

TEST(PyListPortsScan, UsbDevices) {
    FakeSysfs sys;
    // An FTDI adapter: the TTY sits on the interface 1-1.4:1.0 of device 1-1.4.
    fs::path ftdi = sys.root() / "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4";
    for (auto [file, text] : {std::pair{"idVendor", "0403\n"}, {"idProduct", "6001\n"}, {"serial", "A1\n"},
                              {"manufacturer", "FTDI\n"}, {"product", "FT232R USB UART\n"}, {"busnum", "1\n"},
                              {"devpath", "1.4\n"}})
        FakeSysfs::write(ftdi / file, text);
    // The hub above has ids too: the nearest device must win.
    FakeSysfs::write(ftdi.parent_path() / "idVendor", "1d6b\n");
    FakeSysfs::write(ftdi.parent_path() / "idProduct", "0002\n");
    sys.tty("ttyUSB0", "pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/1-1.4:1.0/ttyUSB0");
    // A modem with no strings and a devpath that is no port list.
    fs::path acm = sys.root() / "devices/pci0000:00/0000:00:14.0/usb3/3-2";
    for (auto [file, text] : {std::pair{"idVendor", "2341\n"}, {"idProduct", "0043"}, {"busnum", "3\n"},
                              {"devpath", "x\n"}})
        FakeSysfs::write(acm / file, text);
    sys.tty("ttyACM0", "pci0000:00/0000:00:14.0/usb3/3-2/3-2:1.0");
    // Ids that are not 16-bit hexadecimal do not make a USB device.
    FakeSysfs::write(sys.root() / "devices/platform/odd/idVendor", "12345\n");
    FakeSysfs::write(sys.root() / "devices/platform/odd/idProduct", "0001\n");
    sys.tty("ttyS0", "platform/odd");

    auto ports = available_ports(sys.root());
    ASSERT_TRUE(ports.has_value());
    const std::vector<PortInfo> expected = {
        {"/dev/ttyACM0", UsbPort{0x2341, 0x0043, std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
        {"/dev/ttyS0", std::nullopt},
        {"/dev/ttyUSB0", UsbPort{0x0403, 0x6001, "A1", "FTDI", "FT232R USB UART", UsbLocation{"1", {1, 4}}}},
    };
    EXPECT_EQ(*ports, expected);

    // The records Python gets.
    py::Ref list = comports_at(sys.root());
    ASSERT_EQ(PyList_Size(list.get()), 3);
    struct Row {
        const char* field;
        const char* acm;
        const char* plain;
        const char* ftdi;
    };
    const Row rows[] = {
        {"device", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0"},
        {"name", "ttyACM0", "ttyS0", "ttyUSB0"},
        {"description", "ttyACM0", "n/a", "FT232R USB UART"},
        {"hwid", "USB VID:PID=2341:0043", "n/a", "USB VID:PID=0403:6001 SER=A1 LOCATION=1-1.4"},
        {"vid", "9025", "None", "1027"},
        {"pid", "67", "None", "24577"},
        {"serial_number", "None", "None", "A1"},
        {"location", "None", "None", "1-1.4"},
        {"manufacturer", "None", "None", "FTDI"},
        {"product", "None", "None", "FT232R USB UART"},
        {"interface", "None", "None", "None"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(attr(PyList_GetItem(list.get(), 0), r.field), r.acm) << r.field;
        EXPECT_EQ(attr(PyList_GetItem(list.get(), 1), r.field), r.plain) << r.field;
        EXPECT_EQ(attr(PyList_GetItem(list.get(), 2), r.field), r.ftdi) << r.field;
    }
}

TEST(PyListPortsScan, EmptyAndMissingClassDirectory) {
    FakeSysfs sys;
    py::Ref empty = comports_at(sys.root());
    EXPECT_EQ(PyList_Size(empty.get()), 0);

    auto missing = available_ports(sys.root() / "absent");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind(), SerialError::Kind::Io);
    EXPECT_EQ(missing.error().os_errno(), 2);
    std::string raised = outcome([&] { comports_at(sys.root() / "absent"); });
    EXPECT_TRUE(raised.starts_with("SerialException: [Errno 2] could not list ")) << raised;
}

TEST(PyListPorts, LocationText) {
    struct Case {
        std::string bus;
        std::vector<std::uint8_t> ports;
        std::string expected;
    };
    const Case cases[] = {
        {"1", {1, 4}, "1-1.4"},
        {"2", {}, "2-"},
        {"3", {0, 255}, "3-0.255"},
        {"PCIROOT(0)#PCI(1400)#USBROOT(7)#USB(2)", {2}, "8-2"},
        {"USBROOT(0)", {1}, "1-1"},
        {"PCIROOT(0)#USBROOT(x", {1}, "PCIROOT(0)#USBROOT(x-1"},
        {"USBROOT(4294967295)", {1}, "4294967295-1"},
        {"USBROOT(4294967294)", {1}, "4294967295-1"},
        {"USBROOT(4294967296)", {1}, "USBROOT(4294967296)-1"},
        {"USBROOT(1)#USBROOT(5)", {1}, "6-1"},
        {"USBROOT(12abc", {1}, "13-1"},
        {"USBROOT(", {1}, "USBROOT(-1"},
    };
    for (const auto& c : cases) {
        PortInfo port{"/dev/ttyUSB0", UsbPort{1, 2, std::nullopt, std::nullopt, std::nullopt, UsbLocation{c.bus, c.ports}}};
        py::Ref info = from_info(port);
        EXPECT_EQ(attr(info.get(), "location"), c.expected) << c.bus;
        EXPECT_EQ(attr(info.get(), "hwid"), "USB VID:PID=0001:0002 LOCATION=" + c.expected) << c.bus;
    }
}

TEST(PyListPorts, TrimUnicode) {
    struct Case {
        std::string text;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"0", "0"},
        {"  0 \n", "0"},
        {"\xE2\x80\xA8" "4\xC2\x85", "4"},  // line separator, next line
        {"\xE2\x80\x8B" "0", "\xE2\x80\x8B" "0"},  // zero-width space is not white space
        {"", ""},
        {" \n", ""},
        {"\xC0\xB0", std::nullopt},        // overlong "0"
        {"\xED\xA0\x80", std::nullopt},    // a surrogate
        {"0\xE2\x80", std::nullopt},       // truncated
    };
    for (const auto& c : cases) {
        auto got = trim_unicode(c.text);
        EXPECT_EQ(got ? std::optional<std::string>(*got) : std::nullopt, c.expected) << c.text;
    }
}
