// Readiness: a descriptor's readiness, as a leaf the native back-end polls.
//
// A direction stays ready until the caller reports that the descriptor would
// block (clear), so a partial read never waits for an edge that already came.
// A wait polled with local waits (a blocking caller's first phase) is recorded
// there; a task's wait is armed on the runtime's reactor. The descriptor is
// registered with the reactor only while a task waits on it, so a port used
// from blocking calls alone never wakes a worker.
#pragma once

#include <memory>

#include "engine/async/waker.hpp"
#include "engine/errors.hpp"

namespace korvane {

class Readiness {
public:
    enum class Direction : unsigned char { Read, Write };

    // Watches `fd` for the runtime's reactor. The descriptor stays the
    // caller's: it is never closed here.
    static Result<Readiness> create(int fd);

    Readiness(Readiness&&) noexcept;
    Readiness& operator=(Readiness&&) noexcept;
    ~Readiness();

    // Ready with success once the descriptor may be used in that direction,
    // or with the reactor's error.
    Poll<Status> poll_ready(Direction d, Context& cx);
    // The last attempt would have blocked: wait for the next event.
    void clear_ready(Direction d);

private:
    struct Cell;
    explicit Readiness(std::shared_ptr<Cell> cell) noexcept;
    std::shared_ptr<Cell> cell_;
};

}  // namespace korvane
