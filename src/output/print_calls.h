// The print calls and the escaped-bytes functions: their bodies after the interpreter's call.
#pragma once

#include <cstdint>

#include "binding/call_signature.h"
#include "binding/py_err.h"

namespace mervik {

/// Renders `obj` through the process's standard-output writer, then writes a line break.
Result<void> render_to_stdout(PyObject* obj, uint64_t indent);

/// pretty_print(obj, indent=4).
Result<PyRef> pretty_print_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
/// format_escaped_bytes(obj): "\xNN" for every byte.
Result<PyRef> format_escaped_bytes_call(PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
/// print_escaped_bytes(obj): the escapes and a line break on standard output.
Result<PyRef> print_escaped_bytes_call(PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace mervik
