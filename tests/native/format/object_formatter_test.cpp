#include "format/object_formatter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/string_buffer.h"
#include "python_test_support.h"

namespace mervik {
namespace {

using mervik::testing::Attached;
using mervik::testing::eval;

/// Records every write step as the list of its fragments.
class RecordingSink final : public TextSink {
 public:
  IoResult write_fragments(std::span<const std::string_view> fragments) override {
    steps.emplace_back(fragments.begin(), fragments.end());
    return {};
  }
  std::vector<std::vector<std::string>> steps;
};

using Steps = std::vector<std::vector<std::string>>;

TEST(ObjectFormatter, each_write_step_carries_exactly_its_fragments) {
  Attached attached;
  PyRef value = eval("{'k': [1, ()], (2,): P(1)}",
                     "import dataclasses\n"
                     "@dataclasses.dataclass\n"
                     "class P:\n"
                     "    x: int\n");
  RecordingSink sink;
  ASSERT_TRUE(ObjectFormatter::render(value.get(), 2, 0, sink));
  const Steps expected = {
      {"{\n"},      {"", "  "},
      {"'k'"},      {": "},
      {"[\n"},      {"  ", "  "},
      {"1"},        {",\n"},
      {"  ", "  "}, {"()"},
      {",\n"},      {"  ", "]"},
      {",\n"},      {"", "  "},
      {"(\n"},      {"  ", "  "},
      {"2"},        {",\n"},
      {"  ", ")"},  {": "},
      {"P", "(\n"}, {"  ", "  ", "x", "="},
      {"1"},        {",\n"},
      {"  ", ")"},  {",\n"},
      {"", "}"},
  };
  EXPECT_EQ(sink.steps, expected);
}

// Byte sequences at the edges of UTF-8's rules, each read where the decoding of a format call's
// text takes it eight or sixteen bytes at a time, as a whole character, or near the end; text
// outside ASCII before it sets the width of the str. The str must equal the interpreter's
// decoding of the same bytes, kind included, and be empty where that fails.
TEST(StringBuffer, a_text_becomes_the_str_the_interpreter_decodes_or_empty) {
  Attached attached;
  const std::vector<std::string> sequences = {
      "\xC2\x80", "\xDF\xBF", "\xC3\xA9", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
      "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xF0\x9F\x98\x80",
      // Invalid: a stray continuation, overlong forms, surrogates, beyond U+10FFFF, bytes that
      // lead nothing, forms cut short or broken by an ASCII byte.
      "\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xED\xA0\x80",
      "\xED\xBF\xBF", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
      "\xF5\x80\x80\x80", "\xF8\x88\x80\x80", "\xFF", "\xC2", "\xC2\x41", "\xE2\x82",
      "\xE2\x28\xA1", "\xE2\x82\x41", "\xF0\x9F\x98", "\xF0\x9F\x41\x80", "\xF0\x9F\x98\x41"};
  const std::vector<std::string> befores = {"", "abcdefghijklmnopq", "\xC3\xA9", "\xC4\x80",
                                            "\xF0\x9F\x98\x80"};
  const std::vector<std::string> afters = {"", "z", "zz", "yz" + std::string(20, 'x')};
  for (const std::string& sequence : sequences) {
    for (const std::string& before : befores) {
      for (const std::string& after : afters) {
        const std::string text = before + sequence + after;
        PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), std::ssize(text), "strict");
        if (decoded == nullptr) {
          PyErr_Clear();
          decoded = PyUnicode_FromStringAndSize("", 0);
        }
        const PyRef expected = PyRef::steal(decoded);
        StringBuffer buffer;
        buffer.append(text);
        const PyRef got = std::move(buffer).take_str();
        ASSERT_TRUE(got);
        EXPECT_EQ(PyUnicode_KIND(got.get()), PyUnicode_KIND(expected.get())) << text;
        EXPECT_EQ(PyObject_RichCompareBool(got.get(), expected.get(), Py_EQ), 1) << text;
      }
    }
  }
}

}  // namespace
}  // namespace mervik
