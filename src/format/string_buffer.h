// StringBuffer: the in-memory sink of the format calls.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "binding/py_ref.h"
#include "format/text_sink.h"
#include "platform/compiler.h"

namespace mervik {

/// True when every byte of `text` is ASCII; a word at a time, the last bytes as one word that
/// may overlap the one before (a short text as two overlapping halves).
inline bool ascii_only(std::string_view text) noexcept {
  const char* const p = text.data();
  const size_t n = text.size();
  uint64_t high = 0;
  if (n >= 8) {
    uint64_t word;
    for (size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&word, p + i, 8);
      high |= word;
    }
    std::memcpy(&word, p + n - 8, 8);
    high |= word;
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    high = head | tail;
  } else {
    for (size_t i = 0; i < n; ++i) high |= static_cast<unsigned char>(p[i]);
  }
  return (high & 0x8080808080808080u) == 0;
}

class StringBuffer final : public TextSink {
 public:
  /// Where the bytes are kept: storage of the buffer's own, or the calling thread's reusable
  /// storage, borrowed for the buffer's life when no other buffer of the thread holds it (a
  /// format call made from a __repr__ during another one gets storage of its own). A text that
  /// outgrows the thread's storage goes on in the storage of a str, which `take_str` returns
  /// when the text is ASCII; such a buffer needs the calling thread attached to the interpreter
  /// for its whole life.
  enum class Storage { kOwn, kThreadReusable };

  explicit StringBuffer(Storage storage = Storage::kOwn) noexcept;
  StringBuffer(const StringBuffer&) = delete;
  StringBuffer& operator=(const StringBuffer&) = delete;
  ~StringBuffer() override { release(); }

  /// Appends every fragment; never fails (running out of memory throws std::bad_alloc).
  IoResult write_fragments(std::span<const std::string_view> fragments) override;

  /// Appends one fragment: the non-virtual form of a write step, for callers that know the
  /// sink is a StringBuffer.
  void append(std::string_view text) {
    char* out = reserve(text.size());
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    used_ += text.size();
    if (!ascii_only(text)) non_ascii_ = unchecked_ = true;
  }
  /// Appends text known to be ASCII.
  void append_ascii(std::string_view text) {
    char* out = reserve(text.size());
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    used_ += text.size();
  }
  /// Appends ",\n" and `n` spaces, the end of a container's line and the start of the next:
  /// with up to thirty spaces in one 32-byte store.
  void append_line_end_and_spaces(size_t n) {
    char* out = reserve(n + 32);
    if (n <= 30) {
      std::memcpy(out, ",\n                              ", 32);
    } else {
      std::memcpy(out, ",\n", 2);
      std::memset(out + 2, ' ', n);
    }
    used_ += n + 2;
  }
  /// Removes the last `n` bytes (the text stays noted as possibly outside ASCII if it was).
  void drop(size_t n) noexcept { used_ -= n; }
  void push_back(char c) {
    *reserve(1) = c;
    ++used_;
    if (static_cast<unsigned char>(c) >= 0x80) non_ascii_ = unchecked_ = true;
  }

  /// Appends `n` spaces: up to sixteen in two stores, more in one fill.
  void append_spaces(size_t n) {
    char* out = reserve(n + 16);
    if (n <= 16) {
      std::memcpy(out, "                ", 16);
    } else {
      std::memset(out, ' ', n);
    }
    used_ += n;
  }

  /// Room for at least `n` more bytes at the end of the text; `commit` adds the bytes that
  /// were written there. Whoever commits bytes outside ASCII says so with `note_non_ascii`, or
  /// with `note_valid_utf8` when they are valid UTF-8 whatever the bytes written before and
  /// after them (whole forms, as the writers of text of this buffer make them).
  char* reserve(size_t n) {
    if (n > capacity_ - used_) [[unlikely]]
      grow(n);
    return data_ + used_;
  }
  void commit(size_t n) noexcept { used_ += n; }
  /// `reserve(n)` without growing: null when fewer than `n` bytes are free. For writers whose
  /// fast path makes no call, and so saves no registers, and who take a slower path then.
  char* try_reserve(size_t n) noexcept { return n <= capacity_ - used_ ? data_ + used_ : nullptr; }
  void note_non_ascii() noexcept { non_ascii_ = unchecked_ = true; }
  void note_valid_utf8() noexcept { non_ascii_ = true; }

  std::string_view view() const noexcept { return {data_, used_}; }
  size_t size() const noexcept { return used_; }
  /// Empties the text; keeps the storage unless it grew past `keep` bytes.
  void clear(size_t keep = SIZE_MAX);

  /// Consumes the buffer: a copy of its bytes when they are valid UTF-8, else empty text.
  std::string take_text() &&;

  /// Consumes the buffer into a str of exactly its text: ASCII text already in a str's storage
  /// is that str, cut to length; other ASCII text is copied once; text outside ASCII is
  /// decoded. Bytes that are not valid UTF-8 give the empty str, as for
  /// `take_text`. The internal failure "Python API call failed" if the str cannot be made.
  PyRef take_str() &&;

 private:
  MERVIK_NOINLINE void grow(size_t n);
  /// Drops the str the text went on in and takes the thread's storage back into data_.
  void leave_str() noexcept;
  /// Opens at least `n` more bytes of the str's room, which has them, to the text.
  void open_room(size_t n) noexcept;
  /// Frees the storage, or gives the thread's storage back: kept up to a modest size, and
  /// enlarged (untouched) to the length this text reached, for the thread's next call.
  void release() noexcept;

  // Storage doubles as it grows, through realloc or the str's resizing (both move large blocks
  // by remapping their pages instead of copying them). Only the first used_ of capacity_ bytes
  // are text.
  char* data_ = nullptr;
  size_t used_ = 0;
  size_t capacity_ = 0;
  bool non_ascii_ = false;       // some byte of the text may be outside ASCII
  bool unchecked_ = false;       // and some of those bytes may not be valid UTF-8
  bool thread_storage_ = false;  // the thread's reusable storage is lent to this buffer
  PyObject* str_ = nullptr;      // the str holding the text once it outgrew that storage
  size_t str_room_ = 0;          // its room; capacity_ is the part opened to the text so far
  char* kept_data_ = nullptr;    // meanwhile, the thread's storage
  size_t kept_capacity_ = 0;
};

}  // namespace mervik
