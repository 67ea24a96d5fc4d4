// A guard around code that can call back into native code with no Python
// frame in between: the library's functions (names rebound so that two
// factories call each other, an event whose `__contains__` is `_get`) and the
// engine (a rule that is another policy's evaluator, a decision holding a
// decision). RecursionError once such calls nest deeper than
// sys.getrecursionlimit(), as that many nested Python calls would, and never
// deeper than CPython's own limit for C calls. A level of ours takes more C
// stack than one of CPython's, so the C limit alone would come too late.
#pragma once

#include "ref.hpp"

namespace qba {

// The depth per thread, since each thread has a stack of its own. Each
// extension module that includes this keeps a count of its own (their
// symbols are hidden), and each stops at the limit.
inline thread_local int nested_calls = 0;

// The address of this thread's counter. Not inlined, so that a level looks
// it up once: inlined, the lookup is made again after each call in between.
Py_NO_INLINE inline int* nested_calls_here() noexcept { return &nested_calls; }

Py_NO_INLINE inline void raise_nested_too_deep(const char* where) noexcept {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

// One level of such calls, for the life of the object: false when it could
// not be entered, with RecursionError set; `where` ends the message, as in
// Py_EnterRecursiveCall. Every evaluation of a policy pays for this, so the
// thread's counter is looked up once for both ends, and the outermost level
// of a thread checks nothing: it cannot be too deep (the limit is at least
// 1), and whatever recurses below it either passes through a nested level,
// which checks both limits, or is guarded by CPython itself.
class NestedCall {
public:
    explicit NestedCall(const char* where = " while calling a Python object") noexcept
        : depth_(nested_calls_here()) {
        int depth = (*depth_)++;
        if (depth == 0) [[likely]] {
            return;
        }
        if (depth >= Py_GetRecursionLimit()) [[unlikely]] {
            raise_nested_too_deep(where);
            give_back();
        } else if (Py_EnterRecursiveCall(where)) {
            give_back();
        }
    }
    NestedCall(const NestedCall&) = delete;
    NestedCall& operator=(const NestedCall&) = delete;
    ~NestedCall() {
        if (depth_ && --*depth_ != 0) {
            Py_LeaveRecursiveCall();
        }
    }
    explicit operator bool() const noexcept { return depth_ != nullptr; }

private:
    void give_back() noexcept {
        --*depth_;
        depth_ = nullptr;
    }

    int* depth_;
};

}  // namespace qba
