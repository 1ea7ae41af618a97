// I/O error kinds, their descriptions and display texts.
#include "platform/io_error.h"

#include <array>

#include "platform/os_error.h"

namespace mervik::platform {
namespace {

constexpr std::array<std::string_view, kIoErrorKindCount> kDescriptions = {
    "entity not found",
    "permission denied",
    "connection refused",
    "connection reset",
    "host unreachable",
    "network unreachable",
    "connection aborted",
    "not connected",
    "address in use",
    "address not available",
    "network down",
    "broken pipe",
    "entity already exists",
    "operation would block",
    "not a directory",
    "is a directory",
    "directory not empty",
    "read-only filesystem or storage medium",
    "filesystem loop or indirection limit (e.g. symlink loop)",
    "stale network file handle",
    "invalid input parameter",
    "invalid data",
    "timed out",
    "write zero",
    "no storage space",
    "seek on unseekable file",
    "quota exceeded",
    "file too large",
    "resource busy",
    "executable file busy",
    "deadlock",
    "cross-device link or rename",
    "too many links",
    "invalid filename",
    "argument list too long",
    "operation interrupted",
    "unsupported",
    "unexpected end of file",
    "out of memory",
    "in progress",
    "other error",
    "uncategorized error",
};

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

std::string_view kind_description(IoErrorKind kind) noexcept {
  return kDescriptions[static_cast<size_t>(kind)];
}

IoErrorKind IoError::kind() const noexcept {
  return std::visit(Overloaded{
                        [](const Os& e) { return classify_os_error(e.code); },
                        [](const Bare& e) { return e.kind; },
                        [](const Fixed& e) { return e.kind; },
                        [](const Custom& e) { return e.kind; },
                    },
                    value_);
}

std::string IoError::display_text() const {
  return std::visit(Overloaded{
                        [](const Os& e) {
                          return os_error_message(e.code) + " (os error " + std::to_string(e.code) +
                                 ")";
                        },
                        [](const Bare& e) { return std::string(kind_description(e.kind)); },
                        [](const Fixed& e) { return std::string(e.message); },
                        [](const Custom& e) { return e.payload->display_text(); },
                    },
                    value_);
}

bool IoError::operator==(const IoError& other) const noexcept {
  if (value_.index() != other.value_.index()) return false;
  return std::visit(
      Overloaded{
          [&](const Os& e) { return e.code == std::get<Os>(other.value_).code; },
          [&](const Bare& e) { return e.kind == std::get<Bare>(other.value_).kind; },
          [&](const Fixed& e) {
            const auto& o = std::get<Fixed>(other.value_);
            return e.kind == o.kind && std::string_view(e.message) == o.message;
          },
          [&](const Custom& e) { return e.payload == std::get<Custom>(other.value_).payload; },
      },
      value_);
}

}  // namespace mervik::platform
