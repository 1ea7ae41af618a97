#include "format/object_formatter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "format/decimal_digits.h"
#include "format/leaf_text.h"
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

/// The doubles whose shortest text is hardest to get right, a few million of them: random bits;
/// random decimals of 1 to 17 digits at every exponent; every exponent with random mantissas of
/// every count of trailing zero bits, which puts the exact value halfway between two candidate
/// texts for some of them; subnormals; the powers of two (the neighbour below is nearer) and of
/// ten, and the neighbours of each.
std::vector<double> hard_doubles() {
  std::mt19937_64 rng(11);
  std::vector<double> values;
  const auto with_neighbours = [&](double x) {
    values.insert(values.end(), {x, std::nextafter(x, 0.0), std::nextafter(x, INFINITY)});
  };
  for (int i = 0; i < 200'000; ++i) {
    values.push_back(std::bit_cast<double>(rng()));
    const std::string decimal = std::to_string(rng() % kPowersOf10[1 + i % 17]) + "e" +
                                std::to_string(static_cast<int>(rng() % 650) - 340);
    values.push_back(std::strtod(decimal.c_str(), nullptr));
    values.push_back(std::bit_cast<double>(rng() >> 12));  // subnormal
  }
  for (int exponent = -1074; exponent <= 971; ++exponent) {
    for (int zeros = 0; zeros <= 52; ++zeros) {
      const uint64_t mantissa =
          ((rng() | 1) << zeros | uint64_t{1} << 52) & ((uint64_t{2} << 52) - 1);
      values.push_back(std::ldexp(static_cast<double>(mantissa), exponent));
    }
    with_neighbours(std::ldexp(1.0, exponent));
  }
  for (int exponent = -323; exponent <= 308; ++exponent) {
    with_neighbours(std::strtod(("1e" + std::to_string(exponent)).c_str(), nullptr));
  }
  return values;
}

TEST(LeafText, floats_are_written_as_repr_writes_them) {
  Attached attached;
  std::vector<double> values = hard_doubles();
  values.insert(values.end(),
                {0.0, -0.0, INFINITY, -INFINITY, NAN, -NAN, 5e-324, 1.7976931348623157e308});
  size_t wrong = 0;
  for (const double value : values) {
    for (const double signed_value : {value, -value}) {
      StringBuffer out;
      append_float_repr(signed_value, out);
      char* const expected =
          PyOS_double_to_string(signed_value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
      ASSERT_NE(expected, nullptr);
      if (out.view() != expected && ++wrong <= 5) {
        ADD_FAILURE() << "wrote " << out.view() << " for " << expected;
      }
      PyMem_Free(expected);
    }
  }
  EXPECT_EQ(wrong, 0u);
}

// Byte sequences at the edges of UTF-8's rules, each read where the decoding of a format call's
// text takes it eight or sixteen bytes at a time, as a whole character, or near the end; text
// outside ASCII before it sets the width of the str. The str must equal the interpreter's
// decoding of the same bytes, kind included, and be empty where that fails; also when its writer
// vouches for the text being valid UTF-8, which is then decoded without checks (invalid text so
// vouched for must still make a whole str).
TEST(StringBuffer, a_text_becomes_the_str_the_interpreter_decodes_or_empty) {
  Attached attached;
  const std::vector<std::string> sequences = {
      "\xC2\x80", "\xDF\xBF", "\xC3\xA9", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
      "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xF0\x9F\x98\x80",
      "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xBF",  // every length, one after another
      // Invalid: a stray continuation, overlong forms, surrogates, beyond U+10FFFF, bytes that
      // lead nothing, forms cut short or broken by an ASCII byte.
      "\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xED\xA0\x80",
      "\xED\xBF\xBF", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
      "\xF5\x80\x80\x80", "\xF8\x88\x80\x80", "\xFF", "\xC2", "\xC2\x41", "\xE2\x82",
      "\xE2\x28\xA1", "\xE2\x82\x41", "\xF0\x9F\x98", "\xF0\x9F\x41\x80", "\xF0\x9F\x98\x41",
      std::string(14, '\xA9')};  // stray continuations: vouched for, more units than foretold
  // ASCII before the sequence puts it at every kind of place in a block of sixteen bytes:
  // first, inside, last, just after.
  const std::vector<std::string> befores = {
      "",        "abcdefghijklmnopq",  "\xC3\xA9",          "\xC4\x80", "\xF0\x9F\x98\x80",
      "abcdefg", std::string(15, 'a'), std::string(16, 'a')};
  const std::vector<std::string> afters = {"", "z", "zz", "yz" + std::string(20, 'x')};
  for (const std::string& sequence : sequences) {
    for (const std::string& before : befores) {
      for (const std::string& after : afters) {
        const std::string text = before + sequence + after;
        PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), std::ssize(text), "strict");
        const bool valid = decoded != nullptr;
        if (!valid) {
          PyErr_Clear();
          decoded = PyUnicode_FromStringAndSize("", 0);
        }
        const PyRef expected = PyRef::steal(decoded);
        for (const bool vouched : {false, true}) {
          StringBuffer buffer;
          if (vouched) {
            std::memcpy(buffer.reserve(text.size()), text.data(), text.size());
            buffer.commit(text.size());
            buffer.note_valid_utf8();
          } else {
            buffer.append(text);
          }
          const PyRef got = std::move(buffer).take_str();
          ASSERT_TRUE(got);
          if (vouched && !valid) continue;
          EXPECT_EQ(PyUnicode_KIND(got.get()), PyUnicode_KIND(expected.get())) << text;
          EXPECT_EQ(PyObject_RichCompareBool(got.get(), expected.get(), Py_EQ), 1) << text;
        }
      }
    }
  }
}

}  // namespace
}  // namespace mervik
