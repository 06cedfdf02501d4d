// main() of a GoogleTest executable on the virtual USB bus.
#include <gtest/gtest.h>

#include <cstdio>
#include <exception>

#include "qsim/vbus_gtest.h"

int main(int argc, char** argv) {
  try {
    qsim::vbustest::initProcess(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
