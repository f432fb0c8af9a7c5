#include "engine/runtime.hpp"

#include <asio.hpp>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace korvane::runtime {

namespace {

constexpr int worker_count = 2;
constexpr auto pool_keep_alive = std::chrono::seconds(10);
constexpr auto stand_in_slice = std::chrono::milliseconds(20);

std::atomic<bool> g_started{false};
std::atomic<bool> g_forked{false};
std::atomic<unsigned> g_generation{0};
thread_local bool t_on_worker = false;
// A stand-in already covers this thread's current blocking wait.
thread_local bool t_covered = false;
// Within a ContinueHere scope, on a thread that runs the reactor for good
// (a stand-in may stop before its own queue has run).
thread_local bool t_continue_here = false;
thread_local bool t_worker_for_good = false;

void mark_forked() noexcept {
    if (!g_started.load(std::memory_order_relaxed)) return;
    g_forked.store(true, std::memory_order_relaxed);
    g_generation.fetch_add(1, std::memory_order_relaxed);
}

// Runtime threads take no asynchronous signals: the interpreter expects them
// on its own threads. Faults stay deliverable.
void start_thread(std::move_only_function<void()> body) {
    sigset_t all, old;
    sigfillset(&all);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, s);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
        std::thread t([body = std::move(body)]() mutable { body(); });
        // Named from here, so it carries the name from the moment it is seen.
        pthread_setname_np(t.native_handle(), "korvane");
        t.detach();
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

struct Runtime::Impl {
    asio::io_context io{worker_count};
    asio::executor_work_guard<asio::io_context::executor_type> keep{io.get_executor()};

    std::mutex pool_mutex;
    std::condition_variable pool_cv;
    std::deque<std::pair<std::uint64_t, std::move_only_function<void()>>> jobs;
    std::uint64_t next_job = 0;
    std::size_t idle = 0;

    void work() {
        t_on_worker = true;
        t_worker_for_good = true;
        for (;;) {
            try {
                io.run();
                return;
            } catch (...) {
                // A handler's fault must not take a worker away.
            }
        }
    }

    void pool_thread() {
        std::unique_lock l(pool_mutex);
        for (;;) {
            while (jobs.empty()) {
                ++idle;
                bool got = pool_cv.wait_for(l, pool_keep_alive, [&] { return !jobs.empty(); });
                --idle;
                if (!got) return;
            }
            auto job = std::move(jobs.front().second);
            jobs.pop_front();
            l.unlock();
            try {
                job();
            } catch (...) {
            }
            job = nullptr;
            l.lock();
        }
    }
};

Runtime::Runtime() : impl_(new Impl), pid_(getpid()) {
    for (int i = 0; i < worker_count; ++i) start_thread([impl = impl_] { impl->work(); });
}

struct Starter {
    static Runtime* make() { return new Runtime; }  // never deleted, see ~Runtime
};

asio::io_context& Runtime::io() noexcept { return impl_->io; }

void Runtime::post(std::move_only_function<void()> job) {
    if (g_forked.load(std::memory_order_relaxed)) return;
    // A continuation goes to this thread's own queue when it runs the reactor.
    if (t_continue_here && t_worker_for_good)
        asio::defer(impl_->io, std::move(job));
    else
        asio::post(impl_->io, std::move(job));
}

Status Runtime::spawn_blocking(std::move_only_function<void()> job) {
    if (g_forked.load(std::memory_order_relaxed)) return fail(SerialError::forked());
    std::uint64_t id;
    bool grow;
    {
        std::lock_guard g(impl_->pool_mutex);
        id = impl_->next_job++;
        impl_->jobs.emplace_back(id, std::move(job));
        grow = impl_->jobs.size() > impl_->idle;
        if (!grow) impl_->pool_cv.notify_one();
    }
    if (!grow) return {};
    try {
        start_thread([impl = impl_] { impl->pool_thread(); });
        return {};
    } catch (const std::system_error& e) {
        std::move_only_function<void()> orphan;
        {
            std::lock_guard g(impl_->pool_mutex);
            for (auto it = impl_->jobs.begin(); it != impl_->jobs.end(); ++it) {
                if (it->first == id) {
                    orphan = std::move(it->second);
                    impl_->jobs.erase(it);
                    break;
                }
            }
        }
        // Taken by a thread that came free meanwhile: it runs after all.
        if (!orphan) return {};
        return fail(SerialError::io(e.what(), e.code().value()));
    }
}

namespace {

Result<Runtime*> start() {
    try {
        Runtime* rt = nullptr;
        // The child handler is registered before any thread exists to fork under.
        static const int registered = pthread_atfork(nullptr, nullptr, mark_forked);
        (void)registered;
        g_started.store(true);
        rt = Starter::make();
        return rt;
    } catch (const std::system_error& e) {
        std::optional<std::int32_t> code;
        if (e.code().category() == std::system_category() || e.code().category() == std::generic_category())
            code = e.code().value();
        return fail(SerialError::io(std::string("failed to start the runtime: ") + e.what(), code));
    } catch (const std::exception& e) {
        return fail(SerialError::io(std::string("failed to start the runtime: ") + e.what()));
    }
}

}  // namespace

Result<Runtime*> runtime() {
    // The child handler sets the flag; no system call on this path. Asked
    // first: a child never waits on a start a parent thread was making.
    if (g_forked.load(std::memory_order_relaxed)) return fail(SerialError::forked());
    // Concurrent first callers wait for the one start; its outcome is final.
    static const Result<Runtime*>* cell = new Result<Runtime*>(start());
    return *cell;
}

bool started() noexcept { return g_started.load(); }
bool forked() noexcept { return g_forked.load(std::memory_order_relaxed); }
unsigned fork_generation() noexcept { return g_generation.load(std::memory_order_relaxed); }
bool on_worker() noexcept { return t_on_worker; }

ContinueHere::ContinueHere() noexcept : outer_(std::exchange(t_continue_here, true)) {}
ContinueHere::~ContinueHere() { t_continue_here = outer_; }

BlockInPlace::BlockInPlace() {
    if (!t_on_worker || t_covered) return;
    auto rt = runtime();
    if (!rt) return;
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto stand_in = [done, io = &(*rt)->io()] {
        t_on_worker = true;
        while (!done->load(std::memory_order_acquire)) io->run_one_for(stand_in_slice);
        t_on_worker = false;
    };
    if ((*rt)->spawn_blocking(std::move(stand_in))) {
        done_ = std::move(done);
        t_covered = true;
    }
}

BlockInPlace::~BlockInPlace() {
    if (!done_) return;
    t_covered = false;
    done_->store(true, std::memory_order_release);
}

}  // namespace korvane::runtime
