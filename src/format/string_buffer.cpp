// StringBuffer.
#include "format/string_buffer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "binding/internal_failure.h"
#include "platform/compiler.h"
#include "platform/memory.h"
#include "platform/sse2.h"
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

// The room of the str a long text goes on in is opened this much at a time. Once the text is
// kPreparedFrom bytes long, each part is backed with memory in one request just before it is
// written, so that the pages of a large result are not faulted in one at a time; the last part
// opened wastes little. Shorter texts leave their pages to be faulted in as they are written.
constexpr size_t kOpenedAtOnce = size_t{256} << 10;
constexpr size_t kPreparedFrom = size_t{512} << 10;

PyObject* new_str(Py_ssize_t length) {
  PyObject* str = PyUnicode_New(length, 127);
  if (str == nullptr) api_call_failed();
  return str;
}

/// A form of two to four bytes of UTF-8 decoded: its code point, its length and whether it is
/// valid.
struct DecodedForm {
  uint32_t code;
  uint32_t length;
  bool valid;
};

/// Decodes the form at `s`, which has at least four bytes, from one word whatever the form's
/// length, without a branch on the length (which varies from one character to the next). A lead
/// byte below 0xE0 is taken for a form of two bytes.
MERVIK_ALWAYS_INLINE DecodedForm decode_form(const unsigned char* s) noexcept {
  uint32_t word;
  std::memcpy(&word, s, 4);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  const uint32_t lead = word & 0xFF;
  const uint32_t length = 2 + (lead >= 0xE0) + (lead >= 0xF0);
  // The lead's bits and the continuation bytes' six, as for a four-byte form; the groups past
  // the form's length shifted out.
  constexpr uint32_t kLeadBits[5] = {0, 0, 0x1F, 0x0F, 0x07};
  const uint32_t code = ((lead & kLeadBits[length]) << 18 | (word >> 8 & 0x3F) << 12 |
                         (word >> 16 & 0x3F) << 6 | (word >> 24 & 0x3F)) >>
                        (6 * (4 - length));
  // Continuation bytes 0b10xxxxxx after the lead; no overlong form (the least code point of
  // each length), no surrogate, nothing beyond U+10FFFF.
  constexpr uint32_t kMarkerMask[5] = {0, 0, 0xC000, 0xC0C000, 0xC0C0C000};
  constexpr uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid = lead >= 0xC2 && lead < 0xF5 &&
                     (word & kMarkerMask[length]) == (0x80808000 & kMarkerMask[length]) &&
                     code >= kLeast[length] && code - 0xD800 >= 0x800 && code <= 0x10FFFF;
  return {code, length, valid};
}

#ifdef MERVIK_SSE2
/// Stores the sixteen bytes of `v` at `o` as sixteen units.
template <class Unit>
MERVIK_ALWAYS_INLINE void widen_block(__m128i v, Unit* o) noexcept {
  const __m128i zero = _mm_setzero_si128();
  auto* const out = reinterpret_cast<__m128i*>(o);
  if constexpr (sizeof(Unit) == 1) {
    _mm_storeu_si128(out, v);
  } else {
    const __m128i low = _mm_unpacklo_epi8(v, zero), high = _mm_unpackhi_epi8(v, zero);
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(out, low);
      _mm_storeu_si128(out + 1, high);
    } else {
      _mm_storeu_si128(out, _mm_unpacklo_epi16(low, zero));
      _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(low, zero));
      _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(high, zero));
      _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(high, zero));
    }
  }
}
#endif

/// Decodes `size` bytes of UTF-8 at `s` into `o`, one unit per code point; false when the bytes
/// are not valid UTF-8 (then the units written are meaningless). `o` has room for as many units
/// as the text has bytes that are not continuation bytes (up to `o_end`), and `Unit` is wide
/// enough for every code point that the text's lead bytes allow.
///
/// Text whose writers vouch for its being valid UTF-8 (kChecked false) has its forms of two to
/// four bytes decoded without checking them; its units stay within `o_end`, and `widest` gets
/// the greatest code point it decoded so, for the caller to check the str's width. Then
/// false means that the text did not fill exactly the units up to `o_end`.
template <bool kChecked, class Unit>
bool decode_utf8_into(const unsigned char* s, size_t size, Unit* o, Unit* const o_end,
                      [[maybe_unused]] Py_UCS4& widest) noexcept {
  size_t i = 0;
  while (true) {
#ifdef MERVIK_SSE2
    // Sixteen bytes at a time: all of them widened and stored, the ASCII ones before the first
    // other byte kept, and the form that starts there decoded in the same step; ASCII runs and
    // forms alternate at random in mixed text, so the step does not branch on which one comes.
    // With no such byte, the form decoded is the ASCII after the block, and it is neither kept
    // nor counted (the next unit written goes over it, in room that the loop's test leaves).
    while (i + 20 <= size && o_end - o >= 17) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(v));
      widen_block(v, o);
      const auto ascii = static_cast<unsigned>(std::countr_zero(mask | 0x10000u));
      i += ascii;
      o += ascii;
      const uint32_t has_form = mask != 0;
      const auto [code, length, valid] = decode_form(s + i);
      if constexpr (kChecked) {
        if (has_form != 0 && !valid) return false;
      } else {
        widest = std::max(widest, code & (0 - has_form));
      }
      *o = static_cast<Unit>(code);
      o += has_form;
      i += length & (0 - has_form);
    }
