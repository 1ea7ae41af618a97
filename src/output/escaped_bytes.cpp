// The escaped text of bytes as a str.
#include "output/escaped_bytes.h"

#include <cstring>

#include "binding/internal_failure.h"
#include "output/byte_escapes.h"

namespace mervik {

PyRef escaped_bytes_str(std::string_view bytes) {
  // The text is pure ASCII of a known length: write it straight into the str.
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size() * 4), 127);
  if (text == nullptr) api_call_failed();
  auto* out = static_cast<char*>(PyUnicode_DATA(text));
  for (unsigned char byte : bytes) {
    std::memcpy(out, kByteEscapes[byte].data(), 4);
    out += 4;
  }
  return PyRef::steal(text);
}

}  // namespace mervik
