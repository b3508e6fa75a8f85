// How a caller asks a long load to stop: polled between chunks of reading.
#pragma once

namespace corvid {

// Asked between chunks of a long read; true abandons the load, which then
// fails with the "operation interrupted" IoFailure and stores nothing. The
// default asks nothing. A plain function and context, so that the core needs
// no knowledge of what the caller checks (the extension checks for signals).
struct StopCheck {
    bool (*requested)(void* context) = nullptr;
    void* context = nullptr;

    bool operator()() const { return requested != nullptr && requested(context); }
};

}  // namespace corvid
