// The borrow flag of a StaticEmbedding and the guard that holds it for one call.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvid_py {

// Exclusive use of one object by one embed_tokens call. `state` is 0 when
// idle and all ones while a call holds the object. `holder` numbers the
// thread that holds it (0 when idle, and for a moment around taking and
// releasing), so that a process forked while another thread held the object
// can tell that no thread of its own does. Zero-filled memory is an idle flag.
struct BorrowFlag {
    std::atomic<std::uintptr_t> state{0};
    std::atomic<std::uint64_t> holder{0};
};

// Holds the flag from construction to destruction if it was idle. Python code
// run while the ids are read (a sequence's __iter__, an item's __index__) may
// call back into the same object, from this thread or another: that call must
// fail, not share the model. A flag held by a thread that did not survive a
// fork() into this process counts as idle.
class BorrowGuard {
public:
    static constexpr std::uintptr_t idle = 0;
    static constexpr std::uintptr_t in_use = ~std::uintptr_t{0};

    explicit BorrowGuard(BorrowFlag& flag) noexcept;
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard();

    bool taken() const noexcept { return taken_; }

private:
    BorrowFlag& flag_;
    bool taken_;
};

// Registers, once per process, the fork handler that lets a child tell which
// holders it lost. Called by every module exec, before any object exists.
void watch_forks() noexcept;

}  // namespace corvid_py
