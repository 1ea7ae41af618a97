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
  void* grown = std::realloc(data_, wanted);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = wanted;
}

void StringBuffer::release() noexcept {
  if (thread_storage_) {
    ReusableStorage& kept = t_reusable;
    if (capacity_ <= kReusableKeep) {
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
  const std::string_view text = view();
  PyObject* str;
  if (!non_ascii_) {
    str = new_str(static_cast<Py_ssize_t>(text.size()));
    if (!text.empty()) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
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
