// Windows system error codes: their classification and the system's message text.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/os_error.h"
#include "platform/utf8.h"

namespace mervik::platform {
namespace detail {

/// The UTF-8 form of a UTF-16 message without its trailing White_Space characters, or nothing
/// when the units are not valid UTF-16.
std::optional<std::string> message_text_utf8(std::u16string_view units);

}  // namespace detail

namespace {

// An HRESULT made from an NT status carries this bit; the text then lives in ntdll.
constexpr uint32_t kNtFacilityBit = 0x10000000;
constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kMessageUnits = 2048;

// Unicode's White_Space property; every such character lies in the basic plane.
constexpr bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

std::optional<std::string> detail::message_text_utf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  size_t kept = 0;  // the length up to the last character that is not white space
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xDC00 && c <= 0xDFFF) return std::nullopt;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
        return std::nullopt;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    char encoded[kMaxUtf8Bytes];
    out.append(encoded, encode_utf8(c, encoded));
    if (!is_white_space(c)) kept = out.size();
  }
  out.resize(kept);
  return out;
}

IoErrorKind classify_os_error(int32_t code) noexcept { return classify_windows_error(code); }

std::string os_error_message(int32_t code) {
  uint32_t id = static_cast<uint32_t>(code);
  DWORD flags = kFromSystem;
  HMODULE source = nullptr;
  if ((id & kNtFacilityBit) != 0) {
    if (HMODULE ntdll = GetModuleHandleW(L"NTDLL.DLL"); ntdll != nullptr) {
      id &= ~kNtFacilityBit;
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
      source = ntdll;
    }
  }
  const std::string shown = std::to_string(static_cast<int32_t>(id));

  wchar_t buffer[kMessageUnits];
  const DWORD length = FormatMessageW(flags, source, id, 0, buffer, kMessageUnits, nullptr);
  if (length == 0) {
    const auto error = static_cast<int32_t>(GetLastError());
    return "OS Error " + shown + " (FormatMessageW() returned error " + std::to_string(error) + ")";
  }
  std::optional<std::string> text = detail::message_text_utf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
  if (!text) return "OS Error " + shown + " (FormatMessageW() returned invalid UTF-16)";
  return *std::move(text);
}

}  // namespace mervik::platform
