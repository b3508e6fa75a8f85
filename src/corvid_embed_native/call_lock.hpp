// One call at a time on a native object, across threads that release the
// interpreter lock while they work.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace corvid_embed {

// The state a native object keeps for its calls.
struct CallGate {
    std::mutex mutex;
    std::atomic<unsigned long> owner{0};  // the thread in a call, or 0
};

// Holds a gate for one call. It waits for the gate with the interpreter lock
// released, so that a thread in a call that needs the interpreter lock back
// cannot deadlock with one waiting here. The same thread entering again (from
// a Python callback) is refused, since it would wait for itself.
class CallLock {
public:
    // Enters the gate; false, with RuntimeError set, when this thread is
    // already inside.
    [[nodiscard]] bool enter(CallGate& gate) {
        const unsigned long me = PyThread_get_thread_ident();
        if (gate.owner.load() == me) {
            PyErr_SetString(PyExc_RuntimeError, "a table call cannot be made from within another on the same thread");
            return false;
        }
        if (!gate.mutex.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            gate.mutex.lock();
            Py_END_ALLOW_THREADS
        }
        gate.owner.store(me);
        gate_ = &gate;
        return true;
    }

    CallLock() = default;
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;
    ~CallLock() {
        if (gate_ == nullptr) return;
        gate_->owner.store(0);
        gate_->mutex.unlock();
    }

private:
    CallGate* gate_ = nullptr;
};

// Releases the interpreter lock for its scope, taking it back however the
// scope is left, an exception included.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace corvid_embed
