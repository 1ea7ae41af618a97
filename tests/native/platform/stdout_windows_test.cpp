#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "output/stdout_writer.h"
#include "platform/os_error.h"
#include "platform/stdout.h"

namespace mervik::platform {
namespace {

/// Makes `handle` the process's standard output for the object's lifetime. The C runtime's own
/// stdout keeps the handle it started with, so the test's report is not affected.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(HANDLE handle) : saved_(GetStdHandle(STD_OUTPUT_HANDLE)) {
    SetStdHandle(STD_OUTPUT_HANDLE, handle);
  }
  ~StdoutRedirect() { SetStdHandle(STD_OUTPUT_HANDLE, saved_); }
  StdoutRedirect(const StdoutRedirect&) = delete;
  StdoutRedirect& operator=(const StdoutRedirect&) = delete;

 private:
  HANDLE saved_;
};

/// Reads until end of file or a broken pipe.
std::string read_all(HANDLE handle) {
  std::string out;
  char chunk[4096];
  DWORD n = 0;
  while (ReadFile(handle, chunk, sizeof chunk, &n, nullptr) && n > 0) out.append(chunk, n);
  return out;
}

struct Pipe {
  Pipe() { EXPECT_TRUE(CreatePipe(&read, &write, nullptr, 1 << 16)); }
  ~Pipe() {
    close_read();
    close_write();
  }
  void close_read() {
    if (read) CloseHandle(std::exchange(read, nullptr));
  }
  void close_write() {
    if (write) CloseHandle(std::exchange(write, nullptr));
  }
  HANDLE read = nullptr;
  HANDLE write = nullptr;
};

std::wstring temp_path(const wchar_t* prefix) {
  wchar_t dir[MAX_PATH + 1];
  wchar_t path[MAX_PATH + 1];
  EXPECT_NE(GetTempPathW(MAX_PATH + 1, dir), 0U);
  EXPECT_NE(GetTempFileNameW(dir, prefix, 0, path), 0U);
  return path;
}

const std::string kBig(5000, 'x');

// ---------------------------------------------------------------------------------------------
// Files and pipes: bytes go out unchanged, through NtWriteFile.

TEST(StdoutWindows, writes_reach_a_file_unchanged) {
  const std::wstring path = temp_path(L"mvk");
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  {
    StdoutRedirect redirect(file);
    StdoutWriter writer(system_stdout_ops());
    ASSERT_TRUE(writer.write({"caf\xC3\xA9"}));
    ASSERT_TRUE(writer.write({"\n", kBig, "\r\n", "tail"}));
    EXPECT_EQ(writer.buffered(), "tail");
  }
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  EXPECT_EQ(read_all(file), "caf\xC3\xA9\n" + kBig + "\r\n");
  CloseHandle(file);
}

TEST(StdoutWindows, writes_reach_a_pipe) {
  Pipe pipe;
  {
    StdoutRedirect redirect(pipe.write);
    StdoutWriter writer(system_stdout_ops());
    ASSERT_TRUE(writer.write({"a\nb"}));
    ASSERT_TRUE(writer.write({kBig}));
    ASSERT_TRUE(writer.write({"\n"}));
    EXPECT_TRUE(writer.buffered().empty());
  }
  pipe.close_write();
  EXPECT_EQ(read_all(pipe.read), "a\nb" + kBig + "\n");
}

TEST(StdoutWindows, closed_pipe_is_a_broken_pipe) {
  Pipe pipe;
  pipe.close_read();
  StdoutRedirect redirect(pipe.write);
  StdoutWriter writer(system_stdout_ops());
  ASSERT_TRUE(writer.write({"abc"}));
  const IoResult result = writer.write({"\n"});
  ASSERT_FALSE(result);
  const int32_t* code = result.error().os_code();
  ASSERT_NE(code, nullptr);
  EXPECT_TRUE(*code == ERROR_NO_DATA || *code == ERROR_BROKEN_PIPE) << *code;
  EXPECT_EQ(result.error().kind(), IoErrorKind::kBrokenPipe);
  EXPECT_EQ(result.error().display_text(),
            os_error_message(*code) + " (os error " + std::to_string(*code) + ")");
  EXPECT_EQ(writer.buffered(), "abc\n");
}

