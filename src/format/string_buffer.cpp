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

PyObject* new_str_of(Py_ssize_t length, Py_UCS4 max_char) {
  PyObject* str = PyUnicode_New(length, max_char);
  if (str == nullptr) api_call_failed();
  return str;
}

PyObject* new_str(Py_ssize_t length) { return new_str_of(length, 127); }

/// Decodes valid UTF-8 into `out`, a str's storage of code units of type Unit with room for
/// every character; false at the first byte that is not valid UTF-8.
template <class Unit>
bool decode_utf8(const unsigned char* p, const unsigned char* const end, Unit* out) {
  while (p != end) {
    if (end - p >= 8) {  // ASCII eight bytes at a time, then the ASCII before the next lead
      uint64_t word;
      std::memcpy(&word, p, 8);
      const uint64_t high = word & 0x8080808080808080u;
      if (high == 0) {
        for (int i = 0; i < 8; ++i) out[i] = p[i];
        p += 8;
        out += 8;
        continue;
      }
      const int ascii = (std::endian::native == std::endian::little ? std::countr_zero(high)
                                                                      : std::countl_zero(high)) /
                        8;
      for (int i = 0; i < ascii; ++i) out[i] = p[i];
      p += ascii;
      out += ascii;
    }
    const unsigned char lead = *p;
    if (lead < 0x80) {
      *out++ = lead;
      ++p;
      continue;
    }
    if (lead >= 0xC2 && lead < 0xE0 && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
      *out++ = static_cast<Unit>((lead & 0x1Fu) << 6 | (p[1] & 0x3Fu));
      p += 2;
      continue;
    }
    if (lead >= 0xE0 && lead < 0xF0 && end - p >= 3) {
      const unsigned char second = p[1];
      const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
      if (second >= low && second <= high && (p[2] & 0xC0) == 0x80) {
        *out++ = static_cast<Unit>((lead & 0x0Fu) << 12 | (second & 0x3Fu) << 6 | (p[2] & 0x3Fu));
        p += 3;
        continue;
      }
    }
    const ptrdiff_t length = platform::utf8_check_character(
        {reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)});
    if (length < 0) return false;
    Py_UCS4 ch = lead & (0x7Fu >> length);
    for (ptrdiff_t i = 1; i < length; ++i) ch = ch << 6 | (p[i] & 0x3Fu);
    *out++ = static_cast<Unit>(ch);
    p += length;
  }
  return true;
}

/// A str of the UTF-8 text, made at its final size and width: one pass finds the number of
/// characters and, from the widest lead byte, the width; a second decodes. Null (nothing
/// raised) when the text is not valid UTF-8.
PyObject* str_from_utf8(std::string_view text) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  // Per byte, in bit 7 of each byte of a word: a continuation byte (10xxxxxx), a byte from 0xC4
  // and one from 0xF0. A lead byte from 0xF0 starts a character beyond the BMP, one from 0xC4 a
  // character from U+0100; with neither, every character is at most U+00FF.
  constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  size_t continuation = 0;
  uint64_t high = 0, from_c4 = 0, from_f0 = 0;
  const unsigned char* p = begin;
  for (; end - p >= 8; p += 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if ((w & kHigh) == 0) continue;
    high |= w;
    continuation += static_cast<size_t>(std::popcount(w & ~(w << 1) & kHigh));
    from_c4 |= ((w & ~kHigh) + kOnes * 0x3C) & w;
    from_f0 |= w & (w << 1) & (w << 2) & (w << 3);
  }
  for (; p != end; ++p) {
    const uint64_t b = *p;
    high |= b;
    continuation += (b & 0xC0) == 0x80;
    from_c4 |= b >= 0xC4 ? 0x80 : 0;
    from_f0 |= b >= 0xF0 ? 0x80 : 0;
  }
  const Py_UCS4 max_char = (from_f0 & kHigh)   ? 0x10FFFF
                           : (from_c4 & kHigh) ? 0xFFFF
                           : (high & kHigh)    ? 0xFF
                                               : 0x7F;
  PyObject* str = new_str_of(static_cast<Py_ssize_t>(text.size() - continuation), max_char);
  bool decoded;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      decoded = decode_utf8(begin, end, PyUnicode_1BYTE_DATA(str));
      break;
    case PyUnicode_2BYTE_KIND:
      decoded = decode_utf8(begin, end, PyUnicode_2BYTE_DATA(str));
      break;
    default:
      decoded = decode_utf8(begin, end, PyUnicode_4BYTE_DATA(str));
      break;
  }
  if (!decoded) {
    Py_DECREF(str);
    return nullptr;
  }
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
    str = str_from_utf8(view());
    if (str == nullptr) str = new_str(0);
  }
  release();
  return PyRef::steal(str);
}

}  // namespace mervik
