#pragma once
// Test fixture of the XML persistence tests and a helper for failure messages.

#include <gtest/gtest.h>

#include <string>

#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "tests/common/XmlPersistance_test_classes.h"

namespace xml_test {

// Starts the persistence unit with the test classes registered, and keeps the full-debug traces out of
// the log files (the program runs with llWarn too).
class TXmlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel_ = LogLevel;
    LogLevel = llWarn;
    InitializeXmlPersistance();
    RegisterTestClasses();
  }
  void TearDown() override {
    FinalizeXmlPersistance();
    LogLevel = savedLevel_;
  }

 private:
  TLogLevel savedLevel_ = llWarn;
};

// Runs f and returns "<exception class>: <message>" of the exception it throws, or "no exception".
template <class F>
std::string Failure(F f) {
  try {
    f();
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  } catch (const std::exception& e) {
    return std::string("std::exception: ") + e.what();
  }
  return "no exception";
}

}  // namespace xml_test
