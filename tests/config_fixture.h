// A fixture for tests of the configuration files: a fresh model, the
// run-wide values at their defaults, and a temporary directory that serves
// as the home directory.
#ifndef PELLITON_TESTS_CONFIG_FIXTURE_H
#define PELLITON_TESTS_CONFIG_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "config.h"
#include "config_release.h"
#include "test_util.h"
#include "text_stream.h"
#include "util.h"

namespace pelliton {


class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseConfigModel();
    fileSizeLimit = 0;
    defaultPort = 119;
    home_ = home.path();
    SetHomeLookup([] { return home_; });
  }
  void TearDown() override {
    SetHomeLookup(nullptr);
    ReleaseConfigModel();
  }

  // Writes a file into the home directory and returns its absolute path.
  std::string HomeFile(const std::string& name, const std::string& content) {
    std::string path = home.file(name);
    testutil::WriteFile(path, content);
    return path;
  }

  template <typename F>
  static std::string StderrOf(F&& f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
  }

  testutil::TempDir home;

 private:
  static inline std::string home_;
};

}  // namespace pelliton

#endif  // PELLITON_TESTS_CONFIG_FIXTURE_H
