#include "output/stdout_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "output/fake_stdout.h"

namespace mervik {
namespace {

using platform::IoError;
using platform::IoErrorKind;
using testing::accept;
using testing::fail;
using testing::FakeStdout;
using testing::kFakeOps;
using testing::Step;

using Fragments = std::vector<std::string>;
using Writes = std::vector<std::string>;

IoResult write_step(StdoutWriter& writer, const Fragments& fragments) {
  const std::vector<std::string_view> views(fragments.begin(), fragments.end());
  return writer.write_fragments(views);
}

/// `n` bytes of a pattern that does not repeat within 26 bytes, so that order shows.
std::string text(size_t n, char first = 'a') {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + i % 26);
  return s;
}

/// `total` bytes of text cut into fragments of `size`.
Fragments pieces(const std::string& total, size_t size) {
  Fragments out;
  for (size_t i = 0; i < total.size(); i += size) out.push_back(total.substr(i, size));
  return out;
}

/// Each fragment as a write step of its own.
std::vector<Fragments> one_per_step(const Fragments& fragments) {
  std::vector<Fragments> steps;
  for (const auto& f : fragments) steps.push_back({f});
  return steps;
}

const IoError kWholeBufferZero =
    IoError::fixed(IoErrorKind::kWriteZero, "failed to write whole buffer");
const IoError kBufferedDataZero =
    IoError::fixed(IoErrorKind::kWriteZero, "failed to write the buffered data");

// ---------------------------------------------------------------------------------------------
// The line rule, the buffer boundaries and direct writes, with every system write succeeding.

struct LineCase {
  std::string name;
  std::vector<Fragments> steps;  // one write_fragments call each
  Writes writes;
  std::string buffered;
  friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<LineCase> line_cases() {
  const std::string k1000 = text(1000), k24 = text(24, 'A'), k2000 = text(2000);
  const std::string k1500 = text(1500);
  return {
      {"text_without_line_break_waits", {{"abc"}}, {}, "abc"},
      {"line_break_sends_buffered_text_in_one_write", {{"abc"}, {"\n"}}, {"abc\n"}, ""},
      {"line_into_empty_buffer_goes_direct", {{"a\nb"}}, {"a\n"}, "b"},
      {"everything_up_to_last_line_break", {{"a\nb\nc"}}, {"a\nb\n"}, "c"},
      {"each_fragment_follows_the_rule", {{"a\n", "b\n", "c"}}, {"a\n", "b\n"}, "c"},
      {"fragments_join_into_one_line", {{"a", "b", "\n"}}, {"ab\n"}, ""},
      {"lines_after_buffered_text_are_appended", {{"x"}, {"y\nz"}}, {"xy\n"}, "z"},
      {"2000_bytes_go_direct", {{k2000}}, {k2000}, ""},
      {"1024_bytes_go_direct", {{text(1024)}}, {text(1024)}, ""},
      {"1023_bytes_are_buffered", {{text(1023)}}, {}, text(1023)},
      {"exact_fill_is_copied", {{k1000}, {k24}}, {}, k1000 + k24},
      {"full_buffer_flushes_at_next_append", {{k1000}, {k24}, {"z"}}, {k1000 + k24}, "z"},
      {"full_buffer_then_line_break", {{k1000}, {k24}, {"\n"}}, {k1000 + k24, "\n"}, ""},
      {"overflow_flushes_first",
       {{k1000}, {text(100, 'A') + "\nz"}},
       {k1000, text(100, 'A') + "\n"},
       "z"},
      {"long_line_after_buffered_text", {{"ab"}, {k2000 + "\n"}}, {"ab", k2000 + "\n"}, ""},
      {"1500_bytes_in_2_byte_fragments",
       {pieces(k1500, 2)},
       {k1500.substr(0, 1024)},
       k1500.substr(1024)},
      {"1500_bytes_in_3_byte_fragments",
       {pieces(k1500, 3)},
       {k1500.substr(0, 1023)},
       k1500.substr(1023)},
      {"1500_bytes_in_1000_byte_fragments",
       {pieces(k1500, 1000)},
       {k1500.substr(0, 1000)},
       k1500.substr(1000)},
      {"1500_bytes_in_1024_byte_fragments",
       {pieces(k1500, 1024)},
       {k1500.substr(0, 1024)},
       k1500.substr(1024)},
      {"1500_bytes_in_2_byte_steps",
       one_per_step(pieces(k1500, 2)),
       {k1500.substr(0, 1024)},
       k1500.substr(1024)},
  };
}

class StdoutWriterLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(StdoutWriterLines, sends_exact_system_writes) {
  const LineCase& c = GetParam();
  FakeStdout fake;
  StdoutWriter writer(kFakeOps);
  std::string input;
  for (const Fragments& step : c.steps) {
    ASSERT_TRUE(write_step(writer, step));
    for (const auto& f : step) input += f;
  }
  EXPECT_EQ(fake.writes, c.writes);
  EXPECT_EQ(writer.buffered(), c.buffered);
  EXPECT_EQ(fake.out() + std::string(writer.buffered()), input);
}

INSTANTIATE_TEST_SUITE_P(Table, StdoutWriterLines, ::testing::ValuesIn(line_cases()),
                         [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------------------------
// Failures, retries and the missing standard output.

struct FailureCase {
  std::string name;
  std::string setup;  // written first, every write accepted
  std::vector<Step> script;
  Fragments fragments;
  Writes writes;
  std::optional<IoError> error;
  std::string buffered;
  int32_t handle_error = 0;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<FailureCase> failure_cases() {
  const std::string k1000 = text(1000), k2000 = text(2000);
  return {
      {"short_flush_writes_continue", "abc", {accept(2)}, {"\n"}, {"ab", "c\n"}, {}, ""},
      {"zero_byte_flush", "abc", {accept(0)}, {"\n"}, {""}, kBufferedDataZero, "abc\n"},
      {"failed_flush_keeps_the_rest_in_order",
       "abc",
       {accept(2), fail(EPIPE)},
       {"\n"},
       {"ab"},
       IoError::from_os(EPIPE),
       "c\n"},
      {"failure_drops_tail_and_later_fragments",
       "x",
       {fail(EPIPE)},
       {"y\nz", "w\n"},
       {},
       IoError::from_os(EPIPE),
       "xy\n"},
      {"failed_overflow_flush_keeps_buffer",
       k1000,
       {fail(ENOSPC)},
       {text(100)},
       {},
       IoError::from_os(ENOSPC),
       k1000},
      {"big_fragment_fails_after_flush",
       "ab",
       {accept(9), fail(EPIPE)},
       {k2000},
       {"ab"},
       IoError::from_os(EPIPE),
       ""},
      {"zero_byte_direct_write", "", {accept(0)}, {"a\nb"}, {""}, kWholeBufferZero, ""},
      {"zero_byte_big_fragment",
       "",
       {accept(5), accept(0)},
       {k2000},
       {k2000.substr(0, 5), ""},
       kWholeBufferZero,
       ""},
      {"direct_write_fails_part_way",
       "",
       {accept(3), fail(EIO)},
       {"hello\n", "x"},
       {"hel"},
       IoError::from_os(EIO),
       ""},
      {"short_direct_writes_continue",
       "",
       {accept(1), accept(2)},
       {"hello\n"},
       {"h", "el", "lo\n"},
       {},
       ""},
      {"interrupted_direct_write_is_retried",
       "",
       {fail(EINTR), fail(EINTR)},
       {"a\n"},
       {"a\n"},
       {},
       ""},
      {"interrupted_flush_is_retried",
       "abc",
       {accept(1), fail(EINTR)},
       {"\n"},
       {"a", "bc\n"},
       {},
       ""},
      {"closed_stdout_discards_direct_lines", "", {fail(EBADF)}, {"a\nb"}, {}, {}, "b"},
      {"closed_stdout_discards_flush", "abc", {accept(1), fail(EBADF)}, {"\n"}, {"a"}, {}, ""},
      {"closed_stdout_discards_big_fragment", "", {fail(EBADF)}, {k2000, "c"}, {}, {}, "c"},
      {"missing_handle_discards", "abc", {}, {"\nd"}, {}, {}, "d", EBADF},
      {"failed_handle_lookup_is_an_error",
       "abc",
       {},
       {"\n"},
       {},
       IoError::from_os(EIO),
       "abc\n",
       EIO},
  };
}

class StdoutWriterFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StdoutWriterFailures, keep_unwritten_bytes) {
  const FailureCase& c = GetParam();
  FakeStdout fake;
  StdoutWriter writer(kFakeOps);
  ASSERT_TRUE(write_step(writer, {c.setup}));
  fake.writes.clear();
  fake.script.assign(c.script.begin(), c.script.end());
  fake.handle_error = c.handle_error;

  const IoResult result = write_step(writer, c.fragments);
  if (c.error) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), *c.error);
  } else {
    EXPECT_TRUE(result) << result.error().display_text();
  }
  EXPECT_EQ(fake.writes, c.writes);
  EXPECT_EQ(writer.buffered(), c.buffered);
  EXPECT_TRUE(fake.script.empty()) << "unused script steps";
}

INSTANTIATE_TEST_SUITE_P(Table, StdoutWriterFailures, ::testing::ValuesIn(failure_cases()),
                         [](const auto& p) { return p.param.name; });

TEST(StdoutWriter, buffered_line_break_goes_out_before_more_text) {
  FakeStdout fake;
  StdoutWriter writer(kFakeOps);
  fake.script = {fail(EPIPE)};
  ASSERT_FALSE(writer.write({"x", "y\n"}));
  ASSERT_EQ(writer.buffered(), "xy\n");
  ASSERT_TRUE(writer.write({"z"}));
  EXPECT_EQ(fake.writes, Writes({"xy\n"}));
  EXPECT_EQ(writer.buffered(), "z");
}

TEST(StdoutWriter, escaped_bytes_go_out_exactly_as_their_steps_would) {
  // write_escaped fills the buffer under one lock; the system must see the same writes as for
  // one step per byte ("\\x" + two digits, or "\\x" + "0" + one digit), from any start.
  std::string bytes;
  for (int i = 0; i < 3000; ++i) bytes.push_back(static_cast<char>((i * 37) % 23));  // many < 0x10
  for (size_t start : {0, 1, 2, 3, 513, 1021, 1023}) {
    std::vector<std::string> one_by_one, bulk;
    for (bool at_once : {false, true}) {
      FakeStdout fake;
      StdoutWriter writer(kFakeOps);
      ASSERT_TRUE(writer.write({text(start)}));
      if (at_once) {
        ASSERT_TRUE(writer.write_escaped(bytes));
      } else {
        for (unsigned char byte : bytes) {
          const std::string hex = "0123456789abcdef";
          const Fragments step = byte >= 0x10 ? Fragments{"\\x", {hex[byte >> 4], hex[byte & 0xF]}}
                                              : Fragments{"\\x", "0", {hex[byte & 0xF]}};
          ASSERT_TRUE(write_step(writer, step));
        }
      }
      fake.writes.push_back(std::string(writer.buffered()));
      (at_once ? bulk : one_by_one) = fake.writes;
    }
    EXPECT_EQ(bulk, one_by_one) << "start " << start;
  }
}

// ---------------------------------------------------------------------------------------------
// Releasing the interpreter.

TEST(StdoutWriter, hooks_wrap_every_raw_write_and_nothing_else) {
  FakeStdout fake;
  StdoutWriter writer(kFakeOps);
  writer.set_interpreter_hooks(&testing::kRecordingHooks);
  ASSERT_TRUE(writer.write({"abc"}));
  EXPECT_TRUE(fake.events.empty());

  fake.script = {accept(2), fail(EINTR)};
  ASSERT_TRUE(writer.write({"\n"}));
  const std::vector<std::string> expected = {
      "release",   "write 2", "reacquire", "release",  "error " + std::to_string(EINTR),
      "reacquire", "release", "write 2",   "reacquire"};
  EXPECT_EQ(fake.events, expected);
}

/// An interpreter stand-in that the hooks release and retake. Waits give up after a while, so
/// that a writer that waits while holding it fails the test instead of hanging it.
struct FakeInterpreter {
  static inline std::timed_mutex mutex;
  static inline std::atomic<bool> stuck{false};
  static inline thread_local bool held = false;
  static inline thread_local int releases = 0;

