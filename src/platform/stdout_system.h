// The operations of this platform's standard output, defined by stdout_posix.cpp or
// stdout_windows.cpp and gathered into the one StdoutOps table by stdout_ops.cpp.
#pragma once

#include "platform/stdout.h"

namespace mervik::platform::system_stdout {

std::expected<StdoutHandle, int32_t> get_handle() noexcept;
bool is_console(StdoutHandle handle) noexcept;
uint32_t console_output_code_page() noexcept;
OsCount write_bytes(StdoutHandle handle, std::span<const char> bytes) noexcept;
OsCount utf8_to_utf16(std::string_view text, std::span<char16_t> out) noexcept;
OsCount write_console(StdoutHandle handle, std::span<const char16_t> units) noexcept;
bool is_interrupted(int32_t code) noexcept;
bool is_pipe(StdoutHandle handle) noexcept;
/// The code that means "no usable handle" (StdoutOps::invalid_handle_code).
int32_t invalid_handle_code() noexcept;

}  // namespace mervik::platform::system_stdout
