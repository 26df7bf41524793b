// stack_room.hpp — how deep recursive C++ code may go into nested values: RecursionError at
// Python's recursion limit, and before the machine stack runs out whatever that limit is.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace tessel {

/// Lowest usable address of the calling thread's stack, or 0 when it cannot be told.
inline std::uintptr_t stack_floor() {
    thread_local std::uintptr_t floor = [] {
        std::uintptr_t low = 0;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0)
                low = reinterpret_cast<std::uintptr_t>(addr);
            pthread_attr_destroy(&attr);
        }
        return low;
    }();
    return floor;
}

/// False, with RecursionError set, when fewer than `margin` bytes of stack are left: a high
/// recursion limit must not let nested values take the process down.
inline bool enough_stack(const char* where, std::size_t margin = 256 * 1024) {
    // (the frame's address, not a local's: under AddressSanitizer locals may live off-stack)
    std::uintptr_t floor = stack_floor();
    std::uintptr_t at = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (floor == 0 || at > floor + margin) return true;
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
}

/// How deep the calling thread is in nested values, counted by enter_nesting; one count for
/// each extension module (each keeps its own copy of this inline function), which the stack
/// check above bounds all the same.
inline int& nesting_depth() {
    thread_local int depth = 0;
    return depth;
}

/// Enters one level of a nested value. False, with RecursionError set, when the stack or
/// Python's recursion limit runs out; otherwise a matching leave_nesting must follow.
///
/// The count is ours, not Py_EnterRecursiveCall's: from 3.12 that one counts C recursion
/// against a fixed limit of its own (1500 on 3.12, 10000 on 3.13) that sys.setrecursionlimit
/// does not move, so nesting would end at a depth that depends on the Python version. Here
/// the nesting depth stays bounded by the limit the user sets (Py_GetRecursionLimit), and
/// the machine stack by enough_stack, on every version.
inline bool enter_nesting(const char* where) {
    if (!enough_stack(where)) return false;
    int& depth = nesting_depth();
    if (depth >= Py_GetRecursionLimit()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    ++depth;
    return true;
}

/// Leaves a level entered with enter_nesting.
inline void leave_nesting() {
    --nesting_depth();
}

/// Guards one level of recursion into a nested value: RecursionError (raised as
/// nb::python_error) when the stack or the recursion limit runs out. `where` ends the message.
struct RecursionGuard {
    explicit RecursionGuard(const char* where) {
        if (!enter_nesting(where)) throw nanobind::python_error();
    }
    ~RecursionGuard() { leave_nesting(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

} // namespace tessel
