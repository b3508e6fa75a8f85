// Reporting of internal failures.
#include "corvid/load/internal_failure.hpp"

#include <cstdio>

namespace corvid {

void fail_internal(std::string message, std::source_location where) {
    std::fprintf(stderr, "corvid: internal failure at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    throw InternalFailure(std::move(message));
}

}  // namespace corvid
