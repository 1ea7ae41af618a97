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

/// A line-buffered destination that can take a run of write steps at once. While a run is open
/// its user has the destination to itself, holds its unfinished line, and hands over finished
/// lines in bulk; the destination must then end up exactly where the same steps, written one by
/// one, would have left it, as long as none of them would have sent part of an unfinished line
/// on its own (the user writes those steps through `write_fragments`).
class LineRunTarget : public TextSink {
 public:
  /// How long an unfinished line may grow before the destination sends part of it.
  virtual size_t line_capacity() const noexcept = 0;
  /// Takes the destination for this thread until `close_run` (runs nest).
  virtual IoResult open_run() = 0;
  /// Hands the unfinished line over to the run, leaving none: valid until the next call.
  virtual std::string_view take_unfinished() noexcept = 0;
  /// Sends `text` up to its last line break as finished lines and keeps the rest (at most
  /// `line_capacity()` bytes) as the unfinished line. After a failure the unwritten rest of the
  /// line being sent stays as the unfinished line, as when its own step had failed.
  virtual IoResult write_run(std::string_view text) = 0;
  virtual void close_run() noexcept = 0;
};

}  // namespace mervik
