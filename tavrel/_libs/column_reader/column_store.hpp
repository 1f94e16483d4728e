// Storage of the column reader: growing buffers for fixed-width values.
// Plain memory (malloc, or mappings for large buffers), no Python objects,
// no exceptions: every allocation reports failure by its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tv::reader {

// A growing buffer: capacity doubles, so appending is amortised constant.
// Large buffers (from 1 MiB) are private anonymous mappings on Linux, grown
// by remapping their pages, so that growth never copies the values nor
// needs the old and the new block at once.
class Buffer {
public:
    // A block handed over by release(): free() it, or munmap() it with
    // `mapped` bytes when that is not zero.
    struct Block {
        char *data;
        size_t mapped;
    };

    Buffer() noexcept = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { clear(); }

    char *data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }

    bool reserve(size_t bytes) noexcept
    {
        if (bytes <= cap_)
            return true;
        size_t cap = cap_ < 64 ? 64 : cap_;
        while (cap < bytes) {
            if (cap > SIZE_MAX / 2)
                return false;
            cap *= 2;
        }
#if defined(__linux__)
        if (cap >= kMapBytes) {
            void *p;
            if (mapped_) {
                p = mremap(data_, cap_, cap, MREMAP_MAYMOVE);
            } else {
                p = mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                if (p != MAP_FAILED && size_ != 0)
                    std::memcpy(p, data_, size_);
            }
            if (p == MAP_FAILED)
                return false;
            if (!mapped_)
                std::free(data_);
            data_ = static_cast<char *>(p);
            cap_ = cap;
            mapped_ = true;
            return true;
        }
#endif
        char *p = static_cast<char *>(std::realloc(data_, cap));
        if (p == nullptr)
            return false;
        data_ = p;
        cap_ = cap;
        return true;
    }
    bool resize(size_t bytes) noexcept
    {
        if (!reserve(bytes))
            return false;
        size_ = bytes;
        return true;
    }
    // Gives the block to the caller (null when empty); a heap block is cut
    // to its size.
    Block release() noexcept
    {
        Block b{data_, 0};
        // A mapping keeps its size: pages past the data were never touched
        // and take no memory.
        if (mapped_)
            b.mapped = cap_;
        if (!mapped_ && data_ != nullptr && size_ < cap_) {
            char *q = static_cast<char *>(std::realloc(data_, size_ == 0 ? 1 : size_));
            if (q != nullptr)
                b.data = q;
        }
        data_ = nullptr;
        size_ = cap_ = 0;
        mapped_ = false;
        return b;
    }
    static void free_block(const Block &b) noexcept
    {
#if defined(__linux__)
        if (b.mapped != 0) {
            munmap(b.data, b.mapped);
            return;
        }
#endif
        std::free(b.data);
    }
    void clear() noexcept
    {
        free_block(Block{data_, mapped_ ? cap_ : 0});
        data_ = nullptr;
        size_ = cap_ = 0;
        mapped_ = false;
    }

private:
    static constexpr size_t kMapBytes = size_t(1) << 20;

    char *data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
    bool mapped_ = false;
};

}  // namespace tv::reader
