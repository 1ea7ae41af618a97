// Native repr() text of the common leaves.
//
// int: values that fit in 64 bits are written as their decimal digits, as int.__repr__ does; the
// digit limit of str(int) only applies far beyond 19 digits, so larger values keep repr().
// float: in float_repr.cpp. str: str.__repr__'s rules, below. bool and None: fixed words.
#include "format/leaf_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include "format/decimal_digits.h"
#include "platform/compiler.h"
#include "platform/hex.h"
#include "platform/sse2.h"
#include "platform/utf8.h"

namespace mervik {
namespace {

using platform::kHexDigits;

// Code points per chunk of a str's repr, and the most bytes one code point can take
// ("\U0010ffff" is ten).
constexpr Py_ssize_t kChunk = 512;
constexpr size_t kMaxBytesPerCodePoint = 10;

/// Which code points of the first two planes the interpreter counts as printable: its own
/// answers, asked once, so that the common characters cost a table lookup.
class PrintableTable {
 public:
  static constexpr Py_UCS4 kSize = 0x20000;

  PrintableTable() {
    for (Py_UCS4 ch = 0; ch < kSize; ++ch) {
      if (Py_UNICODE_ISPRINTABLE(ch)) bits_[ch >> 6] |= uint64_t{1} << (ch & 63);
    }
  }
  bool printable(Py_UCS4 ch) const noexcept {
    if (ch >= kSize) [[unlikely]]
      return Py_UNICODE_ISPRINTABLE(ch);
    return (bits_[ch >> 6] >> (ch & 63)) & 1;
  }

