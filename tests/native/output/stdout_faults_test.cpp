// Faults of the system write under a whole print: a real rendering through the writer over a
// scripted platform, then the exception the failure raises and the bytes that went out or stayed.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "format/object_formatter.h"
#include "format/write_step.h"
#include "output/fake_stdout.h"
#include "python_test_support.h"

namespace mervik {
namespace {

using testing::accept;
using testing::fail;
using testing::FakeStdout;
using testing::kFakeOps;
using testing::Step;

// "[1, 'ab']" at indent 2 reaches the system as four writes when nothing fails:
// "[\n" (direct), "  1,\n", "  'ab',\n" and "]\n" (each a flush of the buffer).
constexpr const char* kSmall = "[1, 'ab']";
const std::string kSmallText = "[\n  1,\n  'ab',\n]\n";

std::vector<Step> repeat(size_t n, Step step) { return std::vector<Step>(n, step); }

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct FaultCase {
  std::string name;
  std::vector<Step> script;
  PyObject** exception;  // the raised type (&PyExc_...), or null for success
  std::string message;
  std::string out;       // every byte the system took
  std::string buffered;  // what the writer kept afterwards
  std::string value = kSmall;
  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<FaultCase> fault_cases() {
  const std::string long_leaf = "'" + std::string(2000, 'x') + "'";
  return {
      {"eintr_storm_is_retried", repeat(5000, fail(EINTR)), nullptr, "", kSmallText, ""},
      {"eintr_between_short_writes",
       repeat(40, fail(EINTR)) + repeat(12, accept(1)) +
           std::vector{fail(EINTR), accept(2), fail(EINTR)},
       nullptr, "", kSmallText, ""},
      {"one_byte_writes", repeat(kSmallText.size(), accept(1)), nullptr, "", kSmallText, ""},
      {"zero_byte_direct_write",
       {accept(0)},
       &PyExc_OSError,
       "failed to write whole buffer",
       "",
       ""},
      {"zero_byte_flush",
       {accept(2), accept(3), accept(0)},
       &PyExc_OSError,
       "failed to write the buffered data",
       "[\n  1",
       ",\n"},
      {"eagain_on_a_flush",
       {accept(9), accept(9), fail(EAGAIN)},
       &PyExc_BlockingIOError,
       "Resource temporarily unavailable (os error 11)",
       "[\n  1,\n",
       "  'ab',\n"},
      {"eagain_after_part_of_a_flush",
       {accept(9), accept(9), accept(4), fail(EAGAIN)},
       &PyExc_BlockingIOError,
       "Resource temporarily unavailable (os error 11)",
       "[\n  1,\n  'a",
       "b',\n"},
      // The unwritten rest of a direct write is not buffered: the step has failed as a whole.
      {"eagain_inside_a_long_direct_write",
       {accept(9), accept(9), accept(1000), fail(EAGAIN)},
       &PyExc_BlockingIOError,
       "Resource temporarily unavailable (os error 11)",
       "[\n  " + long_leaf.substr(0, 1000),
       "",
       "['" + std::string(2000, 'x') + "']"},
      {"ebadf_mid_stream_discards_silently",
       {accept(9), fail(EBADF), accept(1), fail(EBADF)},
       nullptr,
       "",
       "[\n ]\n",
       ""},
      {"final_line_break_fails",
       {accept(9), accept(9), accept(9), fail(EPIPE)},
       &PyExc_BrokenPipeError,
       "Broken pipe (os error 32)",
       "[\n  1,\n  'ab',\n",
       "]\n"},
      {"final_line_break_half_written",
       {accept(9), accept(9), accept(9), accept(1), fail(ENOSPC)},
       &PyExc_OSError,
       "No space left on device (os error 28)",
       "[\n  1,\n  'ab',\n]",
       "\n"},
      {"final_line_break_zero_bytes",
       {accept(9), accept(9), accept(9), accept(0)},
       &PyExc_OSError,
       "failed to write the buffered data",
       "[\n  1,\n  'ab',\n",
       "]\n"},
  };
}

class StdoutFaults : public mervik::testing::PythonTest,
                     public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StdoutFaults, print_raises_exactly_and_keeps_exact_bytes) {
  const FaultCase& c = GetParam();
  PyRef value = testing::eval(c.value);
  ASSERT_TRUE(value);
  FakeStdout fake;
  fake.script.assign(c.script.begin(), c.script.end());
  StdoutWriter writer(kFakeOps);

  // The body of a print call: the rendering, then its line break.
  Result<void> printed = ObjectFormatter::render(value.get(), 2, 0, writer);
  if (printed) printed = write_step(writer, {"\n"});

  if (c.exception == nullptr) {
    EXPECT_TRUE(printed);
  } else {
    ASSERT_FALSE(printed);
    restore_error(std::move(printed).error());
    EXPECT_TRUE(testing::raised(*c.exception, c.message));
  }
  EXPECT_EQ(fake.out(), c.out);
  EXPECT_EQ(writer.buffered(), c.buffered);
  EXPECT_TRUE(fake.script.empty()) << fake.script.size() << " script steps unused";
}

INSTANTIATE_TEST_SUITE_P(Table, StdoutFaults, ::testing::ValuesIn(fault_cases()),
                         [](const auto& p) { return p.param.name; });

/// The system writes with every write that follows a finished line joined to it: what a print
/// may gather, leaving the writes of unfinished lines where they were.
std::vector<std::string> joined_after_line_breaks(const std::vector<std::string>& writes) {
  std::vector<std::string> joined;
  for (const std::string& w : writes) {
    if (!joined.empty() && !joined.back().empty() && joined.back().back() == '\n') {
      joined.back() += w;
    } else {
      joined.push_back(w);
    }
  }
  return joined;
}

class PrintRuns : public mervik::testing::PythonTest,
                  public ::testing::WithParamInterface<const char*> {};

TEST_P(PrintRuns, reach_the_system_as_the_steps_one_by_one_would) {
  PyRef value = testing::eval(GetParam(),
                              "import dataclasses\n"
                              "@dataclasses.dataclass\n"
                              "class D:\n"
                              "    x: object\n"
                              "    name_" +
                                  std::string(1030, 'n') +
                                  ": int = 1\n"
                                  "class R:\n"
                                  "    def __repr__(self): return 'r\\n' * 700 + 'x' * 1100\n"
                                  // Fields whose second lookup runs code after the first's line
                                  // ended, and returns (P) or raises (F).
                                  "class P:\n"
                                  "    __dataclass_fields__ = dict.fromkeys('ab')\n"
                                  "    a = 1\n"
                                  "    b = property(lambda self: [2, 3])\n"
                                  "class F(P):\n"
                                  "    b = property(lambda self: 1 / 0)\n");
  ASSERT_TRUE(value);
  for (const uint64_t indent : {0, 2, 300, 1100}) {
    for (const size_t start : {0, 1000}) {
      std::vector<std::string> writes[2];
      std::string buffered[2];
      bool failed[2];
      for (const bool in_runs : {false, true}) {
        FakeStdout fake;
        StdoutWriter writer(kFakeOps);
        ASSERT_TRUE(writer.write({std::string(start, 's')}));
        Result<void> printed;
        if (in_runs) {
          printed = ObjectFormatter::print(value.get(), indent, writer);
        } else {
          printed = ObjectFormatter::render(value.get(), indent, 0, writer);
          if (printed) printed = write_step(writer, {"\n"});
        }
        failed[in_runs] = !printed;
        if (!printed) {
          restore_error(std::move(printed).error());
          EXPECT_TRUE(testing::raised(PyExc_ZeroDivisionError, "division by zero"));
        }
        writes[in_runs] = joined_after_line_breaks(fake.writes);
        buffered[in_runs] = writer.buffered();
      }
      EXPECT_EQ(failed[1], failed[0]) << "indent " << indent << ", start " << start;
      EXPECT_EQ(writes[1], writes[0]) << "indent " << indent << ", start " << start;
      EXPECT_EQ(buffered[1], buffered[0]) << "indent " << indent << ", start " << start;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PrintRuns,
    ::testing::Values("[1, 'ab', {'k': ()}]", "['x' * 1500, 'y' * 1020, 'z' * 1022]",
                      "{'k' * 1010: 'v' * 1010, 'a': ['b' * 1021]}",
                      "[[[[[[[[['deep' * 200]]]]]]]]]", "(((((((((1,),),),),),),),),)",
                      "[D('x' * 1000), D([D(2)])]", "[R(), {R(): R()}, R()]",
                      "[{1, 2}, 'q' * 1030, {3}]", "[D([1, P()]), {'k': P()}, P()]",
                      "[D([1, F()]), 2]", "[[D(i), [i]] for i in range(300)]"));

}  // namespace
}  // namespace mervik
