// The test programs' main: GoogleTest, unless the program was started as a
// child process for one action (support/child_process.h).
#include <gtest/gtest.h>

#include "support/child_process.h"

int main(int argc, char** argv) {
  int status = 0;
  if (run_requested_child_action(argc, argv, status)) return status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
