// The owned byte buffer: keeping a range of it, in place or moved.
#include "corvid/load/byte_buffer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace corvid {
namespace {

std::string contents(const ByteBuffer& buffer) {
    return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
}

ByteBuffer counting_bytes(std::size_t size) {
    ByteBuffer buffer = ByteBuffer::allocate(size);
    for (std::size_t i = 0; i < size; ++i) buffer.data()[i] = static_cast<std::byte>(i * 7 % 251);
    return buffer;
}

// (buffer size, begin, kept size): near the front and aligned (kept in place),
// misaligned, far from the front, and both beyond the prefault size.
class keep_range_test : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(keep_range_test, keeps_exactly_the_range_and_can_shrink_it_again) {
    const auto [total, begin, size] = GetParam();
    ByteBuffer buffer = counting_bytes(total);
    const std::string expected = contents(buffer).substr(begin, size);
    buffer.keep_range(begin, size);
    EXPECT_EQ(contents(buffer), expected);
    buffer.shrink(size / 2);
    EXPECT_EQ(contents(buffer), expected.substr(0, size / 2));
}

INSTANTIATE_TEST_SUITE_P(ranges, keep_range_test,
                         ::testing::Values(std::tuple{100, 0, 100}, std::tuple{100, 16, 80},
                                           std::tuple{100, 3, 50}, std::tuple{10000, 9000, 1000},
                                           std::tuple{100, 100, 0}, std::tuple{3 << 20, 104, 3 << 19},
                                           std::tuple{3 << 20, 2 << 20, 1 << 20}));

}  // namespace
}  // namespace corvid
