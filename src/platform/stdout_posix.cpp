// Standard output on POSIX: file descriptor 1 and write(2); there is no console mode.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/stdout_system.h"
#include "platform/utf8.h"

namespace mervik::platform {
namespace system_stdout {

std::expected<StdoutHandle, int32_t> get_handle() noexcept { return STDOUT_FILENO; }

bool is_console(StdoutHandle) noexcept { return false; }

uint32_t console_output_code_page() noexcept { return kUtf8CodePage; }

OsCount write_bytes(StdoutHandle handle, std::span<const char> bytes) noexcept {
  const size_t size = std::min<size_t>(bytes.size(), SSIZE_MAX);
  const ssize_t written = ::write(static_cast<int>(handle), bytes.data(), size);
  if (written < 0) return std::unexpected(errno);
  return static_cast<size_t>(written);
}

OsCount utf8_to_utf16(std::string_view text, std::span<char16_t> out) noexcept {
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    const ptrdiff_t len = utf8_check_character(text.substr(i));
    if (len < 0) return std::unexpected(EILSEQ);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data() + i);
    char32_t c = len == 1 ? p[0] : p[0] & (0x7F >> len);
    for (ptrdiff_t k = 1; k < len; ++k) c = (c << 6) | (p[k] & 0x3F);
    i += static_cast<size_t>(len);
    const size_t units = c >= 0x10000 ? 2 : 1;
    if (out.size() - n < units) return std::unexpected(ENOBUFS);
    if (units == 2) {
      out[n++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out[n++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out[n++] = static_cast<char16_t>(c);
    }
  }
  return n;
}

OsCount write_console(StdoutHandle, std::span<const char16_t>) noexcept {
  return std::unexpected(ENOTTY);
}

bool is_interrupted(int32_t code) noexcept { return code == EINTR; }

bool is_pipe(StdoutHandle handle) noexcept {
  struct stat st;
  if (::fstat(static_cast<int>(handle), &st) != 0) return false;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

// A closed descriptor 1 is the POSIX form of "no standard output".
int32_t invalid_handle_code() noexcept { return EBADF; }

}  // namespace system_stdout

void at_fork_in_child(void (*handler)()) noexcept { ::pthread_atfork(nullptr, nullptr, handler); }

}  // namespace mervik::platform
