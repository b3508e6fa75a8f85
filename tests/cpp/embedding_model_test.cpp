// The embedding model: path joining, the existence test, row caching, and ids
// checked before anything the size of a row is allocated.
#include "corvid/model/embedding_model.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <vector>

#include "error_checks.hpp"
#include "safetensors_writer.hpp"
#include "temp_dir.hpp"

namespace corvid {
namespace {

TEST(weights_file_path_test, joins_with_the_platform_separator) {
    EXPECT_EQ(weights_file_path("models/tiny"), "models/tiny/model.safetensors");
    EXPECT_EQ(weights_file_path("models/tiny/"), "models/tiny/model.safetensors");
    EXPECT_EQ(weights_file_path(""), "model.safetensors");
}

TEST(model_path_error_test, renders_directory_and_message) {
    const ModelPathError error("weights", "Could not find `model.safetensors` in the specified directory");
    EXPECT_EQ(error.render(),
              "Invalid model or path to load the model: weights.\n"
              "Could not find `model.safetensors` in the specified directory");
}

// Ids are checked against the rows the tensor's bytes hold, not its shape.
TEST(rows_inside_test, counts_whole_rows_in_the_bytes_whatever_the_shape) {
    EXPECT_EQ(rows_inside(TensorDetails{DataType::F32, {10, 3}, {0, 24}}, 24), 2u);
    EXPECT_EQ(rows_inside(TensorDetails{DataType::F32, {1, 3}, {0, 35}}, 35), 2u);
    EXPECT_EQ(rows_inside(TensorDetails{DataType::F16, {4, 3}, {0, 5}}, 5), 0u);
    EXPECT_EQ(rows_inside(TensorDetails{DataType::F32, {4, 0}, {0, 0}}, 0), UINT64_MAX);
    EXPECT_EQ(rows_inside(TensorDetails{DataType::F64, {1, UINT64_MAX}, {0, 8}}, 8), 0u);
}

class embedding_model_create_test : public ::testing::Test {
protected:
    test::TempDir dir;
};

TEST_F(embedding_model_create_test, succeeds_when_the_weights_file_exists_and_reads_nothing) {
    dir.write("model.safetensors", "not even a header");
    auto model = EmbeddingModel::create(dir.path().string(), false);
    ASSERT_TRUE(model.has_value());
    EXPECT_EQ(model->model_dir(), dir.path().string());
    EXPECT_FALSE(model->normalize());
    EXPECT_FALSE(model->is_loaded());
}

TEST_F(embedding_model_create_test, accepts_a_directory_named_like_the_weights_file) {
    std::filesystem::create_directory(dir.path() / "model.safetensors");
    EXPECT_TRUE(EmbeddingModel::create(dir.path().string(), true).has_value());
}

TEST_F(embedding_model_create_test, follows_symbolic_links) {
    dir.write("real.safetensors", "");
    std::filesystem::create_symlink("real.safetensors", dir.path() / "model.safetensors");
    EXPECT_TRUE(EmbeddingModel::create(dir.path().string(), true).has_value());
}

TEST_F(embedding_model_create_test, treats_a_broken_link_as_missing) {
    std::filesystem::create_symlink("nowhere", dir.path() / "model.safetensors");
    EXPECT_FALSE(EmbeddingModel::create(dir.path().string(), true).has_value());
}

TEST_F(embedding_model_create_test, reports_a_missing_file_with_the_directory_as_given) {
    const std::string given = dir.path().string() + "/";
    auto model = EmbeddingModel::create(given, true);
    ASSERT_FALSE(model.has_value());
    EXPECT_EQ(model.error().render(),
              "Invalid model or path to load the model: " + given +
                  ".\nCould not find `model.safetensors` in the specified directory");
}

TEST_F(embedding_model_create_test, treats_a_regular_file_as_model_dir_as_missing) {
    dir.write("model.safetensors", "");
    EXPECT_FALSE(EmbeddingModel::create((dir.path() / "model.safetensors").string(), true));
}

TEST_F(embedding_model_create_test, does_not_cut_an_interior_nul_short) {
    dir.write("model.safetensors", "");
    // Cut at the NUL, this names the directory that does hold the file.
    const std::string given = dir.path().string() + std::string("\0/elsewhere", 11);
    auto model = EmbeddingModel::create(given, true);
    ASSERT_FALSE(model.has_value());
    EXPECT_EQ(model.error().directory(), given);
}

TEST(embedding_model_test, caches_one_row_per_id_however_often_it_is_embedded) {
    const test::TempDir dir;
    // U8, so rows are decoded into the cache rather than read in place.
    dir.write("model.safetensors", test::single_tensor_file("U8", {4, 2}, "\1\2\3\4\5\6\7\10"));
    auto model = EmbeddingModel::create(dir.path().string(), false);
    ASSERT_TRUE(model.has_value());
    const std::array<std::uint32_t, 5> ids = {0, 1, 2, 1, 0};
    const auto first = model->embed_tokens(ids);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(model->row_cache().size(), 3u);
    const auto again = model->embed_tokens(ids);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, *first);
    EXPECT_EQ(model->row_cache().size(), 3u);
}

struct DeclaredWidth {
    std::uint64_t width;
    std::vector<std::uint32_t> ids;
    const char* message;
};

void PrintTo(const DeclaredWidth& param, std::ostream* out) { *out << "width " << param.width; }

class embedding_model_declared_width_test : public ::testing::TestWithParam<DeclaredWidth> {
protected:
    test::TempDir dir;
};

// No data behind a row width no memory could hold: the call must fail on its
// ids before the accumulator exists (its allocation would throw bad_alloc).
TEST_P(embedding_model_declared_width_test, fails_on_the_ids_before_allocating_a_row) {
    const auto& [width, ids, message] = GetParam();
    dir.write("model.safetensors", test::single_tensor_file("F32", {1, width}, "1234"));
    auto model = EmbeddingModel::create(dir.path().string(), true);
    ASSERT_TRUE(model.has_value());
    EXPECT_TRUE(test::fails_internally([&] { return model->embed_tokens(ids); }, message));
}

INSTANTIATE_TEST_SUITE_P(
    widths, embedding_model_declared_width_test,
    ::testing::Values(
        DeclaredWidth{std::uint64_t{1} << 60, {0, 0},
                      "range end index 4611686018427387904 out of range for slice of length 4"},
        // The first id outside is reported, not the largest.
        DeclaredWidth{1, {0, 3, 5}, "range start index 12 out of range for slice of length 4"}));

}  // namespace
}  // namespace corvid
