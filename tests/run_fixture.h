// Shared by the end-to-end tests of the run sequence: a fixture that writes
// the server, filter and newsrc files into a temporary directory, so that
// no run ever touches the real home directory.
#ifndef PELLITON_TESTS_RUN_FIXTURE_H
#define PELLITON_TESTS_RUN_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace runfixture {

// Every test gets its own directory with a server file whose section sets
// absolute filter and newsrc paths.
class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::WriteFile(filters(), "comp.test:\n" + dir_.file("mbox") + "\n");
  }

  std::string servers() const { return dir_.file("servers"); }
  std::string filters() const { return dir_.file("filters"); }
  std::string newsrc() const { return dir_.file("newsrc"); }
  std::string file(const std::string& name) const { return dir_.file(name); }
  // A port on 127.0.0.1 that refuses connections, held for the test.
  int closedPort() const { return closed_.port(); }

  // Writes the server file with the section [news] and returns its path.
  std::string WriteServers(int port, const std::string& extra = "") const {
    testutil::WriteFile(servers(), "[news]\nhost 127.0.0.1\nport " + std::to_string(port) +
                                       "\nconfig " + filters() + "\nnewsrc " + newsrc() + "\n" +
                                       extra);
    return servers();
  }

  // Runs pelliton against the server file: "-f <servers>", the arguments,
  // then the server name "news".
  testutil::RunResult RunNews(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"-f", servers()};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back("news");
    return testutil::RunPelliton(all);
  }

  testutil::TempDir dir_;
  testutil::ClosedPort closed_;
};

}  // namespace runfixture

#endif  // PELLITON_TESTS_RUN_FIXTURE_H