#else
    // ASCII eight bytes at a time, while the units have room for them (text vouched for is
    // decoded without checks, and were it not valid UTF-8 it could make more units than foretold).
    for (uint64_t word; i + 8 <= size && o_end - o >= 8; i += 8, o += 8) {
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080u) != 0) break;
      unsigned char bytes[8];  // not aliasing `o`, so that the loop becomes a widening store
      std::memcpy(bytes, &word, 8);
      for (int k = 0; k < 8; ++k) o[k] = bytes[k];
    }
#endif
    if (i == size) break;
    if constexpr (!kChecked) {
      if (o == o_end) return false;
    }
    if (s[i] < 0x80) {
      *o++ = static_cast<Unit>(s[i]);
      ++i;
      continue;
    }
    if (size - i >= 4) {
      const auto [code, length, valid] = decode_form(s + i);
      if constexpr (kChecked) {
        if (!valid) return false;
      } else {
        widest = std::max(widest, code);
      }
      *o++ = static_cast<Unit>(code);
      i += length;
      continue;
    }
    const unsigned lead = s[i];
    // The first continuation byte's range depends on the lead (no overlong form, surrogate or
    // code point beyond U+10FFFF); the others are 0x80 to 0xBF.
    if (lead < 0xC2) return false;
    if (lead < 0xE0) {
      if (size - i < 2 || (s[i + 1] & 0xC0) != 0x80) return false;
      const Py_UCS4 code = (lead & 0x1F) << 6 | (s[i + 1] & 0x3F);
      if constexpr (!kChecked) widest = std::max(widest, code);
      *o++ = static_cast<Unit>(code);
      i += 2;
      continue;
    }
    if (lead < 0xF0) {
      if (size - i < 3) return false;
      const unsigned second = s[i + 1], third = s[i + 2];
      if (second < (lead == 0xE0 ? 0xA0u : 0x80u) || second > (lead == 0xED ? 0x9Fu : 0xBFu) ||
          (third & 0xC0) != 0x80) {
        return false;
      }
      const Py_UCS4 code = (lead & 0x0F) << 12 | (second & 0x3F) << 6 | (third & 0x3F);
      if constexpr (!kChecked) widest = std::max(widest, code);
      *o++ = static_cast<Unit>(code);
      i += 3;
      continue;
    }
    if (lead >= 0xF5 || size - i < 4) return false;
    const unsigned second = s[i + 1];
    if (second < (lead == 0xF0 ? 0x90u : 0x80u) || second > (lead == 0xF4 ? 0x8Fu : 0xBFu)) {
      return false;
    }
    Py_UCS4 code = (lead & 0x07) << 6 | (second & 0x3F);
    for (unsigned k = 2; k < 4; ++k) {
      const unsigned next = s[i + k];
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    if constexpr (!kChecked) widest = std::max(widest, code);
    *o++ = static_cast<Unit>(code);
    i += 4;
  }
  return kChecked || o == o_end;
}

/// The greatest code point of the narrowest str kind that holds `code`, one beyond ASCII.
constexpr Py_UCS4 kind_max(Py_UCS4 code) noexcept {
  return code > 0xFFFF ? 0x10FFFF : code > 0xFF ? 0xFFFF : 0xFF;
}

/// The str of UTF-8 text made directly at its final width, or nullptr (nothing raised) when the
/// text is not valid UTF-8. The widest lead byte tells the str's kind: leads up to 0xC3 start
/// code points below U+0100, leads up to 0xEF code points below U+10000 (bytes of 0xF5 or more
/// are no lead and fail the decoding). Text whose writers vouch for its being valid UTF-8 is
/// decoded without checking its forms (and checked after all should it not make the str that
/// its bytes foretold). `prepare` asks for the str's memory to be backed in one request before
/// it is written.
PyObject* decode_utf8(const char* data, size_t size, bool vouched, bool prepare) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  // Eight bytes at a time (the last ones alone): the continuation bytes (0b10xxxxxx), and
  // whether some byte is a lead of 0xC4 or more, or of 0xF0 or more. Among bytes with the high
  // bit set, adding 0x3C (or 0x10) to the low seven bits carries into bit 7 exactly then.
  constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  size_t continuations = 0, i = 0;
  uint64_t beyond_latin1 = 0, beyond_bmp = 0, high = 0;