// A handle opened for overlapped I/O makes NtWriteFile return before the data is taken; the
// write must still complete before it reports its count. The reader starts late, so that the
// pipe's small buffer is full when the write begins.
TEST(StdoutWindows, overlapped_handle_is_written_synchronously) {
  const std::wstring name = L"\\\\.\\pipe\\mervik-test-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 512, 512, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const HANDLE client = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  std::string received;
  std::thread reader([&] {
    Sleep(200);
    received = read_all(server);
  });
  std::string data;
  for (int i = 0; i < 3000; ++i) data += std::to_string(i) + ",";
  {
    StdoutRedirect redirect(client);
    StdoutWriter writer(system_stdout_ops());
    const IoResult result = writer.write({data, "\n"});
    EXPECT_TRUE(result) << result.error().display_text();
  }
  CloseHandle(client);
  reader.join();
  CloseHandle(server);
  EXPECT_EQ(received.size(), data.size() + 1);
  EXPECT_TRUE(received == data + "\n");
}

// ---------------------------------------------------------------------------------------------
// No usable standard output: everything counts as written.

HANDLE closed_handle() {
  HANDLE handle = nullptr;
  EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                              &handle, 0, FALSE, DUPLICATE_SAME_ACCESS));
  CloseHandle(handle);
  return handle;
}

class StdoutWindowsInvalidHandle : public ::testing::TestWithParam<bool> {};

TEST_P(StdoutWindowsInvalidHandle, discards_output) {
  StdoutRedirect redirect(GetParam() ? closed_handle() : nullptr);
  StdoutWriter writer(system_stdout_ops());
  EXPECT_TRUE(writer.write({"abc"}));
  EXPECT_TRUE(writer.write({"\n", kBig, "c\n"}));
  EXPECT_TRUE(writer.buffered().empty());
}

INSTANTIATE_TEST_SUITE_P(Handles, StdoutWindowsInvalidHandle, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "closed" : "none"; });

// ---------------------------------------------------------------------------------------------
// UTF-8 to UTF-16 with MultiByteToWideChar.

struct ConversionCase {
  std::string name;
  std::string utf8;
  size_t room;
  std::u16string utf16;
  int32_t error = 0;
  friend void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }
};

class StdoutWindowsConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(StdoutWindowsConversion, utf8_to_utf16) {
  const ConversionCase& c = GetParam();
  std::u16string out(c.room, u'\0');
  const OsCount n = system_stdout_ops().utf8_to_utf16(c.utf8, out);
  if (c.error != 0) {
    EXPECT_EQ(n, std::unexpected(c.error));
  } else {
    ASSERT_TRUE(n) << n.error();
    EXPECT_EQ(out.substr(0, *n), c.utf16);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StdoutWindowsConversion,
    ::testing::Values(ConversionCase{"every_length", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 8,
                                     u"a\u00E9\u20AC\U0001F600"},
                      ConversionCase{"largest_scalars", "\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF", 4,
                                     u"\u07FF\uFFFF\U0010FFFF"},
                      ConversionCase{"empty", "", 0, u""},
                      ConversionCase{"full_area", std::string(kConsoleChunk, 'z'), kConsoleChunk,
                                     std::u16string(kConsoleChunk, u'z')},
                      ConversionCase{"invalid_byte", "a\xFF", 8, u"", ERROR_NO_UNICODE_TRANSLATION},
                      ConversionCase{"surrogate_code_point", "\xED\xA0\x80", 8, u"",
                                     ERROR_NO_UNICODE_TRANSLATION}),
    [](const auto& p) { return p.param.name; });

// ---------------------------------------------------------------------------------------------
// A real console, when the process can have one: UTF-16 mode for code pages other than UTF-8,
// bytes as they are for UTF-8.

class StdoutWindowsConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    // The console the process started with, or a new one. Under Wine only a program started on
    // a terminal has a usable console.
    console_ = open_console_output();
    if (console_ == INVALID_HANDLE_VALUE && AllocConsole()) console_ = open_console_output();
    if (console_ == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no console available";
    saved_code_page_ = GetConsoleOutputCP();
    redirect_.emplace(console_);
  }
  void TearDown() override {
    redirect_.reset();
    if (saved_code_page_ != 0) SetConsoleOutputCP(saved_code_page_);
    if (console_ != INVALID_HANDLE_VALUE) CloseHandle(console_);
  }

