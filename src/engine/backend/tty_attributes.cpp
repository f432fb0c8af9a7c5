// termios2 lives in the kernel's headers, which clash with <termios.h>; this
// unit keeps them apart from the rest of the TTY layer.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <algorithm>

#include "engine/backend/tty.hpp"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace korvane::tty {

static_assert(sizeof(termios2::c_cc) == sizeof(Attributes::cc));

int get_attributes(int fd, Attributes& out) noexcept {
    termios2 t{};
    if (detail::retry([&] { return ::ioctl(fd, TCGETS2, &t); }) == -1) return errno;
    out.iflag = t.c_iflag;
    out.oflag = t.c_oflag;
    out.cflag = t.c_cflag;
    out.lflag = t.c_lflag;
    out.line = t.c_line;
    std::copy(std::begin(t.c_cc), std::end(t.c_cc), out.cc.begin());
    out.ispeed = t.c_ispeed;
    out.ospeed = t.c_ospeed;
    return 0;
}

int set_attributes(int fd, const Attributes& in) noexcept {
    termios2 t{};
    t.c_iflag = in.iflag;
    t.c_oflag = in.oflag;
    t.c_cflag = in.cflag;
    t.c_lflag = in.lflag;
    t.c_line = in.line;
    std::copy(in.cc.begin(), in.cc.end(), std::begin(t.c_cc));
    t.c_ispeed = in.ispeed;
    t.c_ospeed = in.ospeed;
    if (detail::retry([&] { return ::ioctl(fd, TCSETS2, &t); }) == -1) return errno;
    return 0;
}

void set_speed(Attributes& a, std::uint32_t rate) noexcept {
    // A zero input field makes the input rate follow the output rate.
    a.cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    a.cflag |= BOTHER;
    a.ispeed = rate;
    a.ospeed = rate;
}

}  // namespace korvane::tty
