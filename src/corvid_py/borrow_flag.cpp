// The borrow flag of a StaticEmbedding and the guard that holds it for one call.
#include "corvid_py/borrow_flag.hpp"

#include <pthread.h>

namespace corvid_py {

namespace {

// Threads are numbered from 1 in the order they first take a flag. A forked
// child keeps counting from the parent's count, so a number it hands out is
// never that of a thread of its parent. The number is kept under a
// thread-specific key, not in a thread_local: in a shared library that would
// need the dynamic loader's __tls_get_addr, a library the module otherwise
// does without. Without a key every thread is number 0, which no fork check
// treats as lost: a child then inherits its parent's borrows, as it would
// without the fork handler.
std::atomic<std::uint64_t> last_thread_number{0};
pthread_key_t thread_number_key;
std::atomic<bool> thread_number_key_made{false};  // set once, before any object exists

std::uint64_t current_thread_number() noexcept {
    if (!thread_number_key_made) return 0;
    auto number = reinterpret_cast<std::uintptr_t>(pthread_getspecific(thread_number_key));
    if (number == 0) {
        number = static_cast<std::uintptr_t>(last_thread_number.fetch_add(1) + 1);
        if (pthread_setspecific(thread_number_key, reinterpret_cast<void*>(number)) != 0) return 0;
    }
    return number;
}

// After fork() only the forking thread runs on in the child. Of the threads
// numbered up to `last_number_before_fork`, it alone is alive; every later
// number belongs to a thread of this process, which released its flags
// before it ended. Both stay 0 in a process that was not forked.
std::atomic<std::uint64_t> fork_survivor{0};
std::atomic<std::uint64_t> last_number_before_fork{0};

void after_fork_in_child() noexcept {
    fork_survivor.store(current_thread_number());
    last_number_before_fork.store(last_thread_number.load());
}

bool holder_lost_at_fork(std::uint64_t holder) noexcept {
    return holder != 0 && holder <= last_number_before_fork.load() &&
           holder != fork_survivor.load();
}

// Takes the flag if it is idle, or takes it over from a holder lost at fork
// (the exchange on `holder` lets one thread of the child win that).
bool take(BorrowFlag& flag) noexcept {
    const std::uint64_t self = current_thread_number();
    std::uintptr_t expected = BorrowGuard::idle;
    if (flag.state.compare_exchange_strong(expected, BorrowGuard::in_use)) {
        flag.holder.store(self);
        return true;
    }
    std::uint64_t holder = flag.holder.load();
    return holder_lost_at_fork(holder) && flag.holder.compare_exchange_strong(holder, self);
}

}  // namespace

BorrowGuard::BorrowGuard(BorrowFlag& flag) noexcept : flag_(flag), taken_(take(flag)) {}

BorrowGuard::~BorrowGuard() {
    if (!taken_) return;
    flag_.holder.store(0);
    flag_.state.store(idle);
}

void watch_forks() noexcept {
    // Both fail only when the process is short of keys or memory; then a
    // child inherits its parent's borrows as before, and nothing else changes.
    [[maybe_unused]] static const bool watching = [] {
        thread_number_key_made = pthread_key_create(&thread_number_key, nullptr) == 0;
        return thread_number_key_made && pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    }();
}

}  // namespace corvid_py
