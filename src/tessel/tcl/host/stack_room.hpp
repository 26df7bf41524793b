// stack_room.hpp — how much machine stack the calling thread has left, so that recursive
// C++ code stops with RecursionError before the stack runs out, whatever the recursion limit.
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

/// Guards one level of recursion into a nested value: RecursionError (raised as
/// nb::python_error) when the stack or the recursion limit runs out. `where` ends the message.
struct RecursionGuard {
    explicit RecursionGuard(const char* where) {
        if (!enough_stack(where) || Py_EnterRecursiveCall(where)) throw nanobind::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

} // namespace tessel
