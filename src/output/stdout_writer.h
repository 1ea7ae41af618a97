// StdoutWriter: the process-wide, line-buffered writer to the standard-output handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "format/text_sink.h"
#include "output/console_write.h"
#include "platform/stdout.h"

namespace mervik {

/// How the writer deals with the interpreter of its callers: gives it up while it waits for the
/// operating system or for its lock and takes it back (neither may run interpreter code), and
/// asks it what to do at the two points where a write cannot simply go on. The optional hooks
/// may be null.
struct InterpreterHooks {
  /// Whatever `release` needs to hand to the matching `reacquire`.
  struct Token {
    uintptr_t words[2];
  };
  Token (*release)() noexcept;
  void (*reacquire)(Token token) noexcept;
  /// Whether the interpreter is given up around system writes (always when null). Only a
  /// write that can wait on another thread of the process needs it; keeping the interpreter
  /// keeps other threads from running in the middle of a print.
  bool (*release_around_writes)() noexcept = nullptr;
  /// Before waiting for the lock held by another thread: an error when the wait could never end
  /// (interpreter shutdown), which fails the write step instead.
  IoResult (*before_wait)() noexcept = nullptr;
  /// After a system write was interrupted by a signal or cut short (which a signal may also
  /// cause), with the interpreter held: runs the signal handlers. An error (a handler's
  /// exception) ends the write; else the rest is written.
  IoResult (*after_interrupt)() noexcept = nullptr;
};

/// Hooks that do nothing, for code that does not hold an interpreter.
extern const InterpreterHooks kNoInterpreterHooks;

/// Writes finished UTF-8 fragments to standard output through a fixed 1024-byte buffer. Every
/// line break in a write step sends everything up to the last one to the operating system
/// before the step returns; text after it waits for a later line break or a full buffer.
/// Nothing else flushes it, not even process exit.
///
/// A print takes the writer for runs of write steps (LineRunTarget) and hands over the finished
/// lines of many steps at once, in writes of up to 64 KiB. Nobody in the process can tell: the
/// finished lines of a run reach the system before any interpreter code runs during the print
/// (a repr() of a leaf that is not native text, an attribute lookup or str() that may run code,
/// a released reference whose destructor may run, the signal check), before the interpreter is
/// released for any reason, when 64 KiB have gathered, and before the print returns; steps that
/// would send part of an unfinished line go through the buffer one by one, so unfinished lines
/// reach the system in exactly the same pieces; and no other thread can take the lock in the
/// middle of a run, since none can run. Escaped bytes fill the buffer under one hold
/// of the lock through `write_escaped`.
///
/// After fork() the child gets a usable writer: when another thread held the lock at the fork,
/// the lock is made anew and that thread's unfinished buffer content, which belongs to the
/// parent, is dropped.
class StdoutWriter final : public LineRunTarget {
 public:
  static constexpr size_t kCapacity = 1024;

  /// The one writer of the process over the real platform: created on first use (concurrent
  /// first callers wait), never destroyed.
  static StdoutWriter& instance();

  /// An independent writer over `ops`, for tests.
  explicit StdoutWriter(const platform::StdoutOps& ops) noexcept : ops_(ops) {}
  StdoutWriter(const StdoutWriter&) = delete;
  StdoutWriter& operator=(const StdoutWriter&) = delete;

  /// Installs the hooks used around every raw write and every contended wait for the lock.
  /// `hooks` must be static; meant to be called once, before the first write.
  void set_interpreter_hooks(const InterpreterHooks* hooks) noexcept {
    hooks_.store(hooks, std::memory_order_release);
  }

  /// Writes one write step under the lock (re-entrant by thread), stopping at the first
  /// failure. On failure the buffer keeps every accepted byte that was not written.
  IoResult write_fragments(std::span<const std::string_view> fragments) override;

  size_t line_capacity() const noexcept override { return kCapacity; }
  IoResult open_run() override { return lock(); }
  std::string_view take_unfinished() noexcept override {
    return {buffer_, std::exchange(used_, size_t{0})};
  }
  IoResult write_run(std::string_view text) override;
  void close_run() noexcept override { unlock(); }

  /// Writes the escapes of `bytes` as print_escaped_bytes does, one write step per byte ("\\x"
  /// and two digits, or "\\x", "0" and one digit), but under one hold of the lock: the buffer
  /// fills and goes out exactly as for those steps, and stops at the same failure.
  IoResult write_escaped(std::string_view bytes);

  /// True when standard output is a pipe, FIFO or socket, which a thread of this process may be
  /// the reader of.
  bool writes_to_pipe() const noexcept {
    if (ops_.is_pipe == nullptr) return false;
    const auto handle = ops_.get_handle();
    return handle && ops_.is_pipe(*handle);
  }

  /// The bytes waiting in the buffer; only meaningful while no other thread writes.
  std::string_view buffered() const noexcept { return {buffer_, used_}; }
  /// The start of a character held back by the console mode.
  std::string_view pending_utf8() const noexcept { return console_.pending(); }

 private:
  IoResult lock();
  void unlock() noexcept;
  void reset_in_child() noexcept;
  IoResult interrupted() noexcept;

  IoResult write_all(std::string_view data);
  IoResult append(std::string_view data);
  IoResult flush();
  /// Writes `data` from `done` on as the buffer is flushed, advancing `done`.
  IoResult write_buffered(std::string_view data, size_t& done);
  IoResult write_direct(std::string_view data);
  ByteCount raw_write(std::string_view data);
  ByteCount raw_write_released(std::string_view data);

  bool is_invalid_handle(const platform::IoError& error) const noexcept;
  bool is_interrupted(const platform::IoError& error) const noexcept;

  const platform::StdoutOps ops_;
  std::atomic<const InterpreterHooks*> hooks_{&kNoInterpreterHooks};

  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  uint32_t count_ = 0;

  // Touched only by the lock's owner.
  char buffer_[kCapacity];
  size_t used_ = 0;
  ConsoleWriter console_;
};

}  // namespace mervik
