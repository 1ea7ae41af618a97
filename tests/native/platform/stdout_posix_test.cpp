#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "output/stdout_writer.h"
#include "platform/stdout.h"

namespace mervik::platform {
namespace {

/// Points descriptor 1 at the write end of a pipe for the object's lifetime (or closes it when
/// `closed`); `read_all` collects what arrived.
class Fd1Redirect {
 public:
  explicit Fd1Redirect(bool closed = false) {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    EXPECT_EQ(::pipe(pipe_), 0);
    if (closed) {
      ::close(STDOUT_FILENO);
    } else {
      ::dup2(pipe_[1], STDOUT_FILENO);
    }
    ::close(pipe_[1]);
  }
  ~Fd1Redirect() {
    restore();
    ::close(pipe_[0]);
  }
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  std::string read_all() {
    restore();
    std::string out;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(pipe_[0], chunk, sizeof chunk)) > 0) out.append(chunk, size_t(n));
    return out;
  }
  int read_end() const { return pipe_[0]; }

 private:
  int saved_ = -1;
  int pipe_[2] = {-1, -1};
};

TEST(StdoutPosix, writes_reach_descriptor_1) {
  Fd1Redirect redirect;
  StdoutWriter writer(system_stdout_ops());
  const std::string big(2000, 'x');
  ASSERT_TRUE(writer.write({"abc"}));
  ASSERT_TRUE(writer.write({"\n", big}));
  ASSERT_TRUE(writer.write({"tail"}));
  EXPECT_EQ(redirect.read_all(), "abc\n" + big);
  EXPECT_EQ(writer.buffered(), "tail");
}

TEST(StdoutPosix, closed_descriptor_1_discards_output) {
  Fd1Redirect redirect(/*closed=*/true);
  StdoutWriter writer(system_stdout_ops());
  EXPECT_TRUE(writer.write({"a\n", std::string(3000, 'b'), "c\n"}));
  EXPECT_TRUE(writer.buffered().empty());
}

TEST(StdoutPosix, broken_pipe_keeps_unwritten_bytes) {
  Fd1Redirect redirect;
  ::close(redirect.read_end());
  const auto old_handler = std::signal(SIGPIPE, SIG_IGN);
  StdoutWriter writer(system_stdout_ops());
  ASSERT_TRUE(writer.write({"abc"}));
  const IoResult result = writer.write({"\n"});
  std::signal(SIGPIPE, old_handler);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display_text(), "Broken pipe (os error 32)");
  EXPECT_EQ(writer.buffered(), "abc\n");
}

TEST(StdoutPosix, has_no_console) {
  const StdoutOps& ops = system_stdout_ops();
  ASSERT_TRUE(ops.get_handle());
  EXPECT_EQ(*ops.get_handle(), STDOUT_FILENO);
  EXPECT_FALSE(ops.is_console(STDOUT_FILENO));
  EXPECT_EQ(ops.console_output_code_page(), kUtf8CodePage);
  EXPECT_FALSE(ops.write_console(STDOUT_FILENO, std::u16string_view(u"a")));
  EXPECT_TRUE(ops.is_interrupted(EINTR));
  EXPECT_FALSE(ops.is_interrupted(EAGAIN));
}

struct ConversionCase {
  std::string name;
  std::string utf8;
  size_t room;
  std::u16string utf16;  // empty: the conversion fails
  friend void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }
};

class StdoutPosixConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(StdoutPosixConversion, utf8_to_utf16) {
  const ConversionCase& c = GetParam();
  std::u16string out(c.room, u'\0');
  const OsCount n = system_stdout_ops().utf8_to_utf16(c.utf8, out);
  if (c.utf16.empty()) {
    EXPECT_FALSE(n);
  } else {
    ASSERT_TRUE(n);
    EXPECT_EQ(out.substr(0, *n), c.utf16);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StdoutPosixConversion,
    ::testing::Values(ConversionCase{"every_length", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 8,
                                     u"a\u00E9\u20AC\U0001F600"},
                      ConversionCase{"largest_scalars", "\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF", 4,
                                     u"\u07FF\uFFFF\U0010FFFF"},
                      ConversionCase{"invalid_input", "a\xFF", 8, u""},
                      ConversionCase{"no_room_for_a_pair", "a\xF0\x9F\x98\x80", 2, u""}),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace mervik::platform
