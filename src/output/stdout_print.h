// Printing to the process's standard output: a rendering, or escaped bytes, then a line break.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/py_err.h"

namespace mervik {

/// Renders `obj` through the process's standard-output writer, then writes a line break.
Result<void> print_object(PyObject* obj, uint64_t indent);

/// Writes the escapes of `bytes` ("\xNN" for every byte), then a line break.
Result<void> print_escaped_bytes(std::string_view bytes);

}  // namespace mervik
