// Fuzzes the whole weights file reader on file bytes: it returns a tensor,
// a LoadError or an internal failure, and a returned tensor holds exactly its
// byte range of the data section, read at its offset. A load told to stop at
// its last chunk fails as interrupted instead.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "corvid/load/internal_failure.hpp"
#include "corvid/load/weights_reader.hpp"
#include "memory_file.hpp"

namespace {

// Counts the chunks a load asks about; stops at chunk `stop_at` (0: never).
struct ChunkCounter {
    int asked = 0;
    int stop_at = 0;

    corvid::StopCheck check() {
        return {[](void* context) {
                    auto& counter = *static_cast<ChunkCounter*>(context);
                    return ++counter.asked == counter.stop_at;
                },
                this};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const corvid::fuzz::MemoryFile file;
    file.assign(data, size);
    try {
        ChunkCounter counter;
        auto tensor = corvid::load_tensor(file.path(), counter.check());
        if (!tensor) {
            if (tensor.error().message().empty()) std::abort();
            return 0;
        }
        ChunkCounter stopping{.asked = 0, .stop_at = counter.asked};
        const auto stopped = corvid::load_tensor(file.path(), stopping.check());
        if (counter.asked != 0 &&
            (stopped || stopped.error().message() != "IO Error: operation interrupted. Details: operation interrupted")) {
            std::abort();
        }
        std::uint64_t header_length = 0;
        for (int i = 7; i >= 0; --i) header_length = header_length << 8 | data[i];
        const auto [begin, end] = tensor->details.data_offsets;
        const std::size_t data_start = 8 + static_cast<std::size_t>(header_length);
        if (begin > end || end > size - data_start) std::abort();
        if (tensor->bytes.size() != end - begin) std::abort();
        if (end != begin && std::memcmp(tensor->bytes.data(), data + data_start + begin, end - begin) != 0) {
            std::abort();
        }
    } catch (const corvid::InternalFailure& failure) {
        // Only a short file or offsets outside the data section may end a load so.
        const std::string_view message = failure.message();
        if (message != "mid > len" && !message.starts_with("range start index ") &&
            !message.starts_with("range end index ") && !message.starts_with("slice index starts at ")) {
            std::abort();
        }
    }
    return 0;
}
