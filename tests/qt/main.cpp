// The window tests' main: one application object for every test, on the offscreen platform unless
// the environment chooses another.

#include <gtest/gtest.h>

#include "platform/qt/crash_report.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  platform::qt::WexaApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
