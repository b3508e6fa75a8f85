// Google Benchmark timings of the core's kernels, without Python: row decoding
// per element type, row addition, and warm embeddings.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "corvid/load/data_type.hpp"
#include "corvid/model/element_decoding.hpp"
#include "corvid/model/embedding_model.hpp"
#include "corvid/model/pooling.hpp"
#include "safetensors_writer.hpp"
#include "temp_dir.hpp"

namespace corvid {
namespace {

constexpr std::size_t table_rows = 32768;

// Random elements of `dtype`; floating-point ones get an exponent near 1, so
// that no time goes to subnormal arithmetic.
std::vector<std::byte> stored_bytes(DataType dtype, std::size_t count, std::uint32_t seed) {
    const std::size_t width = element_width(dtype);
    std::mt19937 random(seed);
    std::vector<std::byte> bytes(count * width);
    for (std::byte& byte : bytes) byte = static_cast<std::byte>(random() & 0xFF);
    const bool floating = dtype == DataType::F64 || dtype == DataType::F32 || dtype == DataType::F16 ||
                          dtype == DataType::BF16;
    if (floating) {
        const std::byte exponent{dtype == DataType::F16 ? std::uint8_t{0x3C} : std::uint8_t{0x3F}};
        for (std::size_t top = width - 1; top < bytes.size(); top += width) bytes[top] = exponent;
    }
    return bytes;
}

void decode_row_benchmark(benchmark::State& state) {
    const auto dtype = static_cast<DataType>(state.range(0));
    const auto width = static_cast<std::size_t>(state.range(1));
    const std::vector<std::byte> row = stored_bytes(dtype, width, 1);
    std::vector<float> out(width);
    for (auto _ : state) {
        decode_row(dtype, row.data(), width, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(std::string(data_type_name(dtype)));
    state.SetItemsProcessed(state.iterations() * state.range(1));
}

void add_row_benchmark(benchmark::State& state) {
    const auto width = static_cast<std::size_t>(state.range(0));
    std::vector<float> sum(width, 0.0f), row(width, 0.25f);
    for (auto _ : state) {
        add_row(sum, row.data());
        benchmark::DoNotOptimize(sum.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A model on a table_rows x width file of `dtype`, loaded by a first call.
class WarmModel {
public:
    WarmModel(DataType dtype, std::size_t width) {
        const std::vector<std::byte> data = stored_bytes(dtype, table_rows * width, 2);
        dir_.write("model.safetensors",
                   test::single_tensor_file(data_type_name(dtype), {table_rows, width},
                                            {reinterpret_cast<const char*>(data.data()), data.size()}));
        model_.emplace(EmbeddingModel::create(dir_.path().string(), true).value());
    }

    EmbeddingModel& model() { return *model_; }

private:
    test::TempDir dir_;
    std::optional<EmbeddingModel> model_;
};

// Warm calls: the same pseudo-random ids every time, so every row is decoded
// (or read in place) before the timing starts.
void embed_tokens_benchmark(benchmark::State& state) {
    const auto dtype = static_cast<DataType>(state.range(0));
    WarmModel warm(dtype, static_cast<std::size_t>(state.range(1)));
    std::mt19937 random(3);
    std::vector<std::uint32_t> ids(static_cast<std::size_t>(state.range(2)));
    for (std::uint32_t& id : ids) id = static_cast<std::uint32_t>(random() % table_rows);
    if (!warm.model().embed_tokens(ids)) state.SkipWithError("the model did not load");
    for (auto _ : state) {
        auto result = warm.model().embed_tokens(ids);
        benchmark::DoNotOptimize(result);
    }
    state.SetLabel(std::string(data_type_name(dtype)));
    state.SetItemsProcessed(state.iterations() * state.range(2));
}

constexpr auto f32 = static_cast<std::int64_t>(DataType::F32);
constexpr auto f16 = static_cast<std::int64_t>(DataType::F16);
constexpr auto bf16 = static_cast<std::int64_t>(DataType::BF16);

BENCHMARK(decode_row_benchmark)
    ->Name("decode_row")
    ->ArgNames({"dtype", "width"})
    ->ArgsProduct({benchmark::CreateDenseRange(0, data_type_count - 1, 1), {256}});
BENCHMARK(add_row_benchmark)->Name("add_row")->ArgName("width")->Arg(256)->Arg(1024);
BENCHMARK(embed_tokens_benchmark)
    ->Name("embed_tokens_warm")
    ->ArgNames({"dtype", "width", "ids"})
    ->ArgsProduct({{f32, f16, bf16}, {256}, {16, 1024}})
    ->Args({f32, 1024, 16})
    ->Args({f32, 1024, 1024});

}  // namespace
}  // namespace corvid

BENCHMARK_MAIN();
