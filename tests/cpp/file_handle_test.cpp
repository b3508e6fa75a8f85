// Reading a byte range through a stand-in for pread: interrupted and short
// reads are retried, failures and an early end are worded.
#include "corvid/load/file_handle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "error_checks.hpp"
#include "temp_dir.hpp"

namespace corvid {
namespace {

using test::fails_with;

int calls = 0;

// Every other call is interrupted by a signal (as under a handler installed
// without SA_RESTART); the others read at most 3 bytes.
ssize_t interrupted_and_short(int descriptor, void* into, std::size_t size, off_t offset) {
    if (++calls % 2 == 1) {
        errno = EINTR;
        return -1;
    }
    return ::pread(descriptor, into, std::min<std::size_t>(size, 3), offset);
}

ssize_t failing(int, void*, std::size_t, off_t) {
    errno = EIO;
    return -1;
}

ssize_t at_end(int, void*, std::size_t, off_t) { return 0; }

class file_handle_test : public ::testing::Test {
protected:
    // Opens the 16-byte file with `read_at` standing in for pread.
    FileHandle open(FileHandle::ReadAt read_at) const {
        auto file = FileHandle::open_regular_file(dir.write("file", "0123456789abcdef"), read_at);
        if (!file) throw std::runtime_error(file.error().message());
        return std::move(*file);
    }

    test::TempDir dir;
};

TEST_F(file_handle_test, retries_interrupted_and_short_reads_until_the_range_is_read) {
    FileHandle file = open(interrupted_and_short);
    EXPECT_EQ(file.size(), 16u);
    ByteBuffer bytes = ByteBuffer::allocate(10);
    calls = 0;
    const auto read = file.read_exactly_at(bytes, 4, {});
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), "456789abcd");
    EXPECT_EQ(calls, 8);
}

TEST_F(file_handle_test, words_a_failed_read_and_an_early_end) {
    ByteBuffer bytes = ByteBuffer::allocate(4);
    EXPECT_TRUE(fails_with(open(failing).read_exactly_at(bytes, 0, {}),
                           "IO Error: uncategorized error. Details: Input/output error (os error 5)"));
    EXPECT_TRUE(fails_with(open(at_end).read_exactly_at(bytes, 0, {}),
                           "IO Error: unexpected end of file. Details: the weights file became shorter while it "
                           "was read"));
}

}  // namespace
}  // namespace corvid