 private:
  uint64_t bits_[kSize / 64] = {};
};

const PrintableTable& printable_table() {
  static const PrintableTable table;
  return table;
}

// ASCII characters that need an escape or decide the quote: controls, DEL, the backslash and
// both quotes.
constexpr auto kAsciiSpecial = [] {
  std::array<bool, 128> special{};
  for (int c = 0; c < 0x20; ++c) special[c] = true;
  special[0x7F] = special['\\'] = special['\''] = special['"'] = true;
  return special;
}();

/// Which quotes a str's text holds, noted while its repr is written with one of them.
struct QuotesSeen {
  bool single = false;
  bool dbl = false;
};

/// Writes the escape or text of one of the kAsciiSpecial characters; returns the end.
inline char* put_ascii_special(char* p, Py_UCS4 ch, char quote, QuotesSeen& seen) {
  if (ch == '\'' || ch == '"') {
    (ch == '\'' ? seen.single : seen.dbl) = true;
    if (ch == static_cast<Py_UCS4>(quote)) *p++ = '\\';
    *p++ = static_cast<char>(ch);
    return p;
  }
  *p++ = '\\';
  switch (ch) {
    case '\\': *p++ = '\\'; return p;
    case '\t': *p++ = 't'; return p;
    case '\n': *p++ = 'n'; return p;
    case '\r': *p++ = 'r'; return p;
    default: break;
  }
  *p++ = 'x';
  *p++ = kHexDigits[ch >> 4];
  *p++ = kHexDigits[ch & 0xF];
  return p;
}

/// Writes the UTF-8 form of a code point from U+0080 to U+10FFFF at `p`, which has room for four
/// bytes; returns the end. The bytes are made in one word and stored whole, without a branch
/// on the length.
MERVIK_ALWAYS_INLINE char* put_utf8_beyond_ascii(char* p, Py_UCS4 ch) noexcept {
  // One more byte for each bound the code point passes, counted with subtractions rather than
  // comparisons, which the compiler may turn into branches that a random mix of characters
  // defeats.
  const uint32_t length = 2 + ((0x7FF - ch) >> 31) + ((0xFFFF - ch) >> 31);
  // The four groups of six bits, the highest in the lowest byte, as for a four-byte form;
  // shifting out the groups the form has not leaves the lead's bits in the lowest byte.
  const uint32_t groups =
      (ch >> 18) | ((ch >> 12) & 0x3F) << 8 | ((ch >> 6) & 0x3F) << 16 | (ch & 0x3F) << 24;
  // The lead's marker in the lowest byte, then continuation markers, for two to four bytes.
  static constexpr uint32_t kMarkers[5] = {0, 0, 0x80C0, 0x8080E0, 0x808080F0};
  uint32_t word = groups >> (8 * (4 - length)) | kMarkers[length];
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  std::memcpy(p, &word, 4);
  return p + length;
}

/// Writes the escape or text of one code point of a str's repr quoted with `quote`; returns the
/// end.
MERVIK_ALWAYS_INLINE char* put_code_point(char* p, Py_UCS4 ch, char quote,
                                          const PrintableTable& table, QuotesSeen& seen) {
  if (ch < 0x80) {
    if (!kAsciiSpecial[ch]) [[likely]] {
      *p++ = static_cast<char>(ch);
      return p;
    }
    return put_ascii_special(p, ch, quote, seen);
  }
  // Printable characters stand as they are, in UTF-8. They are never surrogates.
  if (table.printable(ch)) [[likely]]
    return put_utf8_beyond_ascii(p, ch);
  *p++ = '\\';
  int digits;
  if (ch <= 0xFF) {
    *p++ = 'x';
    digits = 2;
  } else if (ch <= 0xFFFF) {
    *p++ = 'u';
    digits = 4;
  } else {
    *p++ = 'U';
    digits = 8;
  }
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *p++ = kHexDigits[(ch >> shift) & 0xF];
  return p;
}

/// Writes the repr text of `length` code points quoted with `quote` (without the quotes
/// themselves) at `p`, which has room for kMaxBytesPerCodePoint bytes per code point, noting
/// the quotes they hold; returns the end.
template <class Unit>
MERVIK_ALWAYS_INLINE char* put_units(char* p, const Unit* data, Py_ssize_t length, char quote,
                                     const PrintableTable& table, QuotesSeen& seen) {
  for (Py_ssize_t i = 0; i < length; ++i) p = put_code_point(p, data[i], quote, table, seen);
  return p;
}

/// Appends the repr text of `length` code points quoted with `quote`, as put_units, a chunk at
/// a time.
template <class Unit>
void append_units(const Unit* data, Py_ssize_t length, char quote, const PrintableTable& table,
                  QuotesSeen& seen, StringBuffer& out) {
  for (Py_ssize_t start = 0; start < length; start += kChunk) {
    const Py_ssize_t end = std::min(length, start + kChunk);
    char* const begin = out.reserve(static_cast<size_t>(end - start) * kMaxBytesPerCodePoint);
    out.commit(static_cast<size_t>(put_units(begin, data + start, end - start, quote, table, seen) -
                                   begin));
  }
}

/// True when none of the eight bytes of `word` is outside ASCII or needs an escape or decides
/// the quote (the kAsciiSpecial characters).
inline bool plain_ascii_word(uint64_t word) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  // Nonzero exactly when some byte of v is zero.
  const auto any_zero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  // Bytes below 0x20 among the low seven bits of each byte (bytes with the high bit set fail
  // anyway), then the five single characters.
  const uint64_t ascii_low = word & ~kHigh;
  const uint64_t special = ((ascii_low - kOnes * 0x20) & ~ascii_low & kHigh) |
                           any_zero(word ^ (kOnes * 0x7F)) | any_zero(word ^ (kOnes * '\\')) |
                           any_zero(word ^ (kOnes * '\'')) | any_zero(word ^ (kOnes * '"'));
  return ((word & kHigh) | special) == 0;
}

#ifdef MERVIK_SSE2
/// One bit per byte of `v` (the first in the lowest bit) that is outside ASCII or is one of the
/// kAsciiSpecial characters: as signed bytes, those outside ASCII are below 0x20 too.
inline unsigned special_byte_mask(__m128i v) noexcept {
  const __m128i special = _mm_or_si128(
      _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F))),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')),
                   _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\'')),
                                _mm_cmpeq_epi8(v, _mm_set1_epi8('"')))));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}
#endif

/// plain_ascii_word of both words.
inline bool plain_ascii_words(uint64_t head, uint64_t tail) noexcept {
#ifdef MERVIK_SSE2
  return special_byte_mask(
             _mm_set_epi64x(static_cast<long long>(tail), static_cast<long long>(head))) == 0;
#else
  return plain_ascii_word(head) && plain_ascii_word(tail);
#endif
}

// The longest text append_short_plain writes.
constexpr size_t kShortPlainMost = 32;

