#include "format/object_formatter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace mervik
