// The line-buffered standard-output writer: its lock, buffer rules and write loops.
#include "output/stdout_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>

#include "output/byte_escapes.h"
#include "platform/try.h"

namespace mervik {
namespace {

using platform::IoError;
using platform::IoErrorKind;

constexpr char kLineBreak = '\n';

}  // namespace

const InterpreterHooks kNoInterpreterHooks = {
    .release = []() noexcept { return InterpreterHooks::Token{}; },
    .reacquire = [](InterpreterHooks::Token) noexcept {},
};

StdoutWriter& StdoutWriter::instance() {
  // Never deleted: the writer outlives every thread that may still print at exit.
  static StdoutWriter* const writer = [] {
    auto* created = new StdoutWriter(platform::system_stdout_ops());
    platform::at_fork_in_child([] { instance().reset_in_child(); });
    return created;
  }();
  return *writer;
}

void StdoutWriter::reset_in_child() noexcept {
  const std::thread::id holder = owner_.load(std::memory_order_relaxed);
  // The forking thread's own step goes on in the child (a signal handler may fork).
  if (holder == std::this_thread::get_id()) return;
  // The lock may be held by a thread that does not exist in the child, possibly in the moment
  // before it recorded itself as owner: it is made anew either way.
  std::construct_at(&mutex_);
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  count_ = 0;
  if (holder != std::thread::id()) {
    used_ = 0;
    console_ = ConsoleWriter();
  }
}

IoResult StdoutWriter::write_fragments(std::span<const std::string_view> fragments) {
  MERVIK_TRY(lock());
  IoResult result;
  for (const std::string_view fragment : fragments) {
    result = write_all(fragment);
    if (!result) break;
  }
  unlock();
  return result;
}

IoResult StdoutWriter::lock() {
  const std::thread::id self = std::this_thread::get_id();
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++count_;
    return {};
  }
  // Waiting while holding the interpreter could deadlock against a holder that needs it back
  // after a raw write, so a busy lock is awaited without it.
  if (!mutex_.try_lock()) {
    const InterpreterHooks* hooks = hooks_.load(std::memory_order_acquire);
    if (hooks->before_wait != nullptr) MERVIK_TRY(hooks->before_wait());
    const InterpreterHooks::Token token = hooks->release();
    mutex_.lock();
    hooks->reacquire(token);
  }
  owner_.store(self, std::memory_order_relaxed);
  count_ = 1;
  return {};
}

IoResult StdoutWriter::interrupted() noexcept {
  const InterpreterHooks* hooks = hooks_.load(std::memory_order_acquire);
  return hooks->after_interrupt != nullptr ? hooks->after_interrupt() : IoResult{};
}

