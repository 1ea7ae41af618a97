// The call guard's failure mapping and the boundary abort.
#include "binding/call_guard.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace mervik::detail {

void restore_caught_failure() {
  try {
    throw;
  } catch (const InternalFailure& failure) {
    restore_error(panic_exception_from_failure(failure));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    restore_error(panic_exception_from_failure(InternalFailure()));
  }
}

void abort_at_boundary() noexcept {
  std::fputs("fatal: mervik: uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void check_result_contract([[maybe_unused]] bool failed) noexcept {
#ifndef NDEBUG
  if (failed != (PyErr_Occurred() != nullptr)) {
    std::fputs(failed ? "fatal: mervik: failure returned without an exception set\n"
                      : "fatal: mervik: result returned with an exception set\n",
               stderr);
    std::abort();
  }
#endif
}

}  // namespace mervik::detail
