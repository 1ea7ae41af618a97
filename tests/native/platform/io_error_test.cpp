#include "platform/io_error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/os_error.h"

namespace mervik::platform {
namespace {

TEST(IoError, display_text_of_each_form) {
  EXPECT_EQ(IoError::from_kind(IoErrorKind::kWriteZero).display_text(), "write zero");
  EXPECT_EQ(IoError::fixed(IoErrorKind::kWriteZero, "failed to write whole buffer").display_text(),
            "failed to write whole buffer");
  EXPECT_EQ(IoError::from_os(EPIPE).display_text(), "Broken pipe (os error 32)");
  EXPECT_EQ(IoError::from_os(ENOSPC).display_text(), "No space left on device (os error 28)");
}

TEST(IoError, descriptions_cover_every_kind) {
  EXPECT_EQ(kind_description(IoErrorKind::kNotFound), "entity not found");
  EXPECT_EQ(kind_description(IoErrorKind::kFilesystemLoop),
            "filesystem loop or indirection limit (e.g. symlink loop)");
  EXPECT_EQ(kind_description(IoErrorKind::kInterrupted), "operation interrupted");
  EXPECT_EQ(kind_description(IoErrorKind::kUncategorized), "uncategorized error");
  for (int k = 0; k < kIoErrorKindCount; ++k) {
    EXPECT_FALSE(kind_description(static_cast<IoErrorKind>(k)).empty()) << k;
  }
}

}  // namespace
}  // namespace mervik::platform
