// The TTY layer: a terminal device driven through termios and ioctl.
//
// Failures of system calls come back as TTY-layer errors (converted with
// SerialError::tty), whose text is the errno's description so that the errno
// can be found again; the few calls whose callers want the I/O conversion say
// so below.
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include "engine/errors.hpp"

namespace korvane::tty {

enum class Parity : std::uint8_t { None, Odd, Even };
enum class FlowControl : std::uint8_t { None, Software, Hardware };
enum class ClearBuffer : std::uint8_t { Input, Output, All };

// An open device: its descriptor and whether this opener put the terminal
// into exclusive mode (so that only this opener takes it out again).
struct Device {
    int fd = -1;
    bool exclusive = false;
};

// Opens `path` read-write, non-blocking, close-on-exec, without making it the
// controlling terminal; takes the advisory lock (exclusive with exclusive
// mode, or shared) without waiting; puts the terminal into raw mode with the
// receiver on and the modem status lines ignored; then applies `baud_rate`,
// 8 data bits, no parity, one stop bit and no flow control. On a failure
// after the open the device is closed again.
Result<Device> open(std::string_view path, std::uint32_t baud_rate, bool exclusive);

// Leaves exclusive mode if this opener set it (a failure is ignored), then
// closes the descriptor.
void close(Device& device) noexcept;

Status set_data_bits(int fd, int bits);  // 5 to 8
Status set_parity(int fd, Parity parity);
Status set_stop_bits(int fd, bool two);
Status set_flow_control(int fd, FlowControl flow);
// Any rate the driver accepts.
Status set_baud_rate(int fd, std::uint32_t rate);

Status write_rts(int fd, bool level);
Status write_dtr(int fd, bool level);
Result<bool> read_cts(int fd);
Result<bool> read_dsr(int fd);
Result<bool> read_ri(int fd);
Result<bool> read_cd(int fd);

Result<std::uint32_t> bytes_to_read(int fd);
Result<std::uint32_t> bytes_to_write(int fd);
Status clear(int fd, ClearBuffer which);
Status set_break(int fd);
Status clear_break(int fd);

// The terminal attributes as the kernel keeps them (termios2), so that a
// driver's adjustments (a pty forcing CS8) are seen as they are; the flag
// and index constants of <termios.h> apply to them.
struct Attributes {
    std::uint32_t iflag = 0;
    std::uint32_t oflag = 0;
    std::uint32_t cflag = 0;
    std::uint32_t lflag = 0;
    std::uint8_t line = 0;
    std::array<std::uint8_t, 19> cc{};
    std::uint32_t ispeed = 0;
    std::uint32_t ospeed = 0;
};
// 0 or the errno; the caller chooses the conversion.
int get_attributes(int fd, Attributes& out) noexcept;
// Applied at once (no drain, no flush).
int set_attributes(int fd, const Attributes& in) noexcept;
// Input and output at `rate` through BOTHER.
void set_speed(Attributes& a, std::uint32_t rate) noexcept;

// A close-on-exec duplicate of `fd`; a failure is the I/O conversion.
Result<int> duplicate(int fd);

// The TTY-layer error for errno `code`.
SerialError error(int code);

namespace detail {
// Runs a system call again for as long as a signal interrupts it.
template <class F>
auto retry(F call) {
    for (;;) {
        auto r = call();
        if (r != -1 || errno != EINTR) return r;
    }
}
}  // namespace detail

}  // namespace korvane::tty