  static void take() {
    held = mutex.try_lock_for(std::chrono::seconds(10));
    if (!held) stuck = true;
  }
  static void give() {
    if (std::exchange(held, false)) mutex.unlock();
  }
};

const InterpreterHooks kFakeInterpreterHooks = {
    .release =
        []() noexcept {
          ++FakeInterpreter::releases;
          FakeInterpreter::give();
          return InterpreterHooks::Token{};
        },
    .reacquire = [](InterpreterHooks::Token) noexcept { FakeInterpreter::take(); },
};

// A holder blocks in a system write until a thread that needs the interpreter has run, while a
// second writer, holding the interpreter, asks for the busy lock: neither may keep the
// interpreter while it waits.
TEST(StdoutWriter, never_waits_while_holding_the_interpreter) {
  FakeStdout fake;
  StdoutWriter writer(kFakeOps);
  writer.set_interpreter_hooks(&kFakeInterpreterHooks);
  std::mutex m;
  std::condition_variable cv;
  bool in_write = false, attached = false, drained = false;
  fake.during_write = [&] {
    std::unique_lock lock(m);
    if (std::exchange(in_write, true)) return;
    cv.notify_all();
    cv.wait(lock, [&] { return drained; });
  };
  auto wait_for = [&](const bool& flag) {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return flag; });
  };
  auto set = [&](bool& flag) {
    std::lock_guard lock(m);
    flag = true;
    cv.notify_all();
  };

  std::thread holder([&] {
    FakeInterpreter::take();
    EXPECT_TRUE(writer.write({"a\n"}));
    FakeInterpreter::give();
  });
  wait_for(in_write);
  int second_releases = 0;
  std::thread second([&] {
    FakeInterpreter::take();
    set(attached);
    EXPECT_TRUE(writer.write({"b\n"}));
    FakeInterpreter::give();
    second_releases = FakeInterpreter::releases;
  });
  wait_for(attached);
  std::thread drainer([&] {
    FakeInterpreter::take();  // only possible once the second writer waits without it
    set(drained);
    FakeInterpreter::give();
  });
  holder.join();
  second.join();
  drainer.join();

  EXPECT_FALSE(FakeInterpreter::stuck);
  EXPECT_EQ(fake.out(), "a\nb\n");
  EXPECT_EQ(second_releases, 2);  // the wait for the lock, then its own raw write
}

