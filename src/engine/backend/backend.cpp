#include "engine/backend/backend.hpp"

#include <unistd.h>

#include "engine/backend/loopback.hpp"
#include "engine/backend/native.hpp"

namespace korvane {

Drain& Drain::operator=(Drain&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Drain::~Drain() {
    if (fd_ >= 0) ::close(fd_);
}

Poll<Result<std::size_t>> Backend::poll_write_vectored(Context& cx, std::span<const Bytes> slices) {
    for (const auto& s : slices) {
        if (!s.empty()) return poll_write(cx, s);
    }
    return poll_write(cx, Bytes{});
}

namespace backend {

bool is_loopback(std::string_view name) noexcept {
    constexpr std::string_view scheme = "loop://";
    if (name.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i]) return false;
    }
    return true;
}

Result<std::unique_ptr<Backend>> open(std::string_view name, const Settings& settings, bool rts, bool dtr) {
    if (is_loopback(name)) return std::make_unique<LoopbackPort>(rts, dtr);
    return native::open(name, settings, rts, dtr);
}

}  // namespace backend
}  // namespace korvane
