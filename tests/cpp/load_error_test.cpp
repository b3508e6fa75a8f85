// The load error catalogue: errno categories and the message families.
#include "corvid/load/load_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <format>
#include <set>
#include <string>

namespace corvid {
namespace {

TEST(io_failure_test, every_categorised_code_gets_its_phrase_and_the_system_text) {
    const std::set<std::string_view> phrases = {
        "entity not found", "permission denied", "connection refused", "connection reset", "host unreachable",
        "network unreachable", "connection aborted", "not connected", "address in use", "address not available",
        "network down", "broken pipe", "entity already exists", "operation would block", "not a directory",
        "is a directory", "directory not empty", "read-only filesystem or storage medium",
        "filesystem loop or indirection limit (e.g. symlink loop)", "stale network file handle",
        "invalid input parameter", "timed out", "no storage space", "seek on unseekable file", "quota exceeded",
        "file too large", "resource busy", "executable file busy", "deadlock", "cross-device link or rename",
        "too many links", "invalid filename", "argument list too long", "operation interrupted", "in progress",
        "unsupported", "out of memory"};
    std::set<int> codes;
    for (const auto& [code, phrase] : io_error_categories()) {
        SCOPED_TRACE(code);
        EXPECT_TRUE(codes.insert(code).second) << "listed twice";
        EXPECT_TRUE(phrases.contains(phrase)) << phrase;
        EXPECT_EQ(io_failure(code).message(),
                  std::format("IO Error: {}. Details: {} (os error {})", phrase, std::strerror(code), code));
    }
}

TEST(io_failure_test, an_unlisted_code_is_uncategorized_with_its_signed_number) {
    EXPECT_EQ(io_failure(EDOM).message(),
              "IO Error: uncategorized error. Details: Numerical argument out of domain (os error 33)");
    EXPECT_EQ(io_failure(-5).message(), "IO Error: uncategorized error. Details: Unknown error -5 (os error -5)");
}

TEST(load_error_test, the_other_families_have_their_fixed_texts) {
    EXPECT_EQ(io_failure_out_of_memory().message(), "IO Error: out of memory. Details: out of memory");
    EXPECT_EQ(io_failure_interrupted().message(), "IO Error: operation interrupted. Details: operation interrupted");
    EXPECT_EQ(io_failure_not_regular_file("a FIFO").message(),
              "IO Error: unsupported. Details: the weights file is not a regular file but a FIFO");
    EXPECT_EQ(io_failure_file_shrank().message(),
              "IO Error: unexpected end of file. Details: the weights file became shorter while it was read");
    EXPECT_EQ(header_syntax_failure("oops at line 1 column 2").message(), "SerDe Error: oops at line 1 column 2");
    EXPECT_EQ(tensor_not_found().message(), "Could not find tensor details for the current safetensors model");
    EXPECT_EQ(tensor_not_found().message().size(), 63u);
}

}  // namespace
}  // namespace corvid