  static HANDLE open_console_output() {
    return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
  }

  /// Clears the screen buffer and puts the cursor home.
  void clear() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(console_, &info));
    const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD n = 0;
    FillConsoleOutputCharacterW(console_, L' ', cells, {0, 0}, &n);
    SetConsoleCursorPosition(console_, {0, 0});
  }

  /// The first `count` characters of the screen buffer, row after row.
  std::u16string screen_text(DWORD count) {
    std::u16string text(count, u'\0');
    DWORD n = 0;
    ReadConsoleOutputCharacterW(console_, reinterpret_cast<wchar_t*>(text.data()), count, {0, 0},
                                &n);
    text.resize(n);
    return text;
  }

  HANDLE console_ = INVALID_HANDLE_VALUE;
  UINT saved_code_page_ = 0;
  std::optional<StdoutRedirect> redirect_;
};

TEST_F(StdoutWindowsConsole, character_split_between_flushes) {
  ASSERT_TRUE(SetConsoleOutputCP(437));
  clear();
  StdoutWriter writer(system_stdout_ops());
  ASSERT_TRUE(writer.write({std::string(1023, 'a'), "\xC3"}));  // fills the buffer exactly
  ASSERT_TRUE(writer.write({"\xA9\n"}));  // the lead byte waits for the next flush
  const std::u16string screen = screen_text(1024);
  EXPECT_EQ(screen.find_first_not_of(u'a'), 1023U);
  EXPECT_EQ(screen.substr(1021), u"aa\u00E9");
  EXPECT_TRUE(writer.buffered().empty());
  EXPECT_TRUE(writer.pending_utf8().empty());
}

TEST_F(StdoutWindowsConsole, utf16_mode_writes_characters) {
  ASSERT_TRUE(SetConsoleOutputCP(437));
  clear();
  StdoutWriter writer(system_stdout_ops());
  ASSERT_TRUE(writer.write({"caf\xC3\xA9 \xE2\x82\xAC"}));
  ASSERT_TRUE(writer.write({"\n"}));
  EXPECT_EQ(screen_text(6), u"caf\u00E9 \u20AC");
}

TEST_F(StdoutWindowsConsole, invalid_byte_fails_after_the_text_before_it) {
  ASSERT_TRUE(SetConsoleOutputCP(437));
  clear();
  StdoutWriter writer(system_stdout_ops());
  ASSERT_TRUE(
      writer.write({"ab\xFF"
                    "cd"}));
  const IoResult result = writer.write({"\n"});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), IoErrorKind::kInvalidData);
  EXPECT_EQ(result.error().display_text(),
            "Windows stdio in console mode does not support writing non-UTF-8 byte sequences");
  EXPECT_EQ(writer.buffered(),
            "\xFF"
            "cd\n");
  EXPECT_EQ(screen_text(3), u"ab ");
}

TEST_F(StdoutWindowsConsole, utf8_code_page_takes_bytes) {
  if (!SetConsoleOutputCP(kUtf8CodePage)) GTEST_SKIP() << "console refuses code page 65001";
  clear();
  StdoutWriter writer(system_stdout_ops());
  ASSERT_TRUE(writer.write({"caf\xC3\xA9\n"}));
  EXPECT_EQ(screen_text(4), u"caf\u00E9");
}

}  // namespace
}  // namespace mervik::platform
