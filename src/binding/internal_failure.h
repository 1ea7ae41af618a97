// Internal failures: broken invariants that unwind a body up to the call guard, which raises
// them as PanicException.
#pragma once

#include <exception>
#include <optional>
#include <string>

namespace mervik {

/// The one C++ exception type of the module. Only the call guard catches it.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  /// A failure that carries no message text ("panic from native code").
  InternalFailure() = default;

  const std::optional<std::string>& message() const noexcept { return message_; }
  const char* what() const noexcept override {
    return message_ ? message_->c_str() : "panic from native code";
  }

 private:
  std::optional<std::string> message_;
};

/// Reports the failure on standard error and throws it.
[[noreturn]] void fail(std::string message);

/// A C-API call returned null where it must not: prints and clears the pending exception, then
/// fails with "Python API call failed".
[[noreturn]] void api_call_failed();

}  // namespace mervik
