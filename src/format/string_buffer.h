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

class StringBuffer final : public TextSink {
 public:
  /// Where the bytes are kept: plain memory, or the storage of the str that `take_str` returns
  /// (which needs the calling thread attached to the interpreter for the buffer's whole life).
  enum class Storage { kMemory, kStr };

  explicit StringBuffer(Storage storage = Storage::kMemory) noexcept
      : into_str_(storage == Storage::kStr) {}
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
  }
  void push_back(char c) {
    *reserve(1) = c;
    ++used_;
  }

  /// Appends `n` spaces (n at most a few thousand), eight at a time.
  void append_spaces(size_t n) {
    char* out = reserve(n + 8);
    for (size_t i = 0; i < n; i += 8) std::memcpy(out + i, "        ", 8);
    used_ += n;
  }

  /// Room for at least `n` more bytes at the end of the text; `commit` adds the bytes that
  /// were written there.
  char* reserve(size_t n) {
    if (n > capacity_ - used_) [[unlikely]] grow(n);
    return data_ + used_;
  }
  void commit(size_t n) noexcept { used_ += n; }

  std::string_view view() const noexcept { return {data_, used_}; }
  size_t size() const noexcept { return used_; }
  /// Empties the text; keeps the storage unless it grew past `keep` bytes.
  void clear(size_t keep = SIZE_MAX);

  /// Consumes the buffer: a copy of its bytes when they are valid UTF-8, else empty text.
  /// (`take_str` makes the format calls' str without this intermediate copy.)
  std::string take_text() &&;

  /// Consumes the buffer into a str. ASCII text kept in a str's storage becomes the result
  /// itself, without a copy; other text is copied once into a new str. Bytes that are not valid
  /// UTF-8 give the empty str, as for `take_text`. The internal failure "Python API call
  /// failed" if the str cannot be made.
  PyRef take_str() &&;

 private:
  MERVIK_NOINLINE void grow(size_t n);
  void release() noexcept;

  // Storage doubles as it grows. In memory it is malloc'd and grown with realloc, which
  // moves large blocks by remapping their pages instead of copying them; in a str (compact
  // ASCII, resized in place) likewise through the interpreter's allocator. Only the first used_
  // of capacity_ bytes are text; a str holding bytes outside ASCII is never handed out.
  char* data_ = nullptr;
  size_t used_ = 0;
  size_t capacity_ = 0;
  PyObject* str_ = nullptr;
  const bool into_str_;
};

}  // namespace mervik
