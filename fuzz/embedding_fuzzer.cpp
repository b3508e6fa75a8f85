// Fuzzes element decoding and the embedding over a random small table of a
// random element type with random ids, against a plain reference computed
// here: every result must match it bit for bit (any NaN matches any NaN), and
// every id past the table must fail with the exact range message.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <format>
#include <string>
#include <unistd.h>
#include <vector>

#include "corvid/load/data_type.hpp"
#include "corvid/load/internal_failure.hpp"
#include "corvid/model/element_decoding.hpp"
#include "corvid/model/embedding_model.hpp"
#include "memory_file.hpp"

namespace {

using corvid::DataType;

template <class T>
T load(const std::uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);  // the fuzz host is little-endian
    return value;
}

// binary16 by its definition: (-1)^s * 2^(e-15) * (1 + m/1024), subnormals
// 2^-14 * m/1024, NaNs quiet with their payload.
float reference_half(std::uint16_t h) {
    const bool negative = (h & 0x8000u) != 0;
    const int exponent = (h >> 10) & 0x1F;
    const int mantissa = h & 0x3FF;
    float magnitude;
    if (exponent == 0x1F) {
        if (mantissa != 0) {
            return std::bit_cast<float>((negative ? 0x80000000u : 0u) | 0x7FC00000u |
                                        static_cast<std::uint32_t>(mantissa) << 13);
        }
        magnitude = INFINITY;
    } else if (exponent == 0) {
        magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    } else {
        magnitude = std::ldexp(static_cast<float>(1024 + mantissa), exponent - 25);
    }
    return negative ? -magnitude : magnitude;
}

float reference_element(DataType dtype, const std::uint8_t* element) {
    switch (dtype) {
        case DataType::F64: return static_cast<float>(load<double>(element));
        case DataType::F32: return load<float>(element);
        case DataType::F16: return reference_half(load<std::uint16_t>(element));
        case DataType::BF16: {
            std::uint32_t bits = load<std::uint16_t>(element);
            if ((bits & 0x7FFFu) > 0x7F80u) bits |= 0x40u;
            return std::bit_cast<float>(bits << 16);
        }
        case DataType::I64: return static_cast<float>(load<std::int64_t>(element));
        case DataType::I32: return static_cast<float>(load<std::int32_t>(element));
        case DataType::I16: return load<std::int16_t>(element);
        case DataType::I8: return load<std::int8_t>(element);
        case DataType::U8:
        case DataType::BOOL: return *element;
    }
    std::abort();
}

bool same(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

struct Table {
    DataType dtype;
    std::uint64_t columns;
    std::vector<std::uint8_t> bytes;
};

// The mean of the ids' rows, in order, then scaled to unit length; or the
// range message of the first id whose row does not fit.
struct Expected {
    std::vector<float> values;
    std::string failure;
};

Expected reference_embedding(const Table& table, const std::vector<std::uint32_t>& ids, bool normalize) {
    const std::uint64_t width = corvid::element_width(table.dtype);
    const std::uint64_t row_bytes = width * table.columns;
    Expected expected{std::vector<float>(table.columns, 0.0f), {}};
    for (const std::uint32_t id : ids) {
        const std::uint64_t start = id * row_bytes;  // small tables: no overflow
        const std::uint64_t end = start + row_bytes;
        const std::size_t length = table.bytes.size();
        if (start > length) {
            expected.failure = std::format("range start index {} out of range for slice of length {}", start, length);
            return expected;
        }
        if (end > length) {
            expected.failure = std::format("range end index {} out of range for slice of length {}", end, length);
            return expected;
        }
        for (std::uint64_t i = 0; i < table.columns; ++i) {
            expected.values[i] = expected.values[i] + reference_element(table.dtype, &table.bytes[start + i * width]);
        }
    }
    const auto count = static_cast<float>(ids.size());
    for (float& value : expected.values) value = value / count;
    if (normalize && !expected.values.empty()) {
        float squares = 0.0f;
        for (const float value : expected.values) squares = squares + value * value;
        const float norm = std::sqrt(squares);
        const float divisor = norm > 1e-12f ? norm : 1e-12f;
        for (float& value : expected.values) value = value / divisor;
    }
    return expected;
}

// A model directory whose weights file is the memory file.
struct ModelDirectory {
    corvid::fuzz::MemoryFile file;
    std::filesystem::path directory;

    ModelDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvid-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        directory = pattern;
        std::filesystem::create_symlink(file.path(), directory / "model.safetensors");
    }
    ~ModelDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
};

