#include "engine/async/loop_watch.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "engine/runtime.hpp"

namespace korvane {

namespace {

static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLERR == EPOLLERR && POLLHUP == EPOLLHUP,
              "readiness bits are reported as they are registered");

// Every live watch, so that a closing descriptor leaves them all. Never
// freed: a port may close during the interpreter's exit.
std::mutex& registry_mutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<LoopWatch*>& registry() {
    static auto* r = new std::vector<LoopWatch*>;
    return *r;
}

// A timer entry that wakes `task` at `at`; null when `at` is due already (or
// no timer could be armed), so the caller hands the task on at once.
std::unique_ptr<Sleep> arm(const std::shared_ptr<detail::TaskBase>& task, Instant at) noexcept {
    try {
        auto sleep = std::make_unique<Sleep>(at);
        Waker waker(task);
        Context cx(waker);
        if (sleep->poll(cx)) return nullptr;
        return sleep;
    } catch (...) {
        return nullptr;
    }
}

std::optional<Instant> deadline_of(const std::unique_ptr<Sleep>& s) noexcept {
    if (!s) return std::nullopt;
    return s->deadline();
}

}  // namespace

std::shared_ptr<LoopWatch> LoopWatch::create() {
    int epfd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) return nullptr;
    std::shared_ptr<LoopWatch> watch;
    try {
        watch.reset(new LoopWatch(epfd));
    } catch (...) {
        ::close(epfd);
        return nullptr;
    }
    try {
        std::lock_guard r(registry_mutex());
        registry().push_back(watch.get());
    } catch (...) {
        return nullptr;
    }
    return watch;
}

LoopWatch::LoopWatch(int epfd) noexcept : epfd_(epfd) {}

LoopWatch::~LoopWatch() {
    // In a forked child the registry may be locked by a thread left behind.
    if (!runtime::forked()) {
        std::lock_guard r(registry_mutex());
        auto& all = registry();
        all.erase(std::remove(all.begin(), all.end(), this), all.end());
    }
    ::close(epfd_);
}

LoopWatch::Watched* LoopWatch::find(int fd) noexcept {
    for (auto& w : watched_)
        if (w.fd == fd) return &w;
    return nullptr;
}

bool LoopWatch::update(Watched& w) noexcept {
    unsigned want = 0;
    for (auto& p : w.parked) want |= static_cast<unsigned short>(p.events);
    // Left registered while idle: the next operation most likely waits for
    // the same. Readiness nobody waits for drops it (see ready).
    if (want == 0 || want == w.interest) return true;
    epoll_event ev{};
    ev.events = want;
    ev.data.fd = w.fd;
    if (::epoll_ctl(epfd_, w.interest ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, w.fd, &ev) != 0) return false;
    w.interest = want;
    return true;
}

void LoopWatch::drop(Watched& w) noexcept {
    if (w.interest) (void)::epoll_ctl(epfd_, EPOLL_CTL_DEL, w.fd, nullptr);
    auto at = watched_.begin() + (&w - watched_.data());
    watched_.erase(at);
}

void LoopWatch::purge(Watched& w, std::vector<Parked>& gone) {
    auto& list = w.parked;
    for (auto it = list.begin(); it != list.end();) {
        if (it->task->is_parked()) {
            ++it;
        } else {
            gone.push_back(std::move(*it));
            it = list.erase(it);
        }
    }
}

void LoopWatch::park(const TaskHandle& handle, const LocalWaits& waits) {
    const auto& task = handle.task();
    if (!task) return;
    const auto& wanted = waits.wanted();
    // Waiting on wakers alone (a lock, a notify): it is the runtime's when woken.
    if (wanted.empty() && !waits.deadline()) return task->settle();
    if (wanted.size() != 1) return task->unpark();
    const int fd = wanted[0].fd;
    const short events = wanted[0].events;
    std::unique_ptr<Sleep> deadline;
    if (auto at = waits.deadline()) {
        deadline = arm(task, *at);
        if (!deadline) return task->unpark();
    }
    // What leaves the table is freed after the unlock: a task's last
    // reference may be here, and freeing its future may close a port.
    std::vector<Parked> gone;
    bool refused = false;
    {
        std::lock_guard g(mutex_);
        if (released_ || !task->is_parked()) {
            refused = true;
        } else {
            Watched* w = find(fd);
            if (!w) w = &watched_.emplace_back(Watched{fd, 0, {}});
            purge(*w, gone);
            auto& list = w->parked;
            list.push_back(Parked{task, events, std::move(deadline)});
            if (!update(*w)) {
                gone.push_back(std::move(list.back()));
                list.pop_back();
                if (w->interest == 0) drop(*w);
                refused = true;
            }
        }
    }
    if (refused) task->unpark();
}