// ---------------------------------------------------------------------------------------------
// The lock.

TEST(StdoutWriter, lock_is_reentrant_on_one_thread) {
  FakeStdout fake;
  StdoutWriter writer(kFakeOps);
  bool entered = false;
  fake.during_write = [&] {
    if (std::exchange(entered, true)) return;
    EXPECT_TRUE(writer.write({"inner"}));
  };
  ASSERT_TRUE(writer.write({"a\n"}));
  EXPECT_EQ(writer.buffered(), "inner");

  // Fully released: another thread takes the lock without waiting.
  fake.events.clear();
  writer.set_interpreter_hooks(&testing::kRecordingHooks);
  std::thread other([&] { EXPECT_TRUE(writer.write({"\n"})); });
  other.join();
  EXPECT_EQ(fake.out(), "a\ninner\n");
  EXPECT_EQ(fake.events.front(), "release");  // from the raw write, not from a lock wait
  EXPECT_EQ(fake.events.size(), 3U);
}

TEST(StdoutWriter, concurrent_write_steps_are_never_split) {
  constexpr int kThreads = 4, kSteps = 150;
  FakeStdout fake;
  StdoutWriter writer(kFakeOps);
  fake.script.assign(100000, accept(97));  // short writes widen every window
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const char mark = static_cast<char>('A' + t);
      start.arrive_and_wait();
      for (int i = 0; i < kSteps; ++i) {
        const std::string body((i * 37 + t * 101) % 1500, mark);
        ASSERT_TRUE(writer.write({std::string(1, mark), ":", std::to_string(i), ":", body, "\n"}));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<int> next(kThreads, 0);
  const std::string out = fake.out();
  size_t lines = 0;
  for (size_t pos = 0; pos < out.size();) {
    const size_t end = out.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    const int t = line[0] - 'A';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 40);
    const int i = next[t]++;
    const std::string head = line.substr(0, 1) + ":" + std::to_string(i) + ":";
    ASSERT_EQ(line, head + std::string((i * 37 + t * 101) % 1500, line[0]));
    ++lines;
  }
  EXPECT_EQ(lines, size_t{kThreads * kSteps});
  EXPECT_TRUE(writer.buffered().empty());
}

TEST(StdoutWriter, instance_is_one_per_process) {
  StdoutWriter* seen[2] = {};
  std::thread a([&] { seen[0] = &StdoutWriter::instance(); });
  std::thread b([&] { seen[1] = &StdoutWriter::instance(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], &StdoutWriter::instance());
}

}  // namespace
}  // namespace mervik
