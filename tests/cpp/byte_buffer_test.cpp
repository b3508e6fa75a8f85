// The owned byte buffer: allocation and moves that leave the source empty.
#include "corvid/load/byte_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace corvid {
namespace {

// Small (malloc) and page-aligned (large) allocations alike.
class byte_buffer_test : public ::testing::TestWithParam<std::size_t> {};

TEST_P(byte_buffer_test, moves_leave_the_source_empty_and_keep_the_bytes) {
    const std::size_t size = GetParam();
    ByteBuffer source = ByteBuffer::allocate(size);
    std::memset(source.data(), 0x5A, size);
    const std::byte* bytes = source.data();

    ByteBuffer constructed(std::move(source));
    EXPECT_EQ(source.data(), nullptr);
    EXPECT_EQ(source.size(), 0u);
    EXPECT_EQ(constructed.data(), bytes);
    EXPECT_EQ(constructed.size(), size);

    ByteBuffer assigned = ByteBuffer::allocate(16);
    assigned = std::move(constructed);
    EXPECT_EQ(constructed.data(), nullptr);
    EXPECT_EQ(constructed.size(), 0u);
    ASSERT_EQ(assigned.data(), bytes);
    EXPECT_EQ(assigned.size(), size);
    assigned.prefault(size / 3, size - size / 3);
    EXPECT_EQ(std::to_integer<int>(assigned.data()[size - 1]), 0x5A);
}

INSTANTIATE_TEST_SUITE_P(sizes, byte_buffer_test, ::testing::Values(std::size_t{1}, std::size_t{3} << 20));

}  // namespace
}  // namespace corvid
