// An owned, uninitialised byte buffer.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>

#include <sys/mman.h>

namespace corvid {

// Move-only bytes from malloc: allocating leaves them uninitialised (no pass
// over fresh pages before they are filled), and shrink() can give back the
// tail without a copy.
class ByteBuffer {
public:
    ByteBuffer() noexcept = default;

    // Throws std::bad_alloc when `size` bytes cannot be had.
    [[nodiscard]] static ByteBuffer allocate(std::size_t size) {
        ByteBuffer buffer;
        if (size >= huge_page_size) {
            // Whole huge pages: one page fault per 2 MiB instead of per 4 KiB
            // while the buffer is first filled, and far fewer TLB misses when
            // rows are then read at random. The advice is only a hint.
            void* memory = nullptr;
            if (::posix_memalign(&memory, huge_page_size, size) != 0) throw std::bad_alloc();
            buffer.data_.reset(static_cast<std::byte*>(memory));
#ifdef MADV_HUGEPAGE
            (void)::madvise(memory, size - size % huge_page_size, MADV_HUGEPAGE);
#endif
        } else if (size != 0) {
            buffer.data_.reset(static_cast<std::byte*>(std::malloc(size)));
            if (!buffer.data_) throw std::bad_alloc();
        }
        buffer.size_ = size;
        return buffer;
    }

    std::byte* data() noexcept { return data_.get(); }
    const std::byte* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::byte> bytes() noexcept { return {data_.get(), size_}; }
    std::span<const std::byte> bytes() const noexcept { return {data_.get(), size_}; }

    // Keeps the first `size` bytes (size <= size()) and releases the rest.
    void shrink(std::size_t size) noexcept {
        if (size >= size_) return;
        if (size == 0) {
            data_.reset();
        } else if (void* smaller = std::realloc(data_.get(), size)) {
            (void)data_.release();
            data_.reset(static_cast<std::byte*>(smaller));
        }
        size_ = size;
    }

private:
    static constexpr std::size_t huge_page_size = std::size_t{2} << 20;

    struct Free {
        void operator()(std::byte* bytes) const noexcept { std::free(bytes); }
    };
    std::unique_ptr<std::byte[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace corvid
