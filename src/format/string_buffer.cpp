// StringBuffer.
#include "format/string_buffer.h"

#include <algorithm>
#include <new>
#include <utility>

#include "binding/internal_failure.h"
#include "platform/utf8.h"

namespace mervik {
namespace {

constexpr size_t kMinimumCapacity = 256;

bool all_ascii(std::string_view text) noexcept {
  // Four independent words per step, which the compiler keeps in vector registers.
  const char* p = text.data();
  size_t n = text.size();
  uint64_t a = 0, b = 0, c = 0, d = 0;
  for (; n >= 32; p += 32, n -= 32) {
    uint64_t w[4];
    std::memcpy(w, p, 32);
    a |= w[0];
    b |= w[1];
    c |= w[2];
    d |= w[3];
  }
  uint64_t high = a | b | c | d;
  for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080u) == 0;
}

PyObject* new_str(Py_ssize_t length) {
  PyObject* str = PyUnicode_New(length, 127);
  if (str == nullptr) api_call_failed();
  return str;
}

}  // namespace

IoResult StringBuffer::write_fragments(std::span<const std::string_view> fragments) {
  for (std::string_view fragment : fragments) append(fragment);
  return {};
}

void StringBuffer::grow(size_t n) {
  if (n > SIZE_MAX / 4 - used_) throw std::bad_alloc();
  const size_t wanted = std::max({used_ + n, 2 * capacity_, kMinimumCapacity});
  if (into_str_) {
    if (wanted > static_cast<size_t>(PY_SSIZE_T_MAX) / 2) throw std::bad_alloc();
    if (str_ == nullptr) {
      str_ = PyUnicode_New(static_cast<Py_ssize_t>(wanted), 127);
    } else if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(wanted)) != 0) {
      // A failed resize leaves the str as it was.
      PyErr_Clear();
      throw std::bad_alloc();
    }
    if (str_ == nullptr) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    data_ = static_cast<char*>(PyUnicode_DATA(str_));
  } else {
    void* grown = std::realloc(data_, wanted);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
  }
  capacity_ = wanted;
}

void StringBuffer::release() noexcept {
  if (into_str_) {
    Py_XDECREF(str_);
    str_ = nullptr;
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  used_ = capacity_ = 0;
}

void StringBuffer::clear(size_t keep) {
  used_ = 0;
  if (capacity_ > keep) release();
}

std::string StringBuffer::take_text() && {
  std::string text(view());
  release();
  if (!platform::is_valid_utf8(text)) return {};
  return text;
}

PyRef StringBuffer::take_str() && {
  const std::string_view text = view();
  PyObject* str;
  if (all_ascii(text)) {
    if (str_ != nullptr && used_ > 0) {
      // The text is the str's own storage: cut it to length (in place) and hand it out.
      if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(used_)) != 0) api_call_failed();
      str = std::exchange(str_, nullptr);
    } else {
      str = new_str(static_cast<Py_ssize_t>(text.size()));
      if (!text.empty()) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    }
  } else {
    str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (str == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) api_call_failed();
      PyErr_Clear();
      str = new_str(0);
    }
  }
  release();
  return PyRef::steal(str);
}

}  // namespace mervik