/// Writes a text of 1 to kShortPlainMost ASCII characters (one byte each) that needs no escape
/// at `o`, which has room for kShortPlainMost + 2 bytes, quoted with a few overlapping loads and
/// stores instead of a loop; false for any other text (the bytes at `o` are then left as
/// scratch). Short strs such as dict keys and words are the most common leaves.
MERVIK_ALWAYS_INLINE bool put_short_plain(char* o, const unsigned char* text,
                                          size_t length) noexcept {
  if (length - 1 >= kShortPlainMost) return false;  // also the empty text, which wraps around
  if (length < 4) {
    // The first, middle and last characters cover one to three of them.
    const unsigned char first = text[0], middle = text[length >> 1], last = text[length - 1];
    const uint32_t three = first | uint32_t{middle} << 8 | uint32_t{last} << 16;
#ifdef MERVIK_SSE2
    if ((special_byte_mask(_mm_cvtsi32_si128(static_cast<int>(three))) & 7) != 0) return false;
#else
    // Each byte three times, so that no byte of the word is zero (which reads as a control).
    if (!plain_ascii_word(three | uint64_t{three} << 24 | uint64_t{three} << 48)) return false;
#endif
    o[0] = '\'';
    o[1] = static_cast<char>(first);
    o[1 + (length >> 1)] = static_cast<char>(middle);
    o[length] = static_cast<char>(last);
    o[length + 1] = '\'';
    return true;
  }
#ifdef MERVIK_SSE2
  if (length > 16) {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + length - 16));
    if ((special_byte_mask(head) | special_byte_mask(tail)) != 0) return false;
    o[0] = '\'';
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 1), head);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 1 + length - 16), tail);
    o[length + 1] = '\'';
    return true;
  }
#else
  if (length > 16) return false;
#endif
  uint64_t head, tail;
  if (length >= 8) {
    std::memcpy(&head, text, 8);
    std::memcpy(&tail, text + length - 8, 8);
  } else {
    uint32_t h, t;
    std::memcpy(&h, text, 4);
    std::memcpy(&t, text + length - 4, 4);
    head = h | uint64_t{h} << 32;  // each half twice: a zero byte would read as a control
    tail = t | uint64_t{t} << 32;
  }
  if (!plain_ascii_words(head, tail)) return false;
  o[0] = '\'';
  if (length >= 8) {
    std::memcpy(o + 1, &head, 8);
    std::memcpy(o + 1 + length - 8, &tail, 8);
  } else {
    std::memcpy(o + 1, &head, 4);
    std::memcpy(o + 1 + length - 4, &tail, 4);
  }
  o[length + 1] = '\'';
  return true;
}

/// append_str_repr of any str but the short plain ones: the plain run at the start of a
/// one-byte text found a block at a time, then the rest a code point at a time.
MERVIK_NOINLINE void append_str_repr_escaped(PyObject* str, StringBuffer& out) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  Py_ssize_t plain = 0;  // leading characters that stand as they are, whatever the quote
  if (kind == PyUnicode_1BYTE_KIND) {
    const auto* text = static_cast<const unsigned char*>(data);
#ifdef MERVIK_SSE2
    for (; length - plain >= 16; plain += 16) {
      const unsigned special =
          special_byte_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + plain)));
      if (special != 0) {
        plain += std::countr_zero(special);
        break;
      }
    }
