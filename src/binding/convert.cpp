// extract_u64, the cast error, text of str objects and display text.
#include "binding/convert.h"

#include "platform/utf8.h"

namespace mervik {
namespace {

std::string type_qualname(PyObject* type) {
  PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type));
  if (name == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  PyRef owned = PyRef::steal(name);
  return std::string(str_lossy_text(name).view());
}

std::string target_text(PyObject* target) {
  if (PyType_Check(target)) return type_qualname(target);
  if (PyTuple_Check(target)) {
    std::string text;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(target); ++i) {
      if (i > 0) text += " | ";
      text += target_text(PyTuple_GET_ITEM(target, i));
    }
    return text;
  }
  return std::string(display_text(target).view());
}

// Decodes UTF-8, replacing every maximal invalid subsequence by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const size_t valid = platform::utf8_valid_prefix(bytes);
    out.append(bytes.substr(0, valid));
    bytes.remove_prefix(valid);
    if (bytes.empty()) break;
    out += "\xEF\xBF\xBD";
    bytes.remove_prefix(static_cast<size_t>(-platform::utf8_check_character(bytes)));
  }
  return out;
}

}  // namespace

Result<uint64_t> extract_u64(PyObject* obj) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return std::unexpected(fetch_error());
    value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  if (value == static_cast<unsigned long long>(-1)) {
    if (auto err = take_error()) return std::unexpected(std::move(*err));
  }
  return static_cast<uint64_t>(value);
}

PyErr cast_error(PyObject* obj, PyObject* target) {
  return make_lazy_error(
      PyExc_TypeError,
      CastRecipe{PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))), PyRef::borrow(target)});
}

std::string cast_message(PyObject* source_type, PyObject* target) {
  return "'" + type_qualname(source_type) + "' object cannot be cast as '" + target_text(target) +
         "'";
}

Result<std::string_view> str_utf8_text(PyObject* s) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  if (data == nullptr) return std::unexpected(fetch_error());
  return std::string_view(data, static_cast<size_t>(size));
}

Utf8Text str_lossy_text(PyObject* s) {
  Py_ssize_t size;
  if (const char* data = PyUnicode_AsUTF8AndSize(s, &size)) {
    return Utf8Text::borrowed(PyRef(), std::string_view(data, static_cast<size_t>(size)));
  }
  PyErr_Clear();
  PyObject* encoded = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
  if (encoded == nullptr) api_call_failed();
  PyRef bytes = PyRef::steal(encoded);
  return Utf8Text::owned(decode_utf8_lossy(std::string_view(
      PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)))));
}

Utf8Text display_text(PyObject* obj) {
  PyObject* text = PyObject_Str(obj);
  if (text != nullptr) {
    PyRef owned = PyRef::steal(text);
    Utf8Text lossy = str_lossy_text(text);
    if (lossy.is_owned()) return lossy;
    // Keep the str alive for as long as its borrowed UTF-8 is in use.
    return Utf8Text::borrowed(std::move(owned), lossy.view());
  }
  if (auto err = take_error()) restore_error(std::move(*err));
  PyErr_WriteUnraisable(obj);
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return Utf8Text::owned("<unprintable object>");
  }
  PyRef owned_name = PyRef::steal(name);
  return Utf8Text::owned("<unprintable " + std::string(display_text(name).view()) + " object>");
}

PyRef new_str_object(std::string_view text) {
  PyObject* obj = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (obj == nullptr) api_call_failed();
  return PyRef::steal(obj);
}

PyRef new_int_object(uint64_t value) {
  PyObject* obj = PyLong_FromUnsignedLongLong(value);
  if (obj == nullptr) api_call_failed();
  return PyRef::steal(obj);
}

PyObject* interned_name(const char* name) {
  PyObject* obj = PyUnicode_InternFromString(name);
  if (obj == nullptr) api_call_failed();
  return obj;
}

}  // namespace mervik
