// I/O error values reported by text sinks: an OS error code, a bare kind, a kind with a fixed
// message, or a kind with a payload of its own. No Python objects are involved.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace mervik::platform {

/// The 42 kinds an I/O error can have; the numbering is part of the error tables.
enum class IoErrorKind : uint8_t {
  kNotFound = 0,
  kPermissionDenied = 1,
  kConnectionRefused = 2,
  kConnectionReset = 3,
  kHostUnreachable = 4,
  kNetworkUnreachable = 5,
  kConnectionAborted = 6,
  kNotConnected = 7,
  kAddrInUse = 8,
  kAddrNotAvailable = 9,
  kNetworkDown = 10,
  kBrokenPipe = 11,
  kAlreadyExists = 12,
  kWouldBlock = 13,
  kNotADirectory = 14,
  kIsADirectory = 15,
  kDirectoryNotEmpty = 16,
  kReadOnlyFilesystem = 17,
  kFilesystemLoop = 18,
  kStaleNetworkFileHandle = 19,
  kInvalidInput = 20,
  kInvalidData = 21,
  kTimedOut = 22,
  kWriteZero = 23,
  kStorageFull = 24,
  kNotSeekable = 25,
  kQuotaExceeded = 26,
  kFileTooLarge = 27,
  kResourceBusy = 28,
  kExecutableFileBusy = 29,
  kDeadlock = 30,
  kCrossesDevices = 31,
  kTooManyLinks = 32,
  kInvalidFilename = 33,
  kArgumentListTooLong = 34,
  kInterrupted = 35,
  kUnsupported = 36,
  kUnexpectedEof = 37,
  kOutOfMemory = 38,
  kInProgress = 39,
  kOther = 40,
  kUncategorized = 41,
};

inline constexpr int kIoErrorKindCount = 42;

/// The fixed description of a kind, such as "write zero".
std::string_view kind_description(IoErrorKind kind) noexcept;

/// A payload with a display text of its own, for errors that carry more than a message.
class IoErrorPayload {
 public:
  virtual ~IoErrorPayload() = default;
  virtual std::string display_text() const = 0;
};

class IoError {
 public:
  struct Os {
    int32_t code;
  };
  struct Bare {
    IoErrorKind kind;
  };
  struct Fixed {
    IoErrorKind kind;
    const char* message;  // static text
  };
  struct Custom {
    IoErrorKind kind;
    std::shared_ptr<const IoErrorPayload> payload;
  };

  static IoError from_os(int32_t code) noexcept { return IoError(Os{code}); }
  static IoError from_kind(IoErrorKind kind) noexcept { return IoError(Bare{kind}); }
  static IoError fixed(IoErrorKind kind, const char* message) noexcept {
    return IoError(Fixed{kind, message});
  }
  static IoError custom(IoErrorKind kind, std::shared_ptr<const IoErrorPayload> payload) noexcept {
    return IoError(Custom{kind, std::move(payload)});
  }

  /// The kind: carried directly, or classified from the OS code.
  IoErrorKind kind() const noexcept;
  /// The payload, if this error carries one.
  const IoErrorPayload* payload() const noexcept {
    const auto* custom = std::get_if<Custom>(&value_);
    return custom != nullptr ? custom->payload.get() : nullptr;
  }
  /// The OS code, if this is an OS error.
  const int32_t* os_code() const noexcept {
    return std::get_if<Os>(&value_) ? &std::get<Os>(value_).code : nullptr;
  }
  /// "message (os error N)", the kind's description, the fixed message or the payload's text.
  std::string display_text() const;

  bool operator==(const IoError& other) const noexcept;

 private:
  explicit IoError(std::variant<Os, Bare, Fixed, Custom> value) noexcept
      : value_(std::move(value)) {}
  std::variant<Os, Bare, Fixed, Custom> value_;
};

}  // namespace mervik::platform
