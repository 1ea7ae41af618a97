#include "binding/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "python_test_support.h"

namespace mervik {
namespace {

using mervik::testing::eval;
using mervik::testing::text_of;

// extract_u64 and the cast errors of bytes and field tables are visible from Python
// (tests/python/test_arguments.py, test_output.py, test_format.py), as are the lossy text of lone
// surrogates and the text of an unprintable object: these tests keep to what Python cannot reach.
constexpr const char* kSetup =
    "class Outer:\n"
    "    class Inner:\n"
    "        pass\n";

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
    ::testing::Values(CastCase{"nested_target", "None", "Outer.Inner",
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

TEST_F(Conversions, lossy_text_borrows_valid_text) {
  PyRef valid = eval("'caf\\u00e9 \\U0001F600'");
  const Utf8Text text = str_lossy_text(valid.get());
  EXPECT_FALSE(text.is_owned());
  EXPECT_EQ(text.view(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  PyRef lone = eval("'a\\ud800b'");
  EXPECT_EQ(str_lossy_text(lone.get()).view(),
            "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
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

TEST_F(Conversions, new_int_object_covers_the_whole_range) {
  PyRef max = new_int_object(UINT64_MAX);
  EXPECT_EQ(text_of(max.get()), "18446744073709551615");
  PyRef text = new_str_object(std::string_view("a\0b", 3));
  EXPECT_EQ(PyUnicode_GetLength(text.get()), 3);
}

}  // namespace
}  // namespace mervik