#endif
    for (uint64_t word; length - plain >= 8; plain += 8) {
      std::memcpy(&word, text + plain, 8);
      if (!plain_ascii_word(word)) break;
    }
    while (plain < length && text[plain] < 0x80 && !kAsciiSpecial[text[plain]]) ++plain;
    if (plain == length) {  // the common case: nothing to escape, single quotes
      char* o = out.reserve(static_cast<size_t>(length) + 2);
      o[0] = '\'';
      std::memcpy(o + 1, text, static_cast<size_t>(length));
      o[length + 1] = '\'';
      out.commit(static_cast<size_t>(length) + 2);
      return;
    }
  }
  // Escapes are ASCII; characters outside ASCII mostly stand as they are, as whole UTF-8 forms
  // of code points that are not surrogates.
  if (!PyUnicode_IS_ASCII(str)) out.note_valid_utf8();
  // The quote is ' unless the text holds ' and no ", as str.__repr__ chooses it: the text is
  // written with ' while its quotes are noted, and written again with " in that case.
  const PrintableTable& table = printable_table();
  if (length <= kChunk) {  // all in one reservation
    for (const char quote : {'\'', '"'}) {
      QuotesSeen seen;
      char* const begin = out.reserve(static_cast<size_t>(length) * kMaxBytesPerCodePoint + 2);
      char* p = begin;
      *p++ = quote;
      if (kind == PyUnicode_1BYTE_KIND) {
        std::memcpy(p, data, static_cast<size_t>(plain));
        p = put_units(p + plain, static_cast<const Py_UCS1*>(data) + plain, length - plain, quote,
                      table, seen);
      } else if (kind == PyUnicode_2BYTE_KIND) {
        p = put_units(p, static_cast<const Py_UCS2*>(data), length, quote, table, seen);
      } else {
        p = put_units(p, static_cast<const Py_UCS4*>(data), length, quote, table, seen);
      }
      *p++ = quote;
      if (quote == '"' || !seen.single || seen.dbl) {
        out.commit(static_cast<size_t>(p - begin));
        return;
      }
    }
  }
  const size_t start = out.size();
  for (const char quote : {'\'', '"'}) {
    QuotesSeen seen;
    out.push_back(quote);
    if (kind == PyUnicode_1BYTE_KIND) {
      out.append_ascii({static_cast<const char*>(data), static_cast<size_t>(plain)});
      append_units(static_cast<const Py_UCS1*>(data) + plain, length - plain, quote, table, seen,
                   out);
    } else if (kind == PyUnicode_2BYTE_KIND) {
      append_units(static_cast<const Py_UCS2*>(data), length, quote, table, seen, out);
    } else {
      append_units(static_cast<const Py_UCS4*>(data), length, quote, table, seen, out);
    }
    out.push_back(quote);
    if (quote == '"' || !seen.single || seen.dbl) return;
    out.drop(out.size() - start);
  }
}

}  // namespace

void append_str_repr(PyObject* str, StringBuffer& out) {
  // A compact ASCII str keeps its one-byte characters right after the object's header. The
  // room is asked for without growing, so that this path makes no call.
  if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    const auto* text =
        reinterpret_cast<const unsigned char*>(reinterpret_cast<const PyASCIIObject*>(str) + 1);
    char* const o = out.try_reserve(kShortPlainMost + 2);
    if (o != nullptr && put_short_plain(o, text, length)) {
      out.commit(length + 2);
      return;
    }
  }
  append_str_repr_escaped(str, out);
}

bool append_int_repr(PyObject* integer, StringBuffer& out) {
  bool negative;
  uint64_t magnitude;
#if PY_VERSION_HEX < 0x03100000
  // The layout of 3.12 to 3.15: the magnitude's digits of PyLong_SHIFT bits (least significant
  // first), their count in the tag above its sign and flag bits.
  const _PyLongValue& number = reinterpret_cast<const PyLongObject*>(integer)->long_value;
  const uintptr_t tag = number.lv_tag;
  const size_t count = tag >> _PyLong_NON_SIZE_BITS;
  negative = (tag & _PyLong_SIGN_MASK) == 2;
  if (count <= 1) {  // one digit or none (zero): most ints in data are small
    const uint32_t value = count == 0 ? 0 : number.ob_digit[0];
    if (value < 10000) {
      const int n = 1 + (value >= 10) + (value >= 100) + (value >= 1000);
      char* const o = out.reserve(5);
      o[0] = '-';
      store_le32(o + negative, four_digits_le(value) >> 8 * (4 - n));
      out.commit(static_cast<size_t>(negative) + static_cast<size_t>(n));
      return true;
    }
  }
  constexpr size_t kMostDigits = (64 + PyLong_SHIFT - 1) / PyLong_SHIFT;
  if (count > kMostDigits) return false;  // beyond 64 bits: repr() itself
  if (count == kMostDigits &&
      (number.ob_digit[count - 1] >> (64 - (kMostDigits - 1) * PyLong_SHIFT)) != 0) {
    return false;
  }
  magnitude = 0;
  for (size_t i = count; i-- > 0;) {
    magnitude = magnitude << PyLong_SHIFT | number.ob_digit[i];
  }
#else
  int overflow;
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (overflow != 0) return false;  // beyond 64 bits: repr() itself
  negative = value < 0;
  magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
#endif
  char* const begin = out.reserve(21);  // a sign and put_decimal's 20 bytes
  char* o = begin;
  if (negative) *o++ = '-';
  o = put_decimal(o, magnitude);
  out.commit(static_cast<size_t>(o - begin));
  return true;
}

}  // namespace mervik
