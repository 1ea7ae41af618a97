// Conversions between Python objects and native values, the cast error and display text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/py_err.h"

namespace mervik {

/// UTF-8 text: either borrowed from a str object (kept alive here) or owned.
class Utf8Text {
 public:
  static Utf8Text borrowed(PyRef keeper, std::string_view text) {
    Utf8Text t;
    t.keeper_ = std::move(keeper);
    t.view_ = text;
    return t;
  }
  static Utf8Text owned(std::string text) {
    Utf8Text t;
    t.owned_ = std::move(text);
    t.is_owned_ = true;
    return t;
  }
  std::string_view view() const noexcept { return is_owned_ ? std::string_view(owned_) : view_; }
  bool is_owned() const noexcept { return is_owned_; }

 private:
  PyRef keeper_;
  std::string_view view_;
  std::string owned_;
  bool is_owned_ = false;
};

/// An int (or an object with __index__) as an unsigned 64-bit count.
Result<uint64_t> extract_u64(PyObject* obj);

/// TypeError "'X' object cannot be cast as 'Y'"; the message is made when the error is raised.
PyErr cast_error(PyObject* obj, PyObject* target);
/// The cast message for a source type and a target (type, tuple of targets or other object).
std::string cast_message(PyObject* source_type, PyObject* target);

/// The UTF-8 text of a str, borrowed from the object (valid while it lives).
Result<std::string_view> str_utf8_text(PyObject* s);
/// The UTF-8 text of a str, with lone surrogates replaced by U+FFFD; never fails for a str.
Utf8Text str_lossy_text(PyObject* s);
/// The text shown for any object: str() of it, or "<unprintable ...>" after reporting the
/// failure to the unraisable hook. Never fails.
Utf8Text display_text(PyObject* obj);

/// New str / int objects; the internal failure "Python API call failed" if the interpreter
/// cannot make them.
PyRef new_str_object(std::string_view text);
PyRef new_int_object(uint64_t value);

/// The interned str of an attribute name, kept for the life of the process (callers keep it in a
/// static); the internal failure "Python API call failed" if it cannot be made.
PyObject* interned_name(const char* name);

}  // namespace mervik
