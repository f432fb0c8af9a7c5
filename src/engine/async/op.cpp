#include "engine/async/op.hpp"

#include <array>
#include <new>

namespace korvane::detail {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers see every frame's own allocation and release.
constexpr bool caching = false;
#else
constexpr bool caching = true;
#endif

constexpr std::size_t granule = 64;
constexpr std::size_t classes = 32;  // frames up to 2 KiB
constexpr std::size_t per_class = 4;

struct FrameCache {
    struct Class {
        std::array<void*, per_class> blocks{};
        std::size_t count = 0;
    };
    std::array<Class, classes> by_size;
    bool alive = true;

    ~FrameCache() {
        alive = false;
        for (auto& c : by_size)
            while (c.count) ::operator delete(c.blocks[--c.count]);
    }
};

thread_local FrameCache t_cache;

// The size class of a frame; `classes` when it is too large to cache.
std::size_t class_of(std::size_t size) noexcept { return size == 0 ? 0 : (size - 1) / granule; }

}  // namespace

void* frame_alloc(std::size_t size) {
    std::size_t c = class_of(size);
    if (!caching || c >= classes) return ::operator new(size);
    auto& cache = t_cache;
    auto& cls = cache.by_size[c];
    if (cache.alive && cls.count) return cls.blocks[--cls.count];
    return ::operator new((c + 1) * granule);
}

void frame_free(void* frame, std::size_t size) noexcept {
    std::size_t c = class_of(size);
    if (!caching || c >= classes) return ::operator delete(frame);
    auto& cache = t_cache;
    auto& cls = cache.by_size[c];
    if (cache.alive && cls.count < per_class) {
        cls.blocks[cls.count++] = frame;
        return;
    }
    ::operator delete(frame);
}

}  // namespace korvane::detail
