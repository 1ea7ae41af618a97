#include "binding/call_signature.h"

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "python_test_support.h"

namespace mervik {
namespace {

using mervik::testing::eval;
using mervik::testing::take_raised;
using mervik::testing::text_of;

// A method with every kind of parameter the binder knows: f(a, b, /, c=..., *, k, m, opt=...).
constexpr std::string_view kPositional[] = {"a", "b", "c"};
constexpr KeywordOnlyParameter kKeywordOnly[] = {{"k", true}, {"m", true}, {"opt", false}};
constexpr CallSignature kFull{
    .func_name = "f",
    .positional_parameter_names = kPositional,
    .keyword_only_parameters = kKeywordOnly,
    .class_name = "C",
    .positional_only_count = 2,
    .required_positional_count = 2,
};

enum class Form { kVector, kTupleDict };

struct BindCase {
  const char* name;
  const char* args;    // a tuple expression
  const char* kwargs;  // a list of (key, value) pairs
  // "ok: " and the repr of every slot ("_" when empty), or the TypeError message.
  const char* outcome;
};

void PrintTo(const BindCase& c, std::ostream* os) { *os << c.name; }

// Binds `c` in the given form and describes the outcome as BindCase::outcome does.
std::string bind_outcome(const CallSignature& signature, Form form, const BindCase& c) {
  PyRef args = eval(c.args);
  PyRef pairs = eval(c.kwargs);
  if (!args || !pairs) return "<bad case>";
  std::array<PyObject*, 8> slot_storage{};
  std::span<PyObject*> slots(slot_storage.data(), signature.slot_count());
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args.get());
  const Py_ssize_t nkw = PyList_GET_SIZE(pairs.get());
  Result<void> bound;
  if (form == Form::kVector) {
    std::vector<PyObject*> vector;
    for (Py_ssize_t i = 0; i < nargs; ++i) vector.push_back(PyTuple_GET_ITEM(args.get(), i));
    PyRef kwnames = PyRef::steal(nkw > 0 ? PyTuple_New(nkw) : nullptr);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
      PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(PyTuple_GET_ITEM(pair, 0)));
      vector.push_back(PyTuple_GET_ITEM(pair, 1));
    }
    bound = bind_vector_call(signature, vector.data(), nargs, kwnames.get(), slots);
  } else {
    PyRef kwargs = PyRef::steal(nkw > 0 ? PyDict_New() : nullptr);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
      PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    bound = bind_tuple_dict_call(signature, args.get(), kwargs.get(), slots);
  }
  EXPECT_EQ(PyErr_Occurred(), nullptr) << "binding must not leave an exception pending";
  if (!bound) {
    restore_error(std::move(bound).error());
    PyRef error = take_raised();
    const bool type_error =
        Py_TYPE(error.get()) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError);
    return (type_error ? "" : "<not a TypeError> ") + text_of(error.get());
  }
  std::string text = "ok:";
  for (PyObject* slot : slots) {
    text += ' ';
    if (slot == nullptr) {
      text += '_';
    } else {
      PyRef repr = PyRef::steal(PyObject_Repr(slot));
      text += text_of(repr.get());
    }
  }
  return text;
}

class Binding : public mervik::testing::PythonTest,
                public ::testing::WithParamInterface<std::tuple<BindCase, Form>> {};

TEST_P(Binding, maps_arguments_onto_slots_or_reports_the_mismatch) {
  const auto& [c, form] = GetParam();
  EXPECT_EQ(bind_outcome(kFull, form, c), c.outcome);
}

const BindCase kBindCases[] = {
    {"all_required", "(1, 2)", "[('k', 'K'), ('m', 'M')]", "ok: 1 2 _ 'K' 'M' _"},
    {"everything", "(1, 2, 3)", "[('opt', 'O'), ('m', 'M'), ('k', 'K')]", "ok: 1 2 3 'K' 'M' 'O'"},
    {"c_by_keyword", "(1, 2)", "[('c', 3), ('k', 'K'), ('m', 'M')]", "ok: 1 2 3 'K' 'M' _"},
    {"too_many_positional_ignores_keywords", "(1, 2, 3, 4)", "[('zzz', 0)]",
     "C.f() takes from 2 to 3 positional arguments but 4 were given"},
    {"positional_only_by_keyword", "()", "[('a', 1), ('b', 2), ('k', 3), ('m', 4)]",
     "C.f() got some positional-only arguments passed as keyword arguments: 'a' and 'b'"},
    {"positional_only_reported_before_missing", "(1,)", "[('a', 1), ('k', 3), ('m', 4)]",
     "C.f() got some positional-only arguments passed as keyword arguments: 'a'"},
    {"unexpected_keyword_beats_positional_only", "(1, 2)", "[('a', 1), ('x', 2)]",
     "C.f() got an unexpected keyword argument 'x'"},
    {"missing_one_positional", "(1,)", "[('k', 3), ('m', 4)]",
     "C.f() missing 1 required positional argument: 'b'"},
    {"missing_positionals_before_keyword_only", "()", "[('c', 1)]",
     "C.f() missing 2 required positional arguments: 'a' and 'b'"},
    {"missing_keyword_only", "(1, 2)", "[('m', 4)]",
     "C.f() missing 1 required keyword argument: 'k'"},
    {"missing_keyword_only_in_declaration_order", "(1, 2)", "[('opt', 5)]",
     "C.f() missing 2 required keyword arguments: 'k' and 'm'"},
    {"multiple_values_after_positional", "(1, 2, 3)", "[('c', 4)]",
     "C.f() got multiple values for argument 'c'"},
    {"names_are_case_sensitive", "(1, 2)", "[('K', 1)]",
     "C.f() got an unexpected keyword argument 'K'"},
    {"non_str_key", "(1, 2)", "[(5, 1)]", "C.f() got an unexpected keyword argument '5'"},
    {"lone_surrogate_key", "(1, 2)", "[('\\ud800', 1)]",
     "C.f() got an unexpected keyword argument '\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD'"},
};

