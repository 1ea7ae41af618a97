// StringBuffer.
#include "format/string_buffer.h"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>

#include "binding/internal_failure.h"
#include "platform/utf8.h"

namespace mervik {
namespace {

constexpr size_t kMinimumCapacity = 256;

// The thread's reusable storage is given back after a call only up to this size, so that one
// huge rendering does not pin its size for the life of the thread.
constexpr size_t kReusableKeep = size_t{8} << 20;

/// Storage kept by a thread between format calls; freed when the thread ends.
struct ReusableStorage {
  char* data = nullptr;
  size_t capacity = 0;
  bool lent = false;

  ReusableStorage() = default;
  ReusableStorage(const ReusableStorage&) = delete;
  ReusableStorage& operator=(const ReusableStorage&) = delete;
  ~ReusableStorage() { std::free(data); }
};

thread_local ReusableStorage t_reusable;

PyObject* new_str(Py_ssize_t length) {
  PyObject* str = PyUnicode_New(length, 127);
  if (str == nullptr) api_call_failed();
  return str;
}

}  // namespace

StringBuffer::StringBuffer(Storage storage) noexcept {
  if (storage == Storage::kThreadReusable && !t_reusable.lent) {
    ReusableStorage& kept = t_reusable;
    kept.lent = true;
    thread_storage_ = true;
    data_ = std::exchange(kept.data, nullptr);
    capacity_ = std::exchange(kept.capacity, 0);
  }
}

IoResult StringBuffer::write_fragments(std::span<const std::string_view> fragments) {
  for (std::string_view fragment : fragments) append(fragment);
  return {};
}

void StringBuffer::grow(size_t n) {
  if (n > SIZE_MAX / 4 - used_) throw std::bad_alloc();
  const size_t wanted = std::max({used_ + n, 2 * capacity_, kMinimumCapacity});
  if (thread_storage_) {
    // A text that outgrows the thread's storage goes on in a str, which becomes the result
    // itself when the text is ASCII: its pages are touched once, as the result's.
    if (wanted > static_cast<size_t>(PY_SSIZE_T_MAX) / 2) throw std::bad_alloc();
    if (str_ == nullptr) {
      PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(wanted), 127);
      if (str == nullptr) {
        PyErr_Clear();
        throw std::bad_alloc();
      }
      if (used_ > 0) std::memcpy(PyUnicode_DATA(str), data_, used_);
      str_ = str;
      kept_data_ = data_;
      kept_capacity_ = capacity_;
    } else if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(wanted)) != 0) {
      // A failed resize leaves the str as it was.
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

void StringBuffer::leave_str() noexcept {
  Py_XDECREF(str_);
  str_ = nullptr;
  data_ = std::exchange(kept_data_, nullptr);
  capacity_ = std::exchange(kept_capacity_, 0);
}

void StringBuffer::release() noexcept {
  if (str_ != nullptr) leave_str();
  if (thread_storage_) {
    ReusableStorage& kept = t_reusable;
    if (capacity_ <= kReusableKeep) {
      if (used_ > capacity_ && used_ <= kReusableKeep) {
        // Room for as much text next time; its pages are only touched when it is written.
        std::free(data_);
        capacity_ = std::bit_ceil(used_);
        data_ = static_cast<char*>(std::malloc(capacity_));
        if (data_ == nullptr) capacity_ = 0;
      }
      kept.data = std::exchange(data_, nullptr);
      kept.capacity = capacity_;
    }
    kept.lent = false;
    thread_storage_ = false;
  }
  std::free(data_);
  data_ = nullptr;
  used_ = capacity_ = 0;
  non_ascii_ = false;
}

void StringBuffer::clear(size_t keep) {
  used_ = 0;
  non_ascii_ = false;
  if (capacity_ > keep) release();
}

std::string StringBuffer::take_text() && {
  std::string text(view());
  release();
  if (!platform::is_valid_utf8(text)) return {};
  return text;
}

PyRef StringBuffer::take_str() && {
  PyObject* str;
  if (!non_ascii_ && str_ != nullptr && used_ > 0) {
    // The text is the str's own storage: cut it to length (in place) and hand it out.
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(used_)) != 0) api_call_failed();
    str = std::exchange(str_, nullptr);
    leave_str();
  } else if (!non_ascii_) {
    str = new_str(static_cast<Py_ssize_t>(used_));
    if (used_ > 0) std::memcpy(PyUnicode_DATA(str), data_, used_);
  } else {
    str = PyUnicode_DecodeUTF8(data_, static_cast<Py_ssize_t>(used_), "strict");
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