#ifdef MERVIK_SSE2
  {
    // The widest byte of all, and per lane counts of continuation bytes summed before they
    // could wrap.
    __m128i widest = _mm_setzero_si128();
    const __m128i top = _mm_set1_epi8(static_cast<char>(0xC0)),
                  marker = _mm_set1_epi8(static_cast<char>(0x80));
    while (i + 16 <= size) {
      __m128i counts = _mm_setzero_si128();
      for (int round = 0; round < 255 && i + 16 <= size; ++round, i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        widest = _mm_max_epu8(widest, v);
        counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_and_si128(v, top), marker));
      }
      const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
      continuations += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
                       static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
    unsigned char bytes[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), widest);
    const unsigned char most = *std::max_element(bytes, bytes + 16);
    high = most;
    beyond_latin1 = most >= 0xC4 ? 0x80 : 0;
    beyond_bmp = most >= 0xF0 ? 0x80 : 0;
  }
#endif
  for (uint64_t word; i + 8 <= size; i += 8) {
    std::memcpy(&word, s + i, 8);
    continuations += static_cast<size_t>(std::popcount(word & ~(word << 1) & kHigh));
    const uint64_t low = word & ~kHigh;
    beyond_latin1 |= (low + kOnes * 0x3C) & word & word << 1;
    beyond_bmp |= (low + kOnes * 0x10) & word;
    high |= word;
  }
  for (; i < size; ++i) {
    continuations += (s[i] & 0xC0) == 0x80;
    beyond_latin1 |= s[i] >= 0xC4 ? 0x80 : 0;
    beyond_bmp |= s[i] >= 0xF0 ? 0x80 : 0;
    high |= s[i];
  }
  const auto length = static_cast<Py_ssize_t>(size - continuations);
  if ((high & kHigh) == 0) {
    PyObject* str = new_str(length);
    if (size > 0) std::memcpy(PyUnicode_DATA(str), data, size);
    return str;
  }
  const Py_UCS4 max_char = (beyond_bmp & kHigh) != 0      ? 0x10FFFF
                           : (beyond_latin1 & kHigh) != 0 ? 0xFFFF
                                                          : 0xFF;
  PyObject* str = PyUnicode_New(length, max_char);
  if (str == nullptr) api_call_failed();
  void* const units = PyUnicode_DATA(str);
  if (prepare) {
    platform::prepare_for_writing(units, static_cast<size_t>(length) * PyUnicode_KIND(str));
  }
  const auto decode = [&]<bool kChecked>(Py_UCS4& widest) {
    return max_char == 0xFF
               ? decode_utf8_into<kChecked>(s, size, static_cast<Py_UCS1*>(units),
                                            static_cast<Py_UCS1*>(units) + length, widest)
           : max_char == 0xFFFF
               ? decode_utf8_into<kChecked>(s, size, static_cast<Py_UCS2*>(units),
                                            static_cast<Py_UCS2*>(units) + length, widest)
               : decode_utf8_into<kChecked>(s, size, static_cast<Py_UCS4*>(units),
                                            static_cast<Py_UCS4*>(units) + length, widest);
  };
  Py_UCS4 widest = 0;
  if (vouched && decode.template operator()<false>(widest) && widest >= 0x80 &&
      widest <= 0x10FFFF && kind_max(widest) == max_char) {
    return str;
  }
  if (!decode.template operator()<true>(widest)) {
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
  if (str_ != nullptr && n <= str_room_ - used_) {
    open_room(n);
    return;
  }
  const size_t wanted =
      std::max({used_ + n, 2 * (str_ != nullptr ? str_room_ : capacity_), kMinimumCapacity});
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
      capacity_ = used_;
    } else if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(wanted)) != 0) {
      // A failed resize leaves the str as it was.
      PyErr_Clear();
      throw std::bad_alloc();
    }
    data_ = static_cast<char*>(PyUnicode_DATA(str_));
    str_room_ = wanted;
    open_room(n);
    return;
  }
  void* grown = std::realloc(data_, wanted);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = wanted;
}

void StringBuffer::open_room(size_t n) noexcept {
  const size_t end = std::min(str_room_, std::max(used_ + n, capacity_ + kOpenedAtOnce));
  if (capacity_ >= kPreparedFrom) {
    platform::prepare_for_writing(data_ + capacity_, end - capacity_);
  }
  capacity_ = end;
}

void StringBuffer::leave_str() noexcept {
  Py_XDECREF(str_);
  str_ = nullptr;
  str_room_ = 0;
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
  non_ascii_ = unchecked_ = false;
}

void StringBuffer::clear(size_t keep) {
  used_ = 0;
  non_ascii_ = unchecked_ = false;
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
    // A text that outgrew the thread's storage is long, and its str most likely fresh memory.
    str = decode_utf8(data_, used_, !unchecked_, str_ != nullptr && used_ >= kPreparedFrom);
    if (str == nullptr) str = PyUnicode_DecodeUTF8(data_, static_cast<Py_ssize_t>(used_), "strict");
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
