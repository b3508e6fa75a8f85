// Reading weights files: tensor choice and the whole failure catalogue.
#include "corvid/load/weights_reader.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <format>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>

#include "error_checks.hpp"
#include "safetensors_writer.hpp"
#include "temp_dir.hpp"

namespace corvid {
namespace {

using namespace std::string_literals;
using test::fails_internally;
using test::fails_with;
using test::safetensors_file;
using test::tensor_entry;

std::string bytes_of(const ByteBuffer& buffer) {
    return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
}

std::size_t open_descriptor_count() {
    const auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(fds, std::filesystem::directory_iterator()));
}

class reader_test : public ::testing::Test {
protected:
    // Writes `contents` as the weights file and loads it.
    std::expected<LoadedTensor, LoadError> load(std::string_view contents) const {
        return load_tensor(dir.write("model.safetensors", contents));
    }
    // The same, for checking internal failures.
    auto loader(std::string contents) const {
        return [this, contents] { return load(contents); };
    }

    test::TempDir dir;
};

TEST_F(reader_test, returns_the_details_and_only_the_tensors_bytes) {
    // White space may pad the header.
    const std::string header = std::format(R"({{"w":{}}})", tensor_entry("U8", {2, 3}, {2, 8})) + " \r\n\t ";
    const auto tensor = load(safetensors_file(header, "..abcdef.."));
    ASSERT_TRUE(tensor.has_value()) << tensor.error().message();
    EXPECT_EQ(tensor->details, (TensorDetails{DataType::U8, {2, 3}, {2, 8}}));
    EXPECT_EQ(bytes_of(tensor->bytes), "abcdef");
}

struct Choice {
    std::string name;
    std::string header;
    DataType chosen;
};

// Without it GoogleTest would print the cases' raw bytes, uninitialised ones included.
std::ostream& operator<<(std::ostream& out, const Choice& choice) { return out << choice.name; }

class tensor_choice_test : public reader_test, public ::testing::WithParamInterface<Choice> {};

TEST_P(tensor_choice_test, picks_the_first_usable_entry) {
    const auto tensor = load(safetensors_file(GetParam().header, "12345678"));
    ASSERT_TRUE(tensor.has_value()) << tensor.error().message();
    EXPECT_EQ(tensor->details.dtype, GetParam().chosen);
}

const std::string f16 = tensor_entry("F16", {1, 2}, {0, 4});
const std::string f64 = tensor_entry("F64", {1, 1}, {0, 8});

INSTANTIATE_TEST_SUITE_P(
    headers, tensor_choice_test,
    ::testing::Values(
        Choice{"metadata_is_skipped", std::format(R"({{"__metadata__":{{"format":"pt"}},"w":{}}})", f16),
               DataType::F16},
        Choice{"metadata_is_skipped_even_when_it_describes_a_tensor",
               std::format(R"({{"__metadata__":{},"w":{}}})", f64, f16), DataType::F16},
        Choice{"metadata_is_matched_after_escapes",
               std::format(R"({{"\u005f_metadata__":{},"w":{}}})", f64, f16), DataType::F16},
        Choice{"metadata_in_other_case_is_decoded", std::format(R"({{"__Metadata__":{},"w":{}}})", f64, f16),
               DataType::F64},
        Choice{"metadata_with_a_nul_is_decoded", std::format(R"({{"__metadata__\u0000":{},"w":{}}})", f64, f16),
               DataType::F64},
        Choice{"an_unknown_dtype_is_skipped",
               std::format(R"({{"q":{{"dtype":"Q4","shape":[1,1],"data_offsets":[0,1]}},"w":{}}})", f16),
               DataType::F16},
        Choice{"a_three_dimensional_shape_is_skipped",
               std::format(R"({{"q":{{"dtype":"F64","shape":[1,1,1],"data_offsets":[0,8]}},"w":{}}})", f16),
               DataType::F16},
        Choice{"later_entries_are_not_examined", std::format(R"({{"w":{},"v":{},"bad":5}})", f16, f64),
               DataType::F16},
        Choice{"a_repeated_name_keeps_its_place_with_its_last_value",
               std::format(R"({{"a":5,"b":{},"a":{}}})", f16, f64), DataType::F64}),
    [](const auto& instance) { return instance.param.name; });

TEST_F(reader_test, reports_tensor_not_found_when_nothing_decodes) {
    for (const std::string header :
         {"{}", R"({"__metadata__":{"a":"b"}})", R"({"w":{"dtype":"F32","shape":[4],"data_offsets":[0,4]}})",
          R"({"w":{"dtype":"F32","shape":[1,1,4],"data_offsets":[0,4]},"v":[]})"}) {
        EXPECT_TRUE(fails_with(load(safetensors_file(header, "1234")),
                               "Could not find tensor details for the current safetensors model"))
            << header;
    }
}

TEST_F(reader_test, reports_header_syntax_failures_with_their_position_in_the_header) {
    EXPECT_TRUE(fails_with(load(test::length_field(0)), "SerDe Error: input data is empty at line 1 column 0"));
    EXPECT_TRUE(fails_with(load(safetensors_file("[]")),
                           "SerDe Error: the header is valid JSON but not an object at line 1 column 1"));
    EXPECT_TRUE(fails_with(load(safetensors_file(R"({"w":["I8",[1,1],[0,1]]})"s + "\0\0"s, "x")),
                           "SerDe Error: unexpected content after document at line 1 column 25"));
    // The whole header is parsed before any entry is chosen.
    EXPECT_TRUE(fails_with(load(safetensors_file(std::format(R"({{"w":{},"__metadata__":{{"a":01}}}})", f16))),
                           "SerDe Error: number with leading zero is not allowed at line 1 column 77"));
}

TEST_F(reader_test, a_file_too_short_for_its_header_length_is_an_internal_failure) {
    EXPECT_TRUE(fails_internally(loader(""), "mid > len"));
    EXPECT_TRUE(fails_internally(loader("1234567"), "mid > len"));
    EXPECT_TRUE(fails_internally(loader(test::length_field(3) + "{}"), "mid > len"));
    EXPECT_TRUE(fails_internally(loader(test::length_field(UINT64_MAX) + "{}"), "mid > len"));
}

TEST_F(reader_test, a_header_that_fills_the_rest_leaves_an_empty_data_section) {
    const auto tensor = load(safetensors_file(R"({"w":["F32",[0,0],[0,0]]})"));
    ASSERT_TRUE(tensor.has_value()) << tensor.error().message();
    EXPECT_EQ(tensor->bytes.size(), 0u);
    EXPECT_TRUE(fails_internally(loader(safetensors_file(R"({"w":["U8",[1,1],[0,1]]})")),
                                 "range end index 1 out of range for slice of length 0"));
}

TEST_F(reader_test, offsets_outside_the_data_section_are_internal_failures_in_order) {
    const auto with_offsets = [&](std::uint64_t begin, std::uint64_t end) {
        return loader(safetensors_file(std::format(R"({{"w":{}}})", tensor_entry("U8", {1, 1}, {begin, end})),
                                       "0123456789"));
    };
    EXPECT_TRUE(fails_internally(with_offsets(11, 12), "range start index 11 out of range for slice of length 10"));
    EXPECT_TRUE(fails_internally(with_offsets(11, 3), "range start index 11 out of range for slice of length 10"));
    EXPECT_TRUE(fails_internally(with_offsets(0, 11), "range end index 11 out of range for slice of length 10"));
    EXPECT_TRUE(fails_internally(with_offsets(5, 3), "slice index starts at 5 but ends at 3"));
    EXPECT_TRUE(fails_internally(with_offsets(0, UINT64_MAX),
                                 "range end index 18446744073709551615 out of range for slice of length 10"));
    const auto tensor = with_offsets(10, 10)();
    ASSERT_TRUE(tensor.has_value());
    EXPECT_EQ(tensor->bytes.size(), 0u);
}

TEST_F(reader_test, words_open_and_read_failures_from_the_system) {
    EXPECT_TRUE(fails_with(load_tensor(dir.path() / "missing"),
                           "IO Error: entity not found. Details: No such file or directory (os error 2)"));
    EXPECT_TRUE(fails_with(load_tensor(dir.path()), "IO Error: is a directory. Details: Is a directory (os error 21)"));
    const auto file = dir.write("file", "");
    EXPECT_TRUE(fails_with(load_tensor(file / "model.safetensors"),
                           "IO Error: not a directory. Details: Not a directory (os error 20)"));
    std::filesystem::create_symlink("loop", dir.path() / "loop");
    EXPECT_TRUE(fails_with(load_tensor(dir.path() / "loop"),
                           "IO Error: filesystem loop or indirection limit (e.g. symlink loop). "
                           "Details: Too many levels of symbolic links (os error 40)"));
    // Cut at the NUL, this path would name `file`.
    EXPECT_TRUE(fails_with(load_tensor(file.string() + "\0/x"s),
                           "IO Error: invalid input parameter. Details: Invalid argument (os error 22)"));
}

TEST_F(reader_test, a_file_without_read_permission_is_refused) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    const auto file = dir.write("model.safetensors", safetensors_file("{}"));
    std::filesystem::permissions(file, std::filesystem::perms::none);
    EXPECT_TRUE(fails_with(load_tensor(file), "IO Error: permission denied. Details: Permission denied (os error 13)"));
}

TEST_F(reader_test, reads_files_without_a_length_until_their_end) {
    std::filesystem::create_symlink("/dev/null", dir.path() / "null");
    EXPECT_TRUE(fails_internally([&] { return load_tensor(dir.path() / "null"); }, "mid > len"));

    // Through a pipe, in pieces, more than any first guess of its size.
    const std::string data(300'000, 'd');
    const std::string contents = test::single_tensor_file("U8", {600, 500}, data);
    const auto pipe = dir.path() / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    std::jthread writer([&] { std::ofstream(pipe, std::ios::binary) << contents; });
    const auto tensor = load_tensor(pipe);
    ASSERT_TRUE(tensor.has_value()) << tensor.error().message();
    EXPECT_EQ(bytes_of(tensor->bytes), data);
}

TEST_F(reader_test, closes_the_file_on_every_path) {
    const std::size_t before = open_descriptor_count();
    (void)load(test::single_tensor_file("U8", {1, 2}, "ab"));
    (void)load(safetensors_file("[]"));
    EXPECT_TRUE(fails_internally(loader("1234"), "mid > len"));
    EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
}  // namespace corvid
