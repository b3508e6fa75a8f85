// An owned, uninitialised byte buffer.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <span>
#include <utility>

#include <sys/mman.h>

namespace corvid {

// Move-only bytes from malloc: allocating leaves them uninitialised, so no
// pass over fresh pages comes before the read that fills them. malloc's
// alignment suits every stored element type, so rows can be read in place.
class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~ByteBuffer() { std::free(data_); }

    // Throws std::bad_alloc when `size` bytes cannot be had.
    [[nodiscard]] static ByteBuffer allocate(std::size_t size) {
        ByteBuffer buffer;
        if (size >= page_aligned_size) {
            // Page-aligned, so that prefault() can name whole pages.
            void* memory = nullptr;
            if (::posix_memalign(&memory, page_size, size) != 0) throw std::bad_alloc();
            buffer.data_ = static_cast<std::byte*>(memory);
        } else if (size != 0) {
            buffer.data_ = static_cast<std::byte*>(std::malloc(size));
            if (buffer.data_ == nullptr) throw std::bad_alloc();
        }
        buffer.size_ = size;
        return buffer;
    }

    std::byte* data() noexcept { return data_; }
    const std::byte* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::span<std::byte> bytes() noexcept { return {data_, size_}; }
    std::span<const std::byte> bytes() const noexcept { return {data_, size_}; }

    // Faults in the pages of bytes [offset, offset + size) (within size()) in
    // one call, before a read fills them: a fault per 4 KiB page, taken one by
    // one as the read copies, costs more than the read itself. (Huge pages
    // would cost still less, but may stall for compaction.) Only a hint: small
    // buffers and systems without the advice fault as usual.
    void prefault([[maybe_unused]] std::size_t offset, [[maybe_unused]] std::size_t size) noexcept {
#ifdef MADV_POPULATE_WRITE
        if (size_ < page_aligned_size || size == 0) return;
        const std::size_t first_page = offset / page_size * page_size;
        (void)::madvise(data_ + first_page, offset + size - first_page, MADV_POPULATE_WRITE);
#endif
    }

private:
    static constexpr std::size_t page_size = 4096;
    static constexpr std::size_t page_aligned_size = std::size_t{1} << 20;

    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace corvid
