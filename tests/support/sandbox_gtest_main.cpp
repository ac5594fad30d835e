// main() of the test programs that run the real programs: each test case
// runs inside a sandbox of its own (private namespaces, own /etc/ram and
// loopback), so it may use the fixed paths and ports. Where the machine
// cannot make the namespaces, every case exits with the skip status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "sandbox.h"

int main(int argc, char** argv) {
  bool listing = false;  // test discovery at build time needs no sandbox
  for (int i = 1; i < argc; ++i) listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
  if (!listing)
    keydsandbox::enterSandbox(argc, argv,
                              std::string(KEYD_BIN_DIR) + "/../e2e-ram/" + std::to_string(::getpid()));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
