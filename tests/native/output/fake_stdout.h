// A scripted standard output for the writer's tests: system writes, a console, and hooks that
// record when the interpreter would be released.
#pragma once

#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "output/stdout_writer.h"
#include "platform/io_error.h"
#include "platform/stdout.h"

namespace mervik::platform {
inline void PrintTo(const IoError& error, std::ostream* os) { *os << error.display_text(); }
}  // namespace mervik::platform

namespace mervik::testing {

/// What one scripted system or console call does: take at most `limit` bytes or units, or
/// fail with `error`.
struct Step {
  size_t limit = std::numeric_limits<size_t>::max();
  int32_t error = 0;
};
inline Step accept(size_t limit) { return {.limit = limit}; }
inline Step fail(int32_t code) { return {.error = code}; }

/// The fake platform's state; the one live instance is reached through `current()`.
struct FakeStdout {
  FakeStdout() { current() = this; }
  ~FakeStdout() { current() = nullptr; }

  static FakeStdout*& current() {
    static FakeStdout* fake = nullptr;
    return fake;
  }

  std::mutex mutex;
  int32_t handle_error = 0;  // a failed handle lookup when non-zero
  bool console = false;
  uint32_t code_page = platform::kUtf8CodePage;

  std::deque<Step> script;          // one step per system write; accept all once empty
  std::vector<std::string> writes;  // the bytes each successful system write took
  std::function<void()> during_write;  // runs inside each system write, outside the mutex

  std::deque<Step> console_script;  // one step per console write
  std::u16string console_out;
  std::vector<size_t> console_requests;  // units offered by each console write

  std::vector<std::string> events;  // "release", "reacquire", "write N", "error N"

  std::string out() {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }
  void log(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }

  static Step next(std::deque<Step>& steps) {
    if (steps.empty()) return {};
    const Step step = steps.front();
    steps.pop_front();
    return step;
  }
};

inline const platform::StdoutOps kFakeOps = {
    .get_handle = []() noexcept -> std::expected<platform::StdoutHandle, int32_t> {
      const int32_t error = FakeStdout::current()->handle_error;
      if (error != 0) return std::unexpected(error);
      return 1;
    },
    .is_console = [](platform::StdoutHandle) noexcept { return FakeStdout::current()->console; },
    .console_output_code_page = []() noexcept { return FakeStdout::current()->code_page; },
    .write_bytes = [](platform::StdoutHandle,
                      std::span<const char> bytes) noexcept -> platform::OsCount {
      FakeStdout& fake = *FakeStdout::current();
      if (fake.during_write) fake.during_write();
      std::lock_guard lock(fake.mutex);
      const Step step = FakeStdout::next(fake.script);
      if (step.error != 0) {
        fake.events.push_back("error " + std::to_string(step.error));
        return std::unexpected(step.error);
      }
      const size_t n = std::min(step.limit, bytes.size());
      fake.writes.emplace_back(bytes.data(), n);
      fake.events.push_back("write " + std::to_string(n));
      return n;
    },
    .utf8_to_utf16 = platform::system_stdout_ops().utf8_to_utf16,
    .write_console = [](platform::StdoutHandle,
                        std::span<const char16_t> units) noexcept -> platform::OsCount {
      FakeStdout& fake = *FakeStdout::current();
      std::lock_guard lock(fake.mutex);
      fake.console_requests.push_back(units.size());
      const Step step = FakeStdout::next(fake.console_script);
      if (step.error != 0) return std::unexpected(step.error);
      const size_t n = std::min(step.limit, units.size());
      fake.console_out.append(units.data(), n);
      return n;
    },
    .is_interrupted = [](int32_t code) noexcept { return code == EINTR; },
    .invalid_handle_code = EBADF,
};

/// Hooks that log "release" and "reacquire" in the current fake.
inline const InterpreterHooks kRecordingHooks = {
    .release =
        []() noexcept {
          FakeStdout::current()->log("release");
          return InterpreterHooks::Token{};
        },
    .reacquire = [](InterpreterHooks::Token) noexcept { FakeStdout::current()->log("reacquire"); },
};

}  // namespace mervik::testing
