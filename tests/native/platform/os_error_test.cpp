#include "platform/os_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>

namespace mervik::platform {
namespace {

struct CodeCase {
  const char* name;
  int32_t code;
  int kind;
};

void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.name; }

std::string case_name(const ::testing::TestParamInfo<CodeCase>& info) { return info.param.name; }

class PosixErrno : public ::testing::TestWithParam<CodeCase> {};

TEST_P(PosixErrno, classifies_into_its_kind) {
  EXPECT_EQ(static_cast<int>(classify_os_error(GetParam().code)), GetParam().kind);
}

// A few codes of each sort; that every errno raises the exception class the interpreter picks
// for it is checked with the interpreter (tests/native/binding/py_err_test.cpp).
INSTANTIATE_TEST_SUITE_P(
    Errno, PosixErrno,
    ::testing::Values(
        CodeCase{"ENOENT", ENOENT, 0}, CodeCase{"EPERM", EPERM, 1}, CodeCase{"EPIPE", EPIPE, 11},
        CodeCase{"EAGAIN", EAGAIN, 13}, CodeCase{"EWOULDBLOCK", EWOULDBLOCK, 13},
        CodeCase{"EROFS", EROFS, 17}, CodeCase{"ENOSPC", ENOSPC, 24}, CodeCase{"EINTR", EINTR, 35},
        CodeCase{"EOPNOTSUPP", EOPNOTSUPP, 36}, CodeCase{"ENOMEM", ENOMEM, 38},
        CodeCase{"EINPROGRESS", EINPROGRESS, 39},
        // Everything else is uncategorized, including codes the table might be mistaken for.
        CodeCase{"zero", 0, 41}, CodeCase{"EIO", EIO, 41}, CodeCase{"EALREADY", EALREADY, 41},
        CodeCase{"unknown", 9999, 41}, CodeCase{"negative", -1, 41}),
    case_name);

TEST(ErrnoClassification, never_classifies_into_the_kinds_of_the_writers_own_errors) {
  for (int32_t code = -1; code < 4096; ++code) {
    const IoErrorKind kind = classify_os_error(code);
    for (const IoErrorKind own : {IoErrorKind::kInvalidData, IoErrorKind::kWriteZero,
                                  IoErrorKind::kUnexpectedEof, IoErrorKind::kOther}) {
      EXPECT_NE(kind, own) << "errno " << code;
    }
  }
}

class WindowsCode : public ::testing::TestWithParam<CodeCase> {};

TEST_P(WindowsCode, classifies_into_its_kind) {
  EXPECT_EQ(static_cast<int>(classify_windows_error(GetParam().code)), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    CodeTable, WindowsCode,
    // One or two codes of every kind (the table's first and last where it has many), then codes
    // outside the table, among them neighbours of listed ones.
    ::testing::Values(CodeCase{"FILE_NOT_FOUND", 2, 0}, CodeCase{"BAD_NET_NAME", 67, 0},
                      CodeCase{"ACCESS_DENIED", 5, 1}, CodeCase{"WSAEACCES", 10013, 1},
                      CodeCase{"NOT_ENOUGH_MEMORY", 8, 38}, CodeCase{"ALREADY_EXISTS", 183, 12},
                      CodeCase{"BROKEN_PIPE", 109, 11}, CodeCase{"NO_DATA", 232, 11},
                      CodeCase{"DIRECTORY", 267, 14}, CodeCase{"DIRECTORY_NOT_SUPPORTED", 336, 15},
                      CodeCase{"timeout_121", 121, 22}, CodeCase{"OPERATION_ABORTED", 995, 22},
                      CodeCase{"WSAETIMEDOUT", 10060, 22}, CodeCase{"timeout_15403", 15403, 22},
                      CodeCase{"WSAEWOULDBLOCK", 10035, 13}, CodeCase{"WSAECONNABORTED", 10053, 6},
                      CodeCase{"WSAECONNRESET", 10054, 3}, CodeCase{"WSAECONNREFUSED", 10061, 2},
                      CodeCase{"SUCCESS", 0, 41}, CodeCase{"INVALID_HANDLE", 6, 41},
                      CodeCase{"INVALID_PARAMETER", 87, 41}, CodeCase{"code_110", 110, 41},
                      CodeCase{"WSAEINPROGRESS", 10036, 41}, CodeCase{"negative", -1, 41}),
    case_name);

TEST(OsErrorMessage, is_the_c_library_text) {
  EXPECT_EQ(os_error_message(EPIPE), "Broken pipe");
  EXPECT_EQ(os_error_message(ENOENT), "No such file or directory");
  EXPECT_EQ(os_error_message(9999), "Unknown error 9999");
}

}  // namespace
}  // namespace mervik::platform
