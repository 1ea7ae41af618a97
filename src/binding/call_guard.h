// CallGuard: every entry from the interpreter runs its body through one of these wrappers, which
// keep AttachDepth, raise a returned PyErr, turn internal failures into PanicException, and
// never let anything unwind into the interpreter.
#pragma once

#include <type_traits>

#include "binding/attachment.h"
#include "binding/py_err.h"

namespace mervik {

namespace detail {

/// Raises the exception currently being handled (called from a catch block): an internal
/// failure as PanicException, bad_alloc as MemoryError, anything else as a message-less panic.
void restore_caught_failure();

/// Writes "uncaught panic at ffi boundary" to standard error and aborts.
[[noreturn]] void abort_at_boundary() noexcept;

/// Checks the interpreter's contract on the way out: a failure value if and only if an
/// exception is set.
void check_result_contract(bool failed) noexcept;

struct AttachedSection {
  AttachedSection() noexcept { enter_attached(); }
  ~AttachedSection() { leave_attached(); }
  AttachedSection(const AttachedSection&) = delete;
  AttachedSection& operator=(const AttachedSection&) = delete;
};

}  // namespace detail

/// Runs a body and converts its outcome for the interpreter: a body returning Result<PyRef>
/// gives the new reference or null, one returning Result<void> (a setter) 0 or -1.
template <class Body>
auto run_guarded(Body&& body) noexcept {
  using Value = typename std::invoke_result_t<Body&>::value_type;
  using Out = std::conditional_t<std::is_void_v<Value>, int, PyObject*>;
  constexpr Out kFailed = [] {
    if constexpr (std::is_void_v<Value>) {
      return -1;
    } else {
      return nullptr;
    }
  }();
  try {
    detail::AttachedSection section;
    Out out = kFailed;
    try {
      auto result = body();
      if (!result) {
        restore_error(std::move(result).error());
      } else if constexpr (std::is_void_v<Value>) {
        out = 0;
      } else {
        out = result->release();
      }
    } catch (...) {
      detail::restore_caught_failure();
    }
    detail::check_result_contract(out == kFailed);
    return out;
  } catch (...) {
    detail::abort_at_boundary();
  }
}

/// For deallocators: a body that returns nothing; an internal failure is reported through the
/// unraisable hook.
template <class Body>
void run_guarded_unraisable(Body&& body) noexcept {
  try {
    detail::AttachedSection section;
    try {
      body();
    } catch (...) {
      detail::restore_caught_failure();
      PyErr_WriteUnraisable(nullptr);
    }
  } catch (...) {
    detail::abort_at_boundary();
  }
}

}  // namespace mervik