// Repeated keywords reach only the vector form: a dictionary cannot hold them.
const BindCase kVectorOnlyCases[] = {
    {"repeated_keyword_only", "(1, 2)", "[('k', 1), ('k', 2)]",
     "C.f() got multiple values for argument 'k'"},
    {"repeated_positional_keyword", "(1, 2)", "[('c', 1), ('c', 2), ('x', 0)]",
     "C.f() got multiple values for argument 'c'"},
};

std::string bind_case_name(const ::testing::TestParamInfo<std::tuple<BindCase, Form>>& p) {
  return std::string(std::get<0>(p.param).name) +
         (std::get<1>(p.param) == Form::kVector ? "_vector" : "_tuple_dict");
}

INSTANTIATE_TEST_SUITE_P(FullSignature, Binding,
                         ::testing::Combine(::testing::ValuesIn(kBindCases),
                                            ::testing::Values(Form::kVector, Form::kTupleDict)),
                         bind_case_name);

INSTANTIATE_TEST_SUITE_P(FullSignatureRepeatedKeywords, Binding,
                         ::testing::Combine(::testing::ValuesIn(kVectorOnlyCases),
                                            ::testing::Values(Form::kVector)),
                         bind_case_name);

// The wording of the too-many error for counts that the full signature cannot show.
constexpr CallSignature kNoParameters{.func_name = "g",
                                      .positional_parameter_names = {},
                                      .keyword_only_parameters = {},
                                      .class_name = std::nullopt,
                                      .positional_only_count = 0,
                                      .required_positional_count = 0};
constexpr std::string_view kOne[] = {"x"};
constexpr CallSignature kOneRequired{.func_name = "h",
                                     .positional_parameter_names = kOne,
                                     .keyword_only_parameters = {},
                                     .class_name = std::nullopt,
                                     .positional_only_count = 0,
                                     .required_positional_count = 1};

using BindingMessages = mervik::testing::PythonTest;

TEST_F(BindingMessages, too_many_positional_keeps_the_plural_and_picks_the_verb) {
  EXPECT_EQ(bind_outcome(kNoParameters, Form::kVector, {"", "(1,)", "[]", ""}),
            "g() takes 0 positional arguments but 1 was given");
  EXPECT_EQ(bind_outcome(kNoParameters, Form::kTupleDict, {"", "(1, 2)", "[]", ""}),
            "g() takes 0 positional arguments but 2 were given");
  EXPECT_EQ(bind_outcome(kOneRequired, Form::kVector, {"", "(1, 2)", "[]", ""}),
            "h() takes 1 positional arguments but 2 were given");
  EXPECT_EQ(bind_outcome(kNoParameters, Form::kTupleDict, {"", "()", "[('x', 1)]", ""}),
            "g() got an unexpected keyword argument 'x'");
}

TEST(CallSignature, display_name_includes_the_class_when_there_is_one) {
  EXPECT_EQ(callable_display_name(kFull), "C.f()");
  EXPECT_EQ(callable_display_name(kOneRequired), "h()");
}

struct ListCase {
  std::vector<std::string_view> names;
  const char* text;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.text; }

class ParameterList : public ::testing::TestWithParam<ListCase> {};

TEST_P(ParameterList, quotes_and_joins_the_names) {
  EXPECT_EQ(format_parameter_list(GetParam().names), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ParameterList,
    ::testing::Values(ListCase{{"a"}, "'a'"}, ListCase{{"a", "b"}, "'a' and 'b'"},
                      ListCase{{"a", "b", "c"}, "'a', 'b', and 'c'"},
                      ListCase{{"a", "b", "c", "d"}, "'a', 'b', 'c', and 'd'"}));

// The re-labelling of conversion failures ("argument 'indent': ...", its cause and context, other
// errors passed through) is visible from Python: tests/python/test_arguments.py.

}  // namespace
}  // namespace mervik
