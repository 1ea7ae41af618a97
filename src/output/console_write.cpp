// The UTF-16 console mode of the standard-output writer.
#include "output/console_write.h"

#include <algorithm>

#include "platform/try.h"
#include "platform/utf8.h"

namespace mervik {
namespace {

using platform::IoError;
using platform::IoErrorKind;

IoError invalid_data() noexcept {
  return IoError::fixed(IoErrorKind::kInvalidData,
                        "Windows stdio in console mode does not support writing non-UTF-8 byte "
                        "sequences");
}

bool is_continuation(unsigned char byte) noexcept { return byte >= 0x80 && byte <= 0xBF; }

bool is_low_surrogate(char16_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }

/// The UTF-8 length of the units the console took; a low surrogate adds 1 because its high
/// surrogate already counted 3 of the character's 4 bytes.
size_t utf8_length(std::span<const char16_t> units) noexcept {
  size_t bytes = 0;
  for (const char16_t unit : units) {
    if (unit < 0x80 || is_low_surrogate(unit)) {
      bytes += 1;
    } else {
      bytes += unit < 0x800 ? 2 : 3;
    }
  }
  return bytes;
}

}  // namespace

ByteCount write_console_text(const platform::StdoutOps& ops, platform::StdoutHandle handle,
                             std::string_view text) {
  size_t size = std::min(text.size(), platform::kConsoleChunk);
  while (size < text.size() && is_continuation(static_cast<unsigned char>(text[size]))) --size;
  text = text.substr(0, size);

  char16_t area[platform::kConsoleChunk];
  const platform::OsCount converted = ops.utf8_to_utf16(text, std::span<char16_t>(area));
  if (!converted) return std::unexpected(IoError::from_os(converted.error()));
  const std::span<const char16_t> units(area, *converted);
  const platform::OsCount written = ops.write_console(handle, units);
  if (!written) return std::unexpected(IoError::from_os(written.error()));
  if (*written >= units.size()) return text.size();

  size_t taken = *written;
  // A character outside the basic plane must not be left half written: its low surrogate goes
  // out on its own, whatever the console says.
  if (is_low_surrogate(units[taken])) {
    (void)ops.write_console(handle, units.subspan(taken, 1));
    ++taken;
  }
  return utf8_length(units.first(taken));
}

ByteCount ConsoleWriter::write(const platform::StdoutOps& ops, platform::StdoutHandle handle,
                               std::string_view data) {
  if (pending_count_ > 0) {
    return write_pending_continuation(ops, handle, static_cast<unsigned char>(data[0]));
  }
  const std::string_view chunk = data.substr(0, platform::kConsoleChunk);
  const size_t valid = platform::utf8_valid_prefix(chunk);
  if (valid > 0) return write_console_text(ops, handle, chunk.substr(0, valid));

  const auto lead = static_cast<unsigned char>(data[0]);
  const size_t announced = static_cast<size_t>(platform::utf8_sequence_length(lead));
  if (announced < 2 || data.size() >= announced) return std::unexpected(invalid_data());
  pending_[0] = lead;
  pending_count_ = 1;
  return 1;
}

ByteCount ConsoleWriter::write_pending_continuation(const platform::StdoutOps& ops,
                                                    platform::StdoutHandle handle,
                                                    unsigned char byte) {
  if (!is_continuation(byte)) {
    pending_count_ = 0;
    return std::unexpected(invalid_data());
  }
  pending_[pending_count_++] = byte;
  if (pending_count_ < platform::utf8_sequence_length(pending_[0])) return 1;
  const std::string_view character = pending();
  pending_count_ = 0;
  if (!platform::is_valid_utf8(character)) return std::unexpected(invalid_data());
  MERVIK_TRY(write_console_text(ops, handle, character));
  return 1;
}

}  // namespace mervik
