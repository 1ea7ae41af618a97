#include "output/console_write.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/fake_stdout.h"
#include "output/stdout_writer.h"

namespace mervik {
namespace {

using platform::IoError;
using platform::IoErrorKind;
using testing::accept;
using testing::fail;
using testing::FakeStdout;
using testing::kFakeOps;
using testing::Step;

const IoError kNotUtf8 = IoError::fixed(
    IoErrorKind::kInvalidData,
    "Windows stdio in console mode does not support writing non-UTF-8 byte sequences");

constexpr int32_t kConsoleFailure = 31;  // any code that is neither retried nor discarded

// ---------------------------------------------------------------------------------------------
// One raw write at a time: pending bytes, valid prefixes, chunks and the accounting.

struct ConsoleCase {
  std::string name;
  std::vector<std::string> writes;  // successive raw writes
  std::vector<ByteCount> results;
  std::u16string units;  // everything the console took
  std::vector<Step> script = {};
  std::vector<size_t> requests = {};  // units offered per console call, when checked
  friend void PrintTo(const ConsoleCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<ConsoleCase> console_cases() {
  const std::string a4095(4095, 'a');
  return {
      {"ascii", {"abc"}, {3U}, u"abc"},
      {"two_byte_character", {"\xC3\xA9"}, {2U}, u"\u00E9"},
      {"lead_byte_waits_for_its_continuation", {"\xC3", "\xA9z"}, {1U, 1U}, u"\u00E9"},
      {"three_byte_character_in_pieces", {"\xE2", "\x82", "\xAC"}, {1U, 1U, 1U}, u"\u20AC"},
      {"four_byte_character_in_pieces",
       {"\xF0\x9F", "\x9F", "\x98", "\x80!"},
       {1U, 1U, 1U, 1U},
       u"\U0001F600"},
      {"pending_then_other_byte_fails_and_clears",
       {"\xC3", "a", "a"},
       {1U, std::unexpected(kNotUtf8), 1U},
       u"a"},
      {"pending_completed_invalid_fails",
       {"\xE0", "\x80", "\x80"},
       {1U, 1U, std::unexpected(kNotUtf8)},
       u""},
      {"invalid_first_byte", {"\xFF"}, {std::unexpected(kNotUtf8)}, u""},
      {"lone_continuation_byte",
       {"\x80"
        "abc"},
       {std::unexpected(kNotUtf8)},
       u""},
      {"lead_byte_followed_by_non_continuation",
       {"\xC3"
        "A"},
       {std::unexpected(kNotUtf8)},
       u""},
      {"valid_prefix_before_invalid_byte", {"ab\xFF"}, {2U}, u"ab"},
      {"valid_prefix_before_cut_character", {"ab\xC3", "\xC3", "\xA9"}, {2U, 1U, 1U}, u"ab\u00E9"},
      {"at_most_4096_bytes_per_call",
       {std::string(5000, 'a')},
       {4096U},
       std::u16string(4096, u'a'),
       {},
       {4096}},
      {"chunk_ends_before_a_cut_character",
       {a4095 + "\xC3\xA9"},
       {4095U},
       std::u16string(4095, u'a'),
       {},
       {4095}},
      {"console_takes_fewer_units",
       {"a\xC3\xA9\xE2\x82\xACx"},
       {6U},
       u"a\u00E9\u20AC",
       {accept(3)}},
      {"console_takes_nothing", {"abc"}, {0U}, u"", {accept(0)}},
      {"low_surrogate_written_alone",
       {"a\xF0\x9F\x98\x80"
        "b"},
       {5U},
       u"a\U0001F600",
       {accept(2)},
       {4, 1}},
      {"low_surrogate_counts_even_when_refused",
       {"a\xF0\x9F\x98\x80"
        "b"},
       {5U},
       u"a\xD83D",
       {accept(2), fail(kConsoleFailure)},
       {4, 1}},
      {"console_failure",
       {"abc"},
       {std::unexpected(IoError::from_os(kConsoleFailure))},
       u"",
       {fail(kConsoleFailure)}},
      {"completed_character_failure",
       {"\xC3", "\xA9"},
       {1U, std::unexpected(IoError::from_os(kConsoleFailure))},
       u"",
       {fail(kConsoleFailure)}},
  };
}

class ConsoleWriterTable : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleWriterTable, writes_utf16_and_counts_bytes) {
  const ConsoleCase& c = GetParam();
  FakeStdout fake;
  fake.console_script.assign(c.script.begin(), c.script.end());
  ConsoleWriter console;
  std::vector<ByteCount> results;
  for (const std::string& data : c.writes) results.push_back(console.write(kFakeOps, 1, data));
  EXPECT_EQ(results, c.results);
  EXPECT_EQ(fake.console_out, c.units);
  if (!c.requests.empty()) {
    EXPECT_EQ(fake.console_requests, c.requests);
  }
  EXPECT_TRUE(console.pending().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ConsoleWriterTable, ::testing::ValuesIn(console_cases()),
                         [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------------------------
// Through the writer: a console whose code page is not UTF-8.

class StdoutWriterConsole : public ::testing::Test {
 protected:
  StdoutWriterConsole() {
    fake_.console = true;
    fake_.code_page = 437;
  }
  FakeStdout fake_;
  StdoutWriter writer_{kFakeOps};
};

TEST_F(StdoutWriterConsole, character_split_between_two_flushes) {
  const std::string head(1023, 'a');
  ASSERT_TRUE(writer_.write({head, "\xC3"}));  // fills the buffer exactly
  EXPECT_TRUE(fake_.console_out.empty());
  ASSERT_TRUE(writer_.write({"\xA9\n"}));
  EXPECT_EQ(fake_.console_out, std::u16string(1023, u'a') + u"\u00E9\n");
  EXPECT_TRUE(fake_.writes.empty());
  EXPECT_TRUE(writer_.buffered().empty());
  EXPECT_TRUE(writer_.pending_utf8().empty());
}

TEST_F(StdoutWriterConsole, held_lead_byte_then_other_text_fails) {
  ASSERT_TRUE(writer_.write({std::string(1023, 'a'), "\xC3"}));
  ASSERT_TRUE(writer_.write({"b"}));  // the overflow flush holds the lone lead byte back
  EXPECT_EQ(writer_.pending_utf8(), "\xC3");
  const IoResult result = writer_.write({"\n"});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), kNotUtf8);
  EXPECT_TRUE(writer_.pending_utf8().empty());
  EXPECT_EQ(writer_.buffered(), "b\n");
}

TEST_F(StdoutWriterConsole, invalid_byte_fails_and_keeps_the_rest) {
  ASSERT_TRUE(
      writer_.write({"ab\xFF"
                     "cd"}));
  const IoResult result = writer_.write({"\n"});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), kNotUtf8);
  EXPECT_EQ(fake_.console_out, u"ab");
  EXPECT_EQ(writer_.buffered(),
            "\xFF"
            "cd\n");
}

TEST_F(StdoutWriterConsole, utf8_code_page_takes_bytes_unconverted) {
  fake_.code_page = platform::kUtf8CodePage;
  ASSERT_TRUE(writer_.write({"\xC3\xA9\n"}));
  EXPECT_EQ(fake_.writes, std::vector<std::string>{"\xC3\xA9\n"});
  EXPECT_TRUE(fake_.console_out.empty());
}

}  // namespace
}  // namespace mervik
