#include "binding/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "python_test_support.h"

namespace mervik {
namespace {

using mervik::testing::eval;
using mervik::testing::take_raised;
using mervik::testing::text_of;

constexpr const char* kSetup =
    "class Index:\n"
    "    def __init__(self, value):\n"
    "        self.value = value\n"
    "    def __index__(self):\n"
    "        return self.value\n"
    "class RaisingIndex:\n"
    "    def __index__(self):\n"
    "        raise ValueError('no index')\n"
    "class IntWithIndex(int):\n"
    "    def __index__(self):\n"
    "        return 99\n"
    "class Outer:\n"
    "    class Inner:\n"
    "        pass\n"
    "class Unprintable:\n"
    "    def __str__(self):\n"
    "        raise ValueError('no text')\n";

struct U64Case {
  const char* name;
  const char* expression;
  uint64_t value;           // when `error` is null
  const char* error;        // the exact exception type's name
  const char* message;      // its str()
};

void PrintTo(const U64Case& c, std::ostream* os) { *os << c.name; }

class ExtractU64 : public mervik::testing::PythonTest,
                   public ::testing::WithParamInterface<U64Case> {};

TEST_P(ExtractU64, converts_or_passes_the_interpreter_error_through) {
  const U64Case& c = GetParam();
  PyRef obj = eval(c.expression, kSetup);
  ASSERT_TRUE(obj);
  Result<uint64_t> value = extract_u64(obj.get());
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  if (c.error == nullptr) {
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, c.value);
    return;
  }
  ASSERT_FALSE(value.has_value());
  restore_error(std::move(value).error());
  PyRef error = take_raised();
  EXPECT_STREQ(Py_TYPE(error.get())->tp_name, c.error);
  EXPECT_EQ(text_of(error.get()), c.message);
}

constexpr uint64_t kMax = UINT64_MAX;

INSTANTIATE_TEST_SUITE_P(
    Values, ExtractU64,
    ::testing::Values(
        U64Case{"zero", "0", 0, nullptr, nullptr},
        U64Case{"bool", "True", 1, nullptr, nullptr},
        U64Case{"max", "2**64 - 1", kMax, nullptr, nullptr},
        U64Case{"index", "Index(3)", 3, nullptr, nullptr},
        U64Case{"index_max_is_not_an_error", "Index(2**64 - 1)", kMax, nullptr, nullptr},
        U64Case{"int_subclass_skips_index", "IntWithIndex(7)", 7, nullptr, nullptr},
        U64Case{"negative", "-1", 0, "OverflowError", "can't convert negative int to unsigned"},
        U64Case{"too_big", "2**64", 0, "OverflowError", "int too big to convert"},
        U64Case{"index_negative", "Index(-1)", 0, "OverflowError",
                "can't convert negative int to unsigned"},
        U64Case{"index_too_big", "Index(2**64)", 0, "OverflowError", "int too big to convert"},
        U64Case{"none", "None", 0, "TypeError",
                "'NoneType' object cannot be interpreted as an integer"},
        U64Case{"float", "1.5", 0, "TypeError",
                "'float' object cannot be interpreted as an integer"},
        U64Case{"str", "'4'", 0, "TypeError", "'str' object cannot be interpreted as an integer"},
        U64Case{"index_raises", "RaisingIndex()", 0, "ValueError", "no index"},
        U64Case{"index_returns_str", "Index('4')", 0, "TypeError",
                "__index__ returned non-int (type str)"}),
    [](const ::testing::TestParamInfo<U64Case>& param_info) { return param_info.param.name; });

struct CastCase {
  const char* name;
  const char* object;
  const char* target;
  const char* message;
};

void PrintTo(const CastCase& c, std::ostream* os) { *os << c.name; }

class CastError : public mervik::testing::PythonTest,
                  public ::testing::WithParamInterface<CastCase> {};

TEST_P(CastError, names_the_qualified_source_and_target) {
  const CastCase& c = GetParam();
  PyRef obj = eval(c.object, kSetup);
  PyRef target = eval(c.target, kSetup);
  PyErr err = cast_error(obj.get(), target.get());
  EXPECT_EQ(error_type(err), PyExc_TypeError);
  restore_error(std::move(err));
  EXPECT_TRUE(mervik::testing::raised(PyExc_TypeError, c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, CastError,
    ::testing::Values(
        CastCase{"type", "'abc'", "bytes", "'str' object cannot be cast as 'bytes'"},
        CastCase{"nested_source", "Outer.Inner()", "bytes",
                 "'Outer.Inner' object cannot be cast as 'bytes'"},
        CastCase{"nested_target", "None", "Outer.Inner",
                 "'NoneType' object cannot be cast as 'Outer.Inner'"},
        CastCase{"tuple", "1", "(bytes, bytearray)",
                 "'int' object cannot be cast as 'bytes | bytearray'"},
        CastCase{"nested_tuple", "1", "(bytes, (Outer.Inner, 'text'))",
                 "'int' object cannot be cast as 'bytes | Outer.Inner | text'"},
        CastCase{"other_object", "b''", "'some target'",
                 "'bytes' object cannot be cast as 'some target'"}),
    [](const ::testing::TestParamInfo<CastCase>& param_info) { return param_info.param.name; });

using Conversions = mervik::testing::PythonTest;

TEST_F(Conversions, cast_message_is_made_when_the_error_is_raised) {
  PyRef obj = eval("Outer.Inner()", kSetup);
  PyErr err = cast_error(obj.get(), reinterpret_cast<PyObject*>(&PyBytes_Type));
  PyRef renamed = PyRef::steal(PyUnicode_FromString("Renamed"));
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj.get()));
  ASSERT_EQ(PyObject_SetAttrString(type, "__qualname__", renamed.get()), 0);
  restore_error(std::move(err));
  EXPECT_TRUE(
      mervik::testing::raised(PyExc_TypeError, "'Renamed' object cannot be cast as 'bytes'"));
}

TEST_F(Conversions, lossy_text_replaces_each_surrogate_byte) {
  PyRef lone = eval("'a\\ud800b'");
  EXPECT_EQ(str_lossy_text(lone.get()).view(), "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "b");
  PyRef pair = eval("'\\udcff\\ud83d\\ude00'");
  EXPECT_EQ(str_lossy_text(pair.get()).view(),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  PyRef valid = eval("'caf\\u00e9 \\U0001F600'");
  const Utf8Text text = str_lossy_text(valid.get());
  EXPECT_FALSE(text.is_owned());
  EXPECT_EQ(text.view(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
}

TEST_F(Conversions, utf8_text_fails_with_the_interpreter_error) {
  PyRef lone = eval("'\\ud800'");
  Result<std::string_view> text = str_utf8_text(lone.get());
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(error_type(text.error()), PyExc_UnicodeEncodeError);
  Result<std::string_view> not_str = str_utf8_text(Py_None);
  ASSERT_FALSE(not_str.has_value());
  EXPECT_EQ(error_type(not_str.error()), PyExc_TypeError);
}

TEST_F(Conversions, display_text_reports_a_failing_str_and_shows_the_type_name) {
  PyRef calls = eval("calls", "import sys\ncalls = []\nsys.unraisablehook = calls.append");
  PyRef obj = eval("Unprintable()", kSetup);
  const std::string text(display_text(obj.get()).view());
  PyRef restored = eval("None", "import sys\nsys.unraisablehook = sys.__unraisablehook__");
  EXPECT_EQ(text, "<unprintable Unprintable object>");
  ASSERT_EQ(PyList_GET_SIZE(calls.get()), 1);
  PyRef reported = PyRef::steal(PyObject_GetAttrString(PyList_GET_ITEM(calls.get(), 0), "object"));
  EXPECT_EQ(reported.get(), obj.get());
}

TEST_F(Conversions, new_int_object_covers_the_whole_range) {
  PyRef max = new_int_object(UINT64_MAX);
  EXPECT_EQ(text_of(max.get()), "18446744073709551615");
  PyRef text = new_str_object(std::string_view("a\0b", 3));
  EXPECT_EQ(PyUnicode_GetLength(text.get()), 3);
}

}  // namespace
}  // namespace mervik
