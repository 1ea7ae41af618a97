// Raising internal failures.
#include "binding/internal_failure.h"

#include <cstdio>

#include "binding/python.h"

namespace mervik {

void fail(std::string message) {
  std::fprintf(stderr, "mervik: internal failure: %s\n", message.c_str());
  std::fflush(stderr);
  throw InternalFailure(std::move(message));
}

void api_call_failed() {
  PyErr_Print();
  fail("Python API call failed");
}

}  // namespace mervik
