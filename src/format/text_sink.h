// TextSink: the interface every rendering writes through.
#pragma once

#include <expected>
#include <initializer_list>
#include <span>
#include <string_view>

#include "platform/io_error.h"

namespace mervik {

using IoResult = std::expected<void, platform::IoError>;

class TextSink {
 public:
  virtual ~TextSink() = default;

  /// Writes the fragments, in order, as one unit; stops at the first failure. A sink with a
  /// lock holds it for exactly this call. Fragments are finished UTF-8 text: no interpreter code
  /// runs inside.
  virtual IoResult write_fragments(std::span<const std::string_view> fragments) = 0;

  IoResult write(std::initializer_list<std::string_view> fragments) {
    return write_fragments(std::span(fragments.begin(), fragments.size()));
  }
};

}  // namespace mervik