void LoopWatch::ready() {
    if (runtime::forked()) return;
    epoll_event events[16];
    int n;
    do n = ::epoll_wait(epfd_, events, 16, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return;

    std::vector<Due> due = std::move(due_);
    due.clear();
    struct Fired {
        int fd;
        bool taken;  // some operation waited for what came
    };
    std::array<Fired, std::size(events)> fired;
    std::size_t fired_count = 0;
    {
        std::lock_guard g(mutex_);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            const unsigned revents = events[i].events;
            if (!find(fd)) continue;
            bool taken = false;
            for (auto& p : find(fd)->parked) {
                if (!((static_cast<unsigned short>(p.events) | EPOLLERR | EPOLLHUP) & revents)) continue;
                due.push_back(Due{p.task, fd, revents});
                taken = true;
            }
            fired[fired_count++] = Fired{fd, taken};
        }
    }

    for (auto& d : due) {
        waits_.reset();
        waits_.saw(d.fd, static_cast<short>(d.revents));
        if (!d.task->poll_parked(waits_)) continue;
        const auto& wanted = waits_.wanted();
        // A hang-up is reported whatever the interest: a poll that still
        // waits after one goes to the runtime rather than spin the loop.
        const bool hung = d.revents & (EPOLLERR | EPOLLHUP);
        if (!hung && wanted.size() == 1 && wanted[0].fd == d.fd) {
            d.keep = true;
            d.events = wanted[0].events;
            d.deadline = waits_.deadline();
        } else {
            d.task->unpark();
        }
    }
    waits_.reset();

    std::vector<Parked> gone;
    std::vector<std::shared_ptr<detail::TaskBase>> handed;
    {
        std::lock_guard g(mutex_);
        for (auto& d : due) {
            Watched* w = find(d.fd);
            auto it = w ? std::find_if(w->parked.begin(), w->parked.end(),
                                       [&](const Parked& p) { return p.task == d.task; })
                        : std::vector<Parked>::iterator{};
            if (!w || it == w->parked.end()) {
                // Forgotten meanwhile: the port closed, and its close woke it.
                if (d.keep) handed.push_back(d.task);
                continue;
            }
            if (d.keep) {
                it->events = d.events;
                if (d.deadline != deadline_of(it->deadline)) {
                    gone.push_back(Parked{nullptr, 0, std::move(it->deadline)});
                    if (d.deadline) it->deadline = arm(d.task, *d.deadline);
                    if (d.deadline && !it->deadline) {
                        d.keep = false;
                        handed.push_back(d.task);
                    }
                }
            }
            if (!d.keep) {
                gone.push_back(std::move(*it));
                w->parked.erase(it);
            }
        }
        for (std::size_t i = 0; i < fired_count; ++i) {
            Watched* w = find(fired[i].fd);
            if (!w) continue;
            purge(*w, gone);
            // Readiness nobody waited for: the registration goes, or the loop
            // would report the level again at once.
            if (w->parked.empty() && !fired[i].taken) {
                drop(*w);
            } else if (!update(*w)) {
                for (auto& p : w->parked) handed.push_back(p.task);
                for (auto& p : w->parked) gone.push_back(std::move(p));
                w->parked.clear();
                drop(*w);
            }
        }
    }
    for (auto& t : handed) t->unpark();
    due.clear();
    due_ = std::move(due);
}

void LoopWatch::release() noexcept {
    if (runtime::forked()) return;
    std::vector<Watched> all;
    {
        std::lock_guard g(mutex_);
        released_ = true;
        all.swap(watched_);
    }
    for (auto& w : all)
        for (auto& p : w.parked) p.task->unpark();
}

bool LoopWatch::released() const {
    std::lock_guard g(mutex_);
    return released_;
}

void LoopWatch::forget(int fd) noexcept {
    std::vector<Watched> taken;
    std::lock_guard r(registry_mutex());
    try {
        taken.reserve(registry().size());
    } catch (...) {
    }
    for (LoopWatch* watch : registry()) {
        std::lock_guard g(watch->mutex_);
        Watched* w = watch->find(fd);
        if (!w) continue;
        for (auto& p : w->parked) p.task->unpark();
        if (w->interest) (void)::epoll_ctl(watch->epfd_, EPOLL_CTL_DEL, fd, nullptr);
        w->interest = 0;
        if (taken.size() < taken.capacity()) taken.push_back(std::move(*w));
        watch->drop(*w);
    }
    // `taken` goes after the registry lock (declared before it).
}

}  // namespace korvane
