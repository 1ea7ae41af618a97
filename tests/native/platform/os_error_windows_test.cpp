#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/io_error.h"
#include "platform/os_error.h"

namespace mervik::platform {
namespace detail {
std::optional<std::string> message_text_utf8(std::u16string_view units);
}  // namespace detail
namespace {

TEST(WindowsOsError, classification_is_the_windows_table) {
  for (const int32_t code : {2, 5, 6, 87, 109, 232, 258, 10054, -1}) {
    EXPECT_EQ(classify_os_error(code), classify_windows_error(code)) << code;
  }
  EXPECT_EQ(IoError::from_os(ERROR_NO_DATA).kind(), IoErrorKind::kBrokenPipe);
}

// The system's texts. Wine words some messages differently from Windows, so a case lists every
// wording it accepts.
struct MessageCase {
  const char* name;
  int32_t code;
  std::vector<std::string> texts;
};

class WindowsOsErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(WindowsOsErrorMessage, is_the_system_text_without_trailing_space) {
  const MessageCase& c = GetParam();
  const std::string text = os_error_message(c.code);
  EXPECT_TRUE(std::ranges::find(c.texts, text) != c.texts.end()) << '"' << text << '"';
  EXPECT_EQ(IoError::from_os(c.code).display_text(),
            text + " (os error " + std::to_string(c.code) + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, WindowsOsErrorMessage,
    ::testing::Values(
        MessageCase{
            "FILE_NOT_FOUND", 2, {"The system cannot find the file specified.", "File not found."}},
        MessageCase{"ACCESS_DENIED", 5, {"Access is denied.", "Access denied."}},
        MessageCase{"INVALID_PARAMETER", 87, {"The parameter is incorrect.", "Invalid parameter."}},
        MessageCase{"BROKEN_PIPE", 109, {"The pipe has been ended.", "Broken pipe."}},
        MessageCase{"NO_DATA", 232, {"The pipe is being closed.", "Pipe closed."}},
        // An NT status in HRESULT form: the text comes from ntdll's table, or from the fallback
        // that shows the status without the facility bit.
        MessageCase{"NT_STATUS_INVALID_HANDLE",
                    static_cast<int32_t>(0xD0000008),
                    {"An invalid HANDLE was specified.",
                     "OS Error -1073741816 (FormatMessageW() returned error 317)"}},
        // No such message: the fallback names the code in signed decimal.
        MessageCase{
            "unknown", 0x0ABCDEF1, {"OS Error 180150001 (FormatMessageW() returned error 317)"}},
        MessageCase{
            "negative_unknown", -1, {"OS Error -268435457 (FormatMessageW() returned error 317)"}}),
    [](const auto& p) { return std::string(p.param.name); });

// UTF-16 to UTF-8 and the trimming, on texts no system table holds.
struct TextCase {
  const char* name;
  std::u16string units;
  std::optional<std::string> utf8;
};

class WindowsMessageText : public ::testing::TestWithParam<TextCase> {};

TEST_P(WindowsMessageText, converts_and_trims) {
  EXPECT_EQ(detail::message_text_utf8(GetParam().units), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsMessageText,
    ::testing::Values(
        TextCase{"line_break", u"Done.\r\n", "Done."},
        TextCase{"every_white_space_at_the_end",
                 u"x\t\n\v\f\r \u0085\u00A0\u1680\u2000\u200A\u2028\u2029\u202F\u205F\u3000", "x"},
        TextCase{"inner_space_stays", u" a \u00A0b\r\n",
                 " a \xC2\xA0"
                 "b"},
        TextCase{"not_white_space", u"a\u200B\uFEFF", "a\xE2\x80\x8B\xEF\xBB\xBF"},
        TextCase{"only_white_space", u" \r\n", ""},
        TextCase{"every_length", u"a\u00E9\u20AC\U0001F600 ",
                 "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        TextCase{"lone_high_surrogate", u"a\xD83D", std::nullopt},
        TextCase{"high_surrogate_before_space", u"a\xD83D ", std::nullopt},
        TextCase{"lone_low_surrogate",
                 u"\xDE00"
                 "a",
                 std::nullopt},
        TextCase{"swapped_pair", u"\xDE00\xD83D", std::nullopt}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace mervik::platform