void write_weights(const ModelDirectory& model, const Table& table, std::uint64_t rows) {
    const std::string header = std::format(R"({{"t":{{"dtype":"{}","shape":[{},{}],"data_offsets":[0,{}]}}}})",
                                           corvid::data_type_name(table.dtype), rows, table.columns,
                                           table.bytes.size());
    std::string contents(8, '\0');
    for (std::size_t i = 0; i < 8; ++i) contents[i] = static_cast<char>(header.size() >> (8 * i) & 0xFF);
    contents += header;
    contents.append(reinterpret_cast<const char*>(table.bytes.data()), table.bytes.size());
    model.file.assign(contents.data(), contents.size());
}

std::vector<std::uint32_t> consume_ids(FuzzedDataProvider& input, std::uint64_t rows) {
    std::vector<std::uint32_t> ids(input.ConsumeIntegralInRange<std::size_t>(0, 24));
    for (auto& id : ids) {
        // Mostly rows of the table and just past it, now and then anything.
        id = input.ConsumeIntegralInRange<std::uint8_t>(0, 15) == 0
                 ? input.ConsumeIntegral<std::uint32_t>()
                 : input.ConsumeIntegralInRange<std::uint32_t>(0, static_cast<std::uint32_t>(rows) + 1);
    }
    return ids;
}

void check_call(corvid::EmbeddingModel& model, const Table& table, const std::vector<std::uint32_t>& ids,
                bool normalize) {
    const Expected expected = reference_embedding(table, ids, normalize);
    try {
        const auto result = model.embed_tokens(ids);
        if (!result || !expected.failure.empty() || result->size() != expected.values.size()) std::abort();
        for (std::size_t i = 0; i < result->size(); ++i) {
            if (!same((*result)[i], expected.values[i])) std::abort();
        }
    } catch (const corvid::InternalFailure& failure) {
        if (failure.message() != expected.failure) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ModelDirectory model_directory;
    FuzzedDataProvider input(data, size);
    Table table;
    table.dtype = static_cast<DataType>(input.ConsumeIntegralInRange<std::size_t>(0, corvid::data_type_count - 1));
    const auto rows = input.ConsumeIntegralInRange<std::uint64_t>(0, 12);
    table.columns = input.ConsumeIntegralInRange<std::uint64_t>(0, 19);
    const bool normalize = input.ConsumeBool();
    const std::size_t width = corvid::element_width(table.dtype);
    // Sometimes a table cut short inside its last row.
    const std::size_t cut = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::size_t>(0, width * table.columns) : 0;
    const std::size_t length = rows * table.columns * width - std::min(cut, rows * table.columns * width);
    std::vector<std::vector<std::uint32_t>> calls;
    for (int i = 0; i < 3; ++i) calls.push_back(consume_ids(input, rows));
    table.bytes = input.ConsumeBytes<std::uint8_t>(length);
    table.bytes.resize(length, 0x3C);

    // Element decoding alone, element by element and by whole rows.
    std::vector<float> decoded(table.columns);
    for (std::size_t start = 0; start + width * table.columns <= length && table.columns != 0;
         start += width * table.columns) {
        corvid::decode_row(table.dtype, reinterpret_cast<const std::byte*>(&table.bytes[start]), table.columns,
                           decoded.data());
        for (std::size_t i = 0; i < table.columns; ++i) {
            const std::uint8_t* element = &table.bytes[start + i * width];
            const float expected = reference_element(table.dtype, element);
            if (!same(decoded[i], expected) ||
                !same(corvid::decode_element(table.dtype, reinterpret_cast<const std::byte*>(element)), expected)) {
                std::abort();
            }
        }
    }

    // The same ids again come from the row cache and must give the same bits.
    write_weights(model_directory, table, rows);
    auto model = corvid::EmbeddingModel::create(model_directory.directory.string(), normalize);
    if (!model) std::abort();
    for (const auto& ids : calls) {
        check_call(*model, table, ids, normalize);
        check_call(*model, table, ids, normalize);
    }
    return 0;
}
