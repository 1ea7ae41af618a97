// The text of exact int, float, str, bool and None leaves, written without making their repr()
// objects. Each writer produces the same bytes as the UTF-8 encoding of repr(obj).
#pragma once

#include "binding/python.h"

#include <cstring>

#include "format/string_buffer.h"
#include "platform/compiler.h"

namespace mervik {

/// Appends the UTF-8 text of repr(obj) to `out` when obj is an exact int, float, str, bool or
/// None whose text is written natively, and returns true; returns false (nothing written) for
/// every other object, which then goes through repr() itself. Runs no interpreter code and
/// cannot fail (but for std::bad_alloc).
MERVIK_ALWAYS_INLINE bool append_native_repr(PyObject* obj, StringBuffer& out);

/// repr() of an exact str, as UTF-8.
void append_str_repr(PyObject* str, StringBuffer& out);
/// repr() of an exact int that fits in 64 bits; false (nothing written) for larger ones.
bool append_int_repr(PyObject* integer, StringBuffer& out);
/// repr() of a float.
void append_float_repr(double value, StringBuffer& out);

MERVIK_ALWAYS_INLINE bool append_native_repr(PyObject* obj, StringBuffer& out) {
  PyTypeObject* const type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) {
    append_str_repr(obj, out);
    return true;
  }
  if (type == &PyLong_Type) return append_int_repr(obj, out);
  if (type == &PyFloat_Type) {
    append_float_repr(PyFloat_AS_DOUBLE(obj), out);
    return true;
  }
  if (type == &PyBool_Type) {  // one store of eight bytes, of which four or five are kept
    char* const o = out.reserve(8);
    const bool is_true = obj == Py_True;
    std::memcpy(o, is_true ? "True\0\0\0\0" : "False\0\0\0", 8);
    out.commit(is_true ? 4 : 5);
    return true;
  }
  if (obj == Py_None) {
    std::memcpy(out.reserve(4), "None", 4);
    out.commit(4);
    return true;
  }
  return false;
}

}  // namespace mervik
