// main() of the end-to-end test programs: each runs inside its own sandbox
// (see sandbox.h), so every test may use the fixed paths and ports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "child.h"
#include "sandbox.h"

int main(int argc, char** argv) {
  const std::string ram =
      std::string(KEYD_BIN_DIR) + "/../e2e-ram/" + std::to_string(::getpid());
  keydsandbox::enterSandbox(argc, argv, ram);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
