// The numbering seen by a fresh process: the first error id and the first
// handle are 1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <qelomsr/qelomsr.h>

#include "api/qelomsrinternal.h"
#include "mock_device.h"

TEST(FreshProcess, FirstErrorIdAndFirstHandleAreOne) {
  EXPECT_EQ(QeloMsrResetDevice(1), 1) << "the first failure of the process has id 1";
  auto device = boost::shared_ptr<MockDevice>(new ::testing::NiceMock<MockDevice>());
  EXPECT_EQ(qelomsr_internal::addOpenDevice(device), 1);
  EXPECT_EQ(qelomsr_internal::addOpenDevice(device), 2);
  QeloMsrClose(1);
  EXPECT_EQ(qelomsr_internal::addOpenDevice(device), 3);
  QeloMsrClose(2);
  QeloMsrClose(3);
}
