// A file that lives in memory and has a path, for feeding fuzz inputs to code
// that reads files by name.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace corvid::fuzz {

class MemoryFile {
public:
    MemoryFile() : descriptor_(::memfd_create("corvid-fuzz", MFD_CLOEXEC)) {
        if (descriptor_ < 0) std::abort();
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { ::close(descriptor_); }

    // Opening this path opens the file afresh, as any reader would.
    std::filesystem::path path() const { return "/proc/self/fd/" + std::to_string(descriptor_); }

    // Makes the file's contents exactly `bytes`.
    void assign(const void* bytes, std::size_t size) const {
        if (::ftruncate(descriptor_, 0) != 0) std::abort();
        const auto* next = static_cast<const std::uint8_t*>(bytes);
        for (std::size_t done = 0; done < size;) {
            const ssize_t count = ::pwrite(descriptor_, next + done, size - done, static_cast<off_t>(done));
            if (count <= 0) std::abort();
            done += static_cast<std::size_t>(count);
        }
    }

private:
    int descriptor_;
};

}  // namespace corvid::fuzz
