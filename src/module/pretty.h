// The Pretty class: keeps an indent and offers format() and print().
#pragma once

#include "binding/py_err.h"

namespace mervik {

/// The Pretty type object, created once per process on first request. A failed creation is
/// reported as RuntimeError "An error occurred while initializing class Pretty" and retried on
/// the next request.
Result<PyObject*> pretty_type();

}  // namespace mervik
