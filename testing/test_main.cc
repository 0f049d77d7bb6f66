// The main of every unit test program. The whole run works in a fresh temporary directory, so
// that what a test or the code under it writes relative to the current directory (logs,
// stack dumps, scratch files) never lands in the checkout or the build tree; the directory is
// removed when the run ends. A death test's child started afresh finds the directory in the
// environment and works in the same one.
#include <gtest/gtest.h>

#include "testing/temp_dir.h"

int main(int argc, char** argv) {
  // GoogleTest notes the starting directory here, to start death-test children from it.
  testing::InitGoogleTest(&argc, argv);
  SharedCurrentDir run_dir("PELLARY_TEST_RUN_DIR");
  return RUN_ALL_TESTS();
}
