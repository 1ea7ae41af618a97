// Standard output on Windows: the process's standard-output handle, synchronous NtWriteFile for
// files, pipes and UTF-8 consoles, and WriteConsoleW for a console with another code page.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <climits>

#include "platform/stdout_system.h"

// ntdll's write, which reports a write that has not completed instead of waiting for it. The
// user-mode headers do not declare it.
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc_routine,
                                      PVOID apc_context, PIO_STATUS_BLOCK io_status, PVOID buffer,
                                      ULONG length, PLARGE_INTEGER byte_offset, PULONG key);

namespace mervik::platform::system_stdout {
namespace {

constexpr size_t kMaxWrite = 0xFFFFFFFF;  // NtWriteFile takes a 32-bit length
constexpr auto kStatusPending = static_cast<NTSTATUS>(STATUS_PENDING);

HANDLE as_handle(StdoutHandle handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

[[noreturn]] void abort_not_synchronous() noexcept {
  static constexpr char kMessage[] =
      "fatal runtime error: I/O error: operation failed to complete synchronously, aborting\n";
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(error, kMessage, sizeof kMessage - 1, &written, nullptr);
  }
  __fastfail(FAST_FAIL_FATAL_APP_EXIT);
}

}  // namespace

std::expected<StdoutHandle, int32_t> get_handle() noexcept {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == INVALID_HANDLE_VALUE) return std::unexpected(static_cast<int32_t>(GetLastError()));
  if (handle == nullptr) return std::unexpected(ERROR_INVALID_HANDLE);
  return reinterpret_cast<StdoutHandle>(handle);
}

bool is_console(StdoutHandle handle) noexcept {
  DWORD mode = 0;
  return GetConsoleMode(as_handle(handle), &mode) != 0;
}

uint32_t console_output_code_page() noexcept { return GetConsoleOutputCP(); }

// The handle may have been opened for overlapped I/O by whoever set it up. The write is made
// synchronous by waiting for the handle itself; the status block stays on this frame, so a
// write that is still pending after the wait cannot be abandoned safely.
OsCount write_bytes(StdoutHandle handle, std::span<const char> bytes) noexcept {
  const auto size = static_cast<ULONG>(std::min(bytes.size(), kMaxWrite));
  IO_STATUS_BLOCK io{};
  io.Status = kStatusPending;
  NTSTATUS status = NtWriteFile(as_handle(handle), nullptr, nullptr, nullptr, &io,
                                const_cast<char*>(bytes.data()), size, nullptr, nullptr);
  if (status == kStatusPending) {
    WaitForSingleObject(as_handle(handle), INFINITE);
    status = io.Status;
    if (status == kStatusPending) abort_not_synchronous();
  }
  if (!NT_SUCCESS(status)) {
    return std::unexpected(static_cast<int32_t>(RtlNtStatusToDosError(status)));
  }
  return static_cast<size_t>(io.Information);
}

OsCount utf8_to_utf16(std::string_view text, std::span<char16_t> out) noexcept {
  if (text.empty()) return 0;
  if (text.size() > INT_MAX) return std::unexpected(ERROR_INVALID_PARAMETER);
  const int room = static_cast<int>(std::min<size_t>(out.size(), INT_MAX));
  const int units =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                          reinterpret_cast<wchar_t*>(out.data()), room);
  if (units == 0) return std::unexpected(static_cast<int32_t>(GetLastError()));
  return static_cast<size_t>(units);
}

OsCount write_console(StdoutHandle handle, std::span<const char16_t> units) noexcept {
  const auto count = static_cast<DWORD>(std::min<size_t>(units.size(), MAXDWORD));
  DWORD written = 0;
  if (!WriteConsoleW(as_handle(handle), units.data(), count, &written, nullptr)) {
    return std::unexpected(static_cast<int32_t>(GetLastError()));
  }
  return static_cast<size_t>(written);
}

// Windows has no interrupted system calls.
bool is_interrupted(int32_t) noexcept { return false; }

// Anonymous and named pipes (sockets too report FILE_TYPE_PIPE).
bool is_pipe(StdoutHandle handle) noexcept {
  return GetFileType(as_handle(handle)) == FILE_TYPE_PIPE;
}

int32_t invalid_handle_code() noexcept { return ERROR_INVALID_HANDLE; }

}  // namespace mervik::platform::system_stdout

namespace mervik::platform {

void at_fork_in_child(void (*)()) noexcept {}

}  // namespace mervik::platform
