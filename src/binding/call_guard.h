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

/// Runs a body returning Result<PyRef> (or Result<int> for setters with -1 as failure value)
/// and converts its outcome for the interpreter.
template <class Body>
PyObject* run_guarded(Body&& body) noexcept {
  try {
    detail::AttachedSection section;
    PyObject* out = nullptr;
    try {
      Result<PyRef> result = body();
      if (result) {
        out = result->release();
      } else {
        restore_error(std::move(result).error());
      }
    } catch (...) {
      detail::restore_caught_failure();
    }
    detail::check_result_contract(out == nullptr);
    return out;
  } catch (...) {
    detail::abort_at_boundary();
  }
}

/// The same for a body returning Result<void>: 0 on success, -1 on failure.
template <class Body>
int run_guarded_status(Body&& body) noexcept {
  try {
    detail::AttachedSection section;
    int status = -1;
    try {
      Result<void> result = body();
      if (result) {
        status = 0;
      } else {
        restore_error(std::move(result).error());
      }
    } catch (...) {
      detail::restore_caught_failure();
    }
    detail::check_result_contract(status != 0);
    return status;
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
