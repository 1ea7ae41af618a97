// ConsoleWriter: writes UTF-8 bytes as UTF-16 units to a console whose code page is not UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

#include "platform/io_error.h"
#include "platform/stdout.h"

namespace mervik {

/// A count of bytes taken from the caller's data, or the failure.
using ByteCount = std::expected<size_t, platform::IoError>;

/// The console half of one raw write. It keeps the start of a character that arrived without
/// its continuation bytes until the next write supplies them. Used only by the lock holder.
class ConsoleWriter {
 public:
  /// Writes a prefix of `data` (non-empty) and returns how many of its bytes count as written:
  /// 0 when the console took nothing, 1 for a byte held back as the start of a character. Bytes
  /// that are not UTF-8 fail with kind "invalid data".
  ByteCount write(const platform::StdoutOps& ops, platform::StdoutHandle handle,
                  std::string_view data);

  /// The bytes held back so far (0 to 3).
  std::string_view pending() const noexcept {
    return {reinterpret_cast<const char*>(pending_), pending_count_};
  }

 private:
  ByteCount write_pending_continuation(const platform::StdoutOps& ops,
                                       platform::StdoutHandle handle, unsigned char byte);

  unsigned char pending_[4] = {};
  uint8_t pending_count_ = 0;
};

/// Converts valid UTF-8 `text` (at most its first 4096 bytes, cut on a character boundary) and
/// writes it to the console; returns the UTF-8 length of the units the console took.
ByteCount write_console_text(const platform::StdoutOps& ops, platform::StdoutHandle handle,
                             std::string_view text);

}  // namespace mervik
