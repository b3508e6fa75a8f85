// An owned, uninitialised byte buffer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include <sys/mman.h>

namespace corvid {

// Move-only bytes from malloc: allocating leaves them uninitialised (no pass
// over fresh pages before they are filled), and shrink() and keep_range() can
// give back the tail without a copy.
class ByteBuffer {
public:
    ByteBuffer() noexcept = default;

    // Throws std::bad_alloc when `size` bytes cannot be had.
    [[nodiscard]] static ByteBuffer allocate(std::size_t size) {
        ByteBuffer buffer;
        if (size >= prefault_size) {
            // Every page faulted in by one call before the buffer is filled:
            // a fault per 4 KiB page, taken one by one as a read fills the
            // buffer, costs more than the read itself. (Huge pages would cost
            // still less, but may stall for compaction.) The advice is only a
            // hint: the pages fault as usual where it is not supported.
            void* memory = nullptr;
            if (::posix_memalign(&memory, page_size, size) != 0) throw std::bad_alloc();
            buffer.data_.reset(static_cast<std::byte*>(memory));
#ifdef MADV_POPULATE_WRITE
            (void)::madvise(memory, size, MADV_POPULATE_WRITE);
#endif
        } else if (size != 0) {
            buffer.data_.reset(static_cast<std::byte*>(std::malloc(size)));
            if (!buffer.data_) throw std::bad_alloc();
        }
        buffer.size_ = size;
        return buffer;
    }

    std::byte* data() noexcept { return data_.get() + offset_; }
    const std::byte* data() const noexcept { return data_.get() + offset_; }
    std::size_t size() const noexcept { return size_; }
    std::span<std::byte> bytes() noexcept { return {data(), size_}; }
    std::span<const std::byte> bytes() const noexcept { return {data(), size_}; }

    // Keeps the first `size` bytes (size <= size()) and releases the rest.
    void shrink(std::size_t size) noexcept {
        if (size >= size_) return;
        if (size == 0) {
            data_.reset();
            offset_ = 0;
        } else if (void* smaller = std::realloc(data_.get(), offset_ + size)) {
            (void)data_.release();
            data_.reset(static_cast<std::byte*>(smaller));
        }
        size_ = size;
    }

    // Keeps bytes [begin, begin + size) (within size()) and releases the rest.
    // A range that starts within a page, or a sixteenth of its own size, of
    // the front and at an 8-byte boundary stays where it is, holding on to the
    // few bytes before it: moving a large range costs about as much as
    // reading it. Any other range is moved to the front.
    void keep_range(std::size_t begin, std::size_t size) noexcept {
        const bool in_place = begin <= std::max(page_size, size / 16) &&
                              (offset_ + begin) % in_place_alignment == 0;
        if (in_place) {
            offset_ += begin;
            size_ -= begin;
        } else if (size != 0) {
            std::memmove(data(), data() + begin, size);
        }
        shrink(size);
    }

private:
    static constexpr std::size_t page_size = 4096;
    static constexpr std::size_t prefault_size = std::size_t{1} << 20;
    // Enough for every stored element type to be read in place.
    static constexpr std::size_t in_place_alignment = 8;

    struct Free {
        void operator()(std::byte* bytes) const noexcept { std::free(bytes); }
    };
    std::unique_ptr<std::byte[], Free> data_;
    std::size_t offset_ = 0;  // where the kept bytes start in the allocation
    std::size_t size_ = 0;
};

}  // namespace corvid
