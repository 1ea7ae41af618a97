// StringBuffer: the in-memory sink of the format calls.
#pragma once

#include <string>

#include "format/text_sink.h"

namespace mervik {

class StringBuffer final : public TextSink {
 public:
  /// Appends every fragment; never fails (running out of memory throws std::bad_alloc).
  IoResult write_fragments(std::span<const std::string_view> fragments) override;

  /// Consumes the buffer: its bytes as they stand when they are valid UTF-8, else empty text.
  std::string take_text() &&;

  size_t size() const noexcept { return bytes_.size(); }

 private:
  std::string bytes_;
};

}  // namespace mervik