void StdoutWriter::unlock() noexcept {
  if (--count_ > 0) return;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

IoResult StdoutWriter::write_run(std::string_view text) {
  const size_t last = text.rfind(kLineBreak);
  if (last != std::string_view::npos) {
    const std::string_view lines = text.substr(0, last + 1);
    size_t done = 0;
    if (IoResult result = write_buffered(lines, done); !result) {
      // What the step of the failed line would have left: the unwritten rest of that line.
      const std::string_view rest = lines.substr(done, lines.find(kLineBreak, done) + 1 - done);
      if (rest.size() <= kCapacity) {
        std::memcpy(buffer_, rest.data(), rest.size());
        used_ = rest.size();
      }
      return result;
    }
    text.remove_prefix(last + 1);
  }
  if (text.empty()) return {};
  if (text.size() > kCapacity - used_) return write_all(text);
  std::memcpy(buffer_ + used_, text.data(), text.size());
  used_ += text.size();
  return {};
}

IoResult StdoutWriter::write_escaped(std::string_view bytes) {
  MERVIK_TRY(lock());
  IoResult result;
  if (used_ > 0 && buffer_[used_ - 1] == kLineBreak) result = flush();
  const auto* next = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = next + bytes.size();
  while (result && next != end) {
    // Escapes that fit whole need no checks; the step that reaches the end of the buffer goes
    // fragment by fragment, each flushing the buffer first when it does not fit.
    const size_t whole = std::min<size_t>((kCapacity - used_) / 4, static_cast<size_t>(end - next));
    for (const unsigned char* stop = next + whole; next != stop; ++next) {
      std::memcpy(buffer_ + used_, kByteEscapes[*next].data(), 4);
      used_ += 4;
    }
    if (next == end) break;
    const std::string_view escape(kByteEscapes[*next].data(), 4);
    const std::string_view two_digits[] = {escape.substr(0, 2), escape.substr(2, 2)};
    const std::string_view zero_and_digit[] = {escape.substr(0, 2), "0", escape.substr(3, 1)};
    for (const std::string_view fragment :
         *next >= 0x10 ? std::span<const std::string_view>(two_digits)
                       : std::span<const std::string_view>(zero_and_digit)) {
      if (fragment.size() > kCapacity - used_) {
        result = flush();
        if (!result) break;
      }
      std::memcpy(buffer_ + used_, fragment.data(), fragment.size());
      used_ += fragment.size();
    }
    ++next;
  }
  unlock();
  return result;
}

IoResult StdoutWriter::write_all(std::string_view data) {
  const size_t last = data.rfind(kLineBreak);
  if (last == std::string_view::npos) {
    if (used_ > 0 && buffer_[used_ - 1] == kLineBreak) MERVIK_TRY(flush());
    return append(data);
  }
  const std::string_view lines = data.substr(0, last + 1);
  if (used_ == 0) {
    MERVIK_TRY(write_direct(lines));
  } else {
    MERVIK_TRY(append(lines));
    MERVIK_TRY(flush());
  }
  return append(data.substr(last + 1));
}

IoResult StdoutWriter::append(std::string_view data) {
  const size_t free = kCapacity - used_;
  if (data.size() > free) MERVIK_TRY(flush());
  // Exactly filling the free space is a copy; the flush waits for the next append.
  if (data.size() >= kCapacity) return write_direct(data);
  std::memcpy(buffer_ + used_, data.data(), data.size());
  used_ += data.size();
  return {};
}

IoResult StdoutWriter::flush() {
  size_t done = 0;
  IoResult result = write_buffered({buffer_, used_}, done);
  std::memmove(buffer_, buffer_ + done, used_ - done);
  used_ -= done;
  return result;
}

IoResult StdoutWriter::write_buffered(std::string_view data, size_t& done) {
  while (done < data.size()) {
    const ByteCount written = raw_write(data.substr(done));
    if (written) {
      if (*written == 0) {
        return std::unexpected(
            IoError::fixed(IoErrorKind::kWriteZero, "failed to write the buffered data"));
      }
      done += std::min(*written, data.size() - done);
      // A write cut short may have been interrupted by a signal, whose handlers must run
      // before the next write can block.
      if (done < data.size()) MERVIK_TRY(interrupted());
    } else if (is_interrupted(written.error())) {
      MERVIK_TRY(interrupted());
    } else if (is_invalid_handle(written.error())) {
      done = data.size();
    } else {
      return std::unexpected(written.error());
    }
  }
  return {};
}

IoResult StdoutWriter::write_direct(std::string_view data) {
  while (!data.empty()) {
    const ByteCount written = raw_write(data);
    if (written) {
      if (*written == 0) {
        return std::unexpected(
            IoError::fixed(IoErrorKind::kWriteZero, "failed to write whole buffer"));
      }
      data.remove_prefix(std::min(*written, data.size()));
      if (!data.empty()) MERVIK_TRY(interrupted());
    } else if (is_interrupted(written.error())) {
      MERVIK_TRY(interrupted());
    } else if (is_invalid_handle(written.error())) {
      // Every caller treats a missing standard output as everything written.
      return {};
    } else {
      return std::unexpected(written.error());
    }
  }
  return {};
}

ByteCount StdoutWriter::raw_write(std::string_view data) {
  if (data.empty()) return 0;
  const InterpreterHooks* hooks = hooks_.load(std::memory_order_acquire);
  if (hooks->release_around_writes != nullptr && !hooks->release_around_writes()) {
    return raw_write_released(data);
  }
  const InterpreterHooks::Token token = hooks->release();
  ByteCount written = raw_write_released(data);
  hooks->reacquire(token);
  return written;
}

ByteCount StdoutWriter::raw_write_released(std::string_view data) {
  const auto handle = ops_.get_handle();
  if (!handle) return std::unexpected(IoError::from_os(handle.error()));
  if (ops_.is_console(*handle) && ops_.console_output_code_page() != platform::kUtf8CodePage) {
    return console_.write(ops_, *handle, data);
  }
  const platform::OsCount written = ops_.write_bytes(*handle, data);
  if (!written) return std::unexpected(IoError::from_os(written.error()));
  return *written;
}

bool StdoutWriter::is_invalid_handle(const platform::IoError& error) const noexcept {
  const int32_t* code = error.os_code();
  return code != nullptr && *code == ops_.invalid_handle_code;
}

bool StdoutWriter::is_interrupted(const platform::IoError& error) const noexcept {
  const int32_t* code = error.os_code();
  return code != nullptr && ops_.is_interrupted(*code);
}

}  // namespace mervik
