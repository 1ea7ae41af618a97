// The operating-system operations behind the standard-output writer, as one table of plain
// function pointers so that tests can substitute a scripted platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

namespace mervik::platform {

/// The standard-output handle: a file descriptor on POSIX, a HANDLE value on Windows.
using StdoutHandle = intptr_t;

/// A count of bytes or code units written, or the operating system's error code.
using OsCount = std::expected<size_t, int32_t>;

/// The console output code page that takes UTF-8 bytes as they are.
inline constexpr uint32_t kUtf8CodePage = 65001;

/// Most UTF-16 units one console conversion produces, and most bytes it consumes.
inline constexpr size_t kConsoleChunk = 4096;

struct StdoutOps {
  /// Looks the handle up afresh; fails with `invalid_handle_code` when the process has none,
  /// or with the code of a failed lookup.
  std::expected<StdoutHandle, int32_t> (*get_handle)() noexcept;
  /// True when the handle is an interactive console (false for files and pipes).
  bool (*is_console)(StdoutHandle handle) noexcept;
  /// The console's output code page; `kUtf8CodePage` means bytes go out unconverted.
  uint32_t (*console_output_code_page)() noexcept;
  /// One system write of a prefix of `bytes` (the platform caps the size of one call).
  OsCount (*write_bytes)(StdoutHandle handle, std::span<const char> bytes) noexcept;
  /// Converts valid UTF-8 into `out`; returns the number of units produced.
  OsCount (*utf8_to_utf16)(std::string_view text, std::span<char16_t> out) noexcept;
  /// Writes UTF-16 units to a console; returns how many were written.
  OsCount (*write_console)(StdoutHandle handle, std::span<const char16_t> units) noexcept;
  /// True for the code of an interrupted call, which the writer retries.
  bool (*is_interrupted)(int32_t code) noexcept;
  /// The code that means "no usable handle": output is then discarded without an error.
  int32_t invalid_handle_code;
  /// True when a write to the handle can wait for a reader that may be a thread of this very
  /// process: a pipe, FIFO or socket (not a file, terminal or other device).
  bool (*is_pipe)(StdoutHandle handle) noexcept = nullptr;
};

/// The real operations of this platform (a static table).
const StdoutOps& system_stdout_ops() noexcept;

/// Registers `handler` to run in the child process after fork(), in the thread that forked;
/// nothing on platforms without fork. Handlers cannot be removed.
void at_fork_in_child(void (*handler)()) noexcept;

}  // namespace mervik::platform
