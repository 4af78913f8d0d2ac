#pragma once
// What tests of the model, the state files and the exporter share: whole-file reading and writing,
// the XML persistence started with the model's classes as at program start, and a folder of the
// test's own (also as the working directory).

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/XmlPersistance.h"
#include "common/logging.h"
#include "model/helper.h"

namespace test_support {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// For its lifetime: the log threshold of the program (Warn), and the XML persistence started with the
// model's classes registered.
class ModelPersistence {
 public:
  ModelPersistence() : savedLevel_(LogLevel) {
    LogLevel = llWarn;
    InitializeXmlPersistance();
    RegisterModelClasses();
  }
  ~ModelPersistence() {
    FinalizeXmlPersistance();
    LogLevel = savedLevel_;
  }
  ModelPersistence(const ModelPersistence&) = delete;
  ModelPersistence& operator=(const ModelPersistence&) = delete;

 private:
  TLogLevel savedLevel_;
};

// An empty folder named after the running test, removed with its content on destruction.
class TestFolder {
 public:
  explicit TestFolder(const std::string& prefix)
      : path_(std::filesystem::temp_directory_path() /
              (prefix + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TestFolder() { std::filesystem::remove_all(path_); }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A TestFolder that is also the working directory for its lifetime, so that files named without a
// folder (the state files) go there.
class WorkingFolder : public TestFolder {
 public:
  explicit WorkingFolder(const std::string& prefix) : TestFolder(prefix), saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(Path());
  }
  ~WorkingFolder() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

}  // namespace test_support
