// Storage of the column reader: growing buffers for fixed-width values and
// a block store for texts.  Plain heap memory (malloc), no Python objects,
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

// Texts appended one after another, in blocks of about a MiB (one text
// longer than that gets a block of its own), so that a consumer can free
// each block as soon as it has taken its texts.
class TextStore {
public:
    struct Block {
        Block *next;
        size_t cap;
        size_t used;
        size_t count;  // texts in this block
        // Then `count` lengths (size_t), growing down from the end, and the
        // bytes, growing up from here.
        char *bytes() noexcept { return reinterpret_cast<char *>(this + 1); }
        size_t *lengths() noexcept { return reinterpret_cast<size_t *>(bytes() + cap); }
    };

    TextStore() noexcept = default;
    TextStore(const TextStore &) = delete;
    TextStore &operator=(const TextStore &) = delete;
    ~TextStore() { clear(); }

    size_t count() const noexcept { return count_; }
    size_t bytes() const noexcept { return bytes_; }

    bool append(const char *text, size_t n) noexcept
    {
        if (tail_ == nullptr || tail_->cap - tail_->used < n || tail_->count == kMaxPerBlock) {
            if (!new_block(n))
                return false;
        }
        std::memcpy(tail_->bytes() + tail_->used, text, n);
        tail_->used += n;
        tail_->lengths()[tail_->count++] = n;
        ++count_;
        bytes_ += n;
        return true;
    }

    // Appends a text of at most 16 bytes given as two words (the bytes
    // past its size are ignored); false when the last block has no room,
    // and append() must take it.
    bool append_short(uint64_t w0, uint64_t w1, size_t n) noexcept
    {
        if (tail_ == nullptr || tail_->cap - tail_->used < 16 || tail_->count == kMaxPerBlock)
            return false;
        char *out = tail_->bytes() + tail_->used;
        std::memcpy(out, &w0, 8);
        std::memcpy(out + 8, &w1, 8);
        tail_->used += n;
        tail_->lengths()[tail_->count++] = n;
        ++count_;
        bytes_ += n;
        return true;
    }

    // Detaches the first block (the caller frees it with std::free after
    // reading it), or null when the store is empty.
    Block *pop_front() noexcept
    {
        Block *b = head_;
        if (b != nullptr) {
            head_ = b->next;
            if (head_ == nullptr)
                tail_ = nullptr;
            count_ -= b->count;
            bytes_ -= b->used;
        }
        return b;
    }

    void clear() noexcept
    {
        while (Block *b = pop_front())
            std::free(b);
        count_ = bytes_ = 0;
    }

private:
    static constexpr size_t kBlockBytes = size_t(1) << 20;
    static constexpr size_t kMaxPerBlock = 65536;

    bool new_block(size_t n) noexcept
    {
        const size_t cap = n > kBlockBytes ? n : kBlockBytes;
        const size_t room = sizeof(size_t) * kMaxPerBlock;
        if (cap > SIZE_MAX - sizeof(Block) - room)
            return false;
        // Lengths follow the bytes; keep them aligned.
        const size_t aligned = (cap + alignof(size_t) - 1) / alignof(size_t) * alignof(size_t);
        Block *b = static_cast<Block *>(std::malloc(sizeof(Block) + aligned + room));
        if (b == nullptr)
            return false;
        b->next = nullptr;
        b->cap = aligned;
        b->used = 0;
        b->count = 0;
        if (tail_ != nullptr)
            tail_->next = b;
        else
            head_ = b;
        tail_ = b;
        return true;
    }

    Block *head_ = nullptr;
    Block *tail_ = nullptr;
    size_t count_ = 0;
    size_t bytes_ = 0;
};

// Calls fn(text, size) for every text of `first`, then of `second`, freeing
// each block once its texts were taken; stops early (false) when fn returns
// false.
template <class Fn>
bool drain_texts(TextStore &first, TextStore &second, Fn &&fn) noexcept
{
    TextStore *stores[2] = {&first, &second};
    for (TextStore *s : stores) {
        while (TextStore::Block *b = s->pop_front()) {
            const char *p = b->bytes();
            const size_t *lengths = b->lengths();
            bool ok = true;
            for (size_t i = 0; i < b->count && ok; ++i) {
                ok = fn(p, lengths[i]);
                p += lengths[i];
            }
            std::free(b);
            if (!ok)
                return false;
        }
    }
    return true;
}

}  // namespace tv::reader
