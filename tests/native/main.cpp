// Test main: starts an embedded interpreter for the suites that need one.
#include <gtest/gtest.h>

#include "binding/python.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  const int result = RUN_ALL_TESTS();
  // The interpreter is not finalized: like the module, the tests keep process-wide objects.
  return result;
}
