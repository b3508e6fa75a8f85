// Reading weights files: tensor choice, the whole failure catalogue, what is
// refused, and files that change or a caller that stops while they are read.
#include "corvid/load/weights_reader.hpp"

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <format>
#include <fstream>
#include <future>
#include <iterator>
#include <ostream>
#include <string>
#include <tuple>

#include "error_checks.hpp"
#include "safetensors_writer.hpp"
#include "temp_dir.hpp"

namespace corvid {
namespace {

using namespace std::string_literals;
using test::fails_internally;
using test::fails_with;
using test::fails_with_header_syntax;
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
    EXPECT_TRUE(fails_with_header_syntax(load(safetensors_file(R"({"w":["I8",[1,1],[0,1]]})"s + "\0\0"s, "x")),
                                         1, 25));
    // The whole header is parsed before any entry is chosen.
    EXPECT_TRUE(fails_with_header_syntax(
        load(safetensors_file(std::format(R"({{"w":{},"__metadata__":{{"a":01}}}})", f16))), 1, 77));
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

// The header alone: what loading fails on internally comes back as a value,
// with the same message, so that a caller can name a broken file quietly.
TEST_F(reader_test, reading_the_header_alone_returns_every_failure_as_a_value) {
    const auto header_of = [&](std::string contents) { return read_table_header(dir.write("model.safetensors", contents)); };
    const auto good = header_of(safetensors_file(std::format(R"({{"w":{}}})", tensor_entry("U8", {2, 3}, {2, 8})),
                                                 "..abcdef.."));
    ASSERT_TRUE(good.has_value());
    EXPECT_EQ(good->details, (TensorDetails{DataType::U8, {2, 3}, {2, 8}}));
    EXPECT_EQ(good->data_start, 8u + std::format(R"({{"w":{}}})", tensor_entry("U8", {2, 3}, {2, 8})).size());
    for (const auto& [contents, message, broken] : {
             std::tuple{""s, "mid > len"s, true},
             std::tuple{test::length_field(3) + "{}", "mid > len"s, true},
             std::tuple{safetensors_file(std::format(R"({{"w":{}}})", tensor_entry("U8", {1, 1}, {0, 11})), "0123456789"),
                        "range end index 11 out of range for slice of length 10"s, true},
             std::tuple{safetensors_file(R"({"w":["U8",[1,1,1],[0,1]]})", "0"), tensor_not_found().message(), false},
         }) {
        const auto header = header_of(contents);
        ASSERT_FALSE(header.has_value()) << message;
        EXPECT_EQ(header.error().error.message(), message);
        EXPECT_EQ(header.error().broken, broken) << message;
    }
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

enum class unprivileged_check { held, failed, no_user_to_become };

// Runs `check` as the unprivileged user `nobody` in a child process when the
// tests run as root (root reads any file), else right here. Root of a user
// namespace that maps no other user (an unprivileged toolchain root) cannot
// become anyone else: no_user_to_become.
template <class Check>
unprivileged_check run_unprivileged(Check check) {
    constexpr int cannot_drop = 77;
    if (::geteuid() != 0) return check() ? unprivileged_check::held : unprivileged_check::failed;
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) return unprivileged_check::no_user_to_become;
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped =
            ::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0;
        ::_exit(!dropped ? cannot_drop : check() ? 0 : 1);
    }
    int status = 0;
    if (child <= 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return unprivileged_check::failed;
    switch (WEXITSTATUS(status)) {
    case 0: return unprivileged_check::held;
    case cannot_drop: return unprivileged_check::no_user_to_become;
    default: return unprivileged_check::failed;
    }
}

TEST_F(reader_test, a_file_without_read_permission_is_refused) {
    using std::filesystem::perms;
    std::filesystem::permissions(dir.path(), perms::owner_all | perms::group_exec | perms::others_exec);
    const std::string contents = test::single_tensor_file("U8", {1, 1}, "x");
    const auto readable = dir.write("readable", contents);
    const auto unreadable = dir.write("model.safetensors", contents);
    std::filesystem::permissions(readable, perms::owner_read | perms::group_read | perms::others_read);
    std::filesystem::permissions(unreadable, perms::owner_write);
    const auto outcome = run_unprivileged([&] {
        // The readable twin shows that only the permission stands in the way.
        return load_tensor(readable).has_value() &&
               fails_with(load_tensor(unreadable),
                          "IO Error: permission denied. Details: Permission denied (os error 13)");
    });
    if (outcome == unprivileged_check::no_user_to_become) {
        GTEST_SKIP() << "runs as root, which reads any file, and cannot become an unprivileged user "
                        "(a user namespace mapping only root, as in the unprivileged toolchain root)";
    }
    EXPECT_EQ(outcome, unprivileged_check::held);
}

// A StopCheck that calls `hook`, which outlives it.
template <class Hook>
StopCheck stop_check(Hook& hook) {
    return {[](void* context) { return (*static_cast<Hook*>(context))(); }, &hook};
}

TEST_F(reader_test, refuses_anything_but_a_regular_file_without_reading_or_waiting) {
    const auto refused = [](std::string_view what) {
        return std::format("IO Error: unsupported. Details: the weights file is not a regular file but {}", what);
    };
    std::filesystem::create_symlink("/dev/zero", dir.path() / "zero");
    EXPECT_TRUE(fails_with(load_tensor(dir.path() / "zero"), refused("a character device")));
    std::filesystem::create_symlink("/dev/null", dir.path() / "null");
    EXPECT_TRUE(fails_with(load_tensor(dir.path() / "null"), refused("a character device")));

    const auto socket_path = dir.path() / "socket";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    socket_path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(fails_with(load_tensor(socket_path), refused("a socket")));
    ::close(listener);

    // A FIFO with no writer: opening it for reading must not wait for one.
    const auto fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto loading = std::async(std::launch::async, [&] { return load_tensor(fifo); });
    if (loading.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
        ADD_FAILURE() << "opening a FIFO waited for a writer";
        std::ofstream unblock(fifo);  // lets the reader go, so the test can end
    }
    EXPECT_TRUE(fails_with(loading.get(), refused("a FIFO")));
}

TEST_F(reader_test, reads_only_the_header_and_the_tensor_of_a_sparse_file) {
    // 5 GiB of which only the header and the last 32 bytes are written.
    constexpr std::uint64_t file_size = std::uint64_t{5} << 30;
    constexpr std::uint64_t header_size = 128;
    constexpr std::uint64_t data_length = file_size - 8 - header_size;
    std::string header = std::format(R"({{"__metadata__":{{"a":"b"}},"w":{}}})",
                                     tensor_entry("U8", {4, 8}, {data_length - 32, data_length}));
    header.resize(header_size, ' ');
    const std::string tensor(32, 't');
    const auto path = dir.write("model.safetensors", safetensors_file(header));
    std::filesystem::resize_file(path, file_size - tensor.size());
    std::ofstream(path, std::ios::binary | std::ios::app) << tensor;
    ASSERT_EQ(std::filesystem::file_size(path), file_size);
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto loaded = load_tensor(path);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
    EXPECT_EQ(bytes_of(loaded->bytes), tensor);
    // A reader that held the file would have grown by gigabytes.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB of peak memory growth";
}

TEST_F(reader_test, a_file_that_shrinks_after_its_header_was_read_is_an_io_error) {
    const std::string data(1000, 'd');
    const auto path = dir.write("model.safetensors", test::single_tensor_file("U8", {10, 100}, data));
    // Called before each read: the length field, the header, then the tensor.
    int calls = 0;
    auto cut_before_the_tensor = [&] {
        if (++calls == 3) std::filesystem::resize_file(path, std::filesystem::file_size(path) - data.size() / 2);
        return false;
    };
    EXPECT_TRUE(fails_with(load_tensor(path, stop_check(cut_before_the_tensor)),
                           "IO Error: unexpected end of file. Details: the weights file became shorter while it "
                           "was read"));
}

TEST_F(reader_test, a_file_that_grows_is_read_as_it_was_when_opened) {
    const auto path = dir.write("model.safetensors", safetensors_file(R"({"w":["U8",[1,8],[0,8]]})", "1234"));
    int calls = 0;
    auto append_while_reading = [&] {
        if (++calls == 2) std::ofstream(path, std::ios::binary | std::ios::app) << "5678";
        return false;
    };
    EXPECT_TRUE(fails_internally([&] { return load_tensor(path, stop_check(append_while_reading)); },
                                 "range end index 8 out of range for slice of length 4"));
}

TEST_F(reader_test, a_stop_request_abandons_the_load_before_any_chunk) {
    // A tensor of several chunks, sparse so that it costs no disk.
    const std::uint64_t tensor_size = std::uint64_t{20} << 20;
    const std::string header = std::format(R"({{"w":{}}})", tensor_entry("U8", {20, 1 << 20}, {0, tensor_size}));
    const auto path = dir.write("model.safetensors", safetensors_file(header));
    std::filesystem::resize_file(path, 8 + header.size() + tensor_size);

    int calls = 0;
    auto count = [&] { return ++calls, false; };
    ASSERT_TRUE(load_tensor(path, stop_check(count)).has_value());
    EXPECT_GE(calls, 4) << "the length field, the header and more than one chunk of the tensor";

    const std::size_t descriptors = open_descriptor_count();
    for (const int stop_at : {1, 2, 3, calls}) {
        int asked = 0;
        auto stop = [&] { return ++asked == stop_at; };
        EXPECT_TRUE(fails_with(load_tensor(path, stop_check(stop)),
                               "IO Error: operation interrupted. Details: operation interrupted"))
            << stop_at;
        EXPECT_EQ(asked, stop_at) << "asked again after being told to stop";
    }
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

TEST_F(reader_test, closes_the_file_on_every_path) {
    const std::size_t before = open_descriptor_count();
    (void)load(test::single_tensor_file("U8", {1, 2}, "ab"));
    (void)load(safetensors_file("[]"));
    EXPECT_TRUE(fails_internally(loader("1234"), "mid > len"));
    (void)load_tensor(dir.path());
    EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
}  // namespace corvid
