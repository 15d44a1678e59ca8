// Running out of memory: the first allocation that fails in a run is
// survived on a reserve, so that the run can wind down and save its
// progress; only when memory runs out again does the program end at once.
#include <openssl/crypto.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "test_util.h"
#include "tls.h"
#include "util.h"

namespace pelliton {
namespace {

constexpr const char* kFirst = "pelliton: malloc\\(\\) failed -- out of memory, the run is stopping\n";
constexpr const char* kLast = "pelliton: malloc\\(\\) failed\n";

// The program ends through exit(), which runs the destructors of the test
// binary's statics: the child runs in a process of its own, not a fork
// that shares them with the other tests.
class MemoryExhaustion : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(MemoryExhaustion, TheFirstFailureStopsTheRunAndTheSecondEndsIt) {
  EXPECT_EXIT(
      {
        InstallOutOfMemoryHandler();
        keepRunning = 1;
        runFailed = 0;
        OutOfMemory("malloc()");
        // The run goes on to save its progress, and ends with status 1.
        if (keepRunning != 0 || runFailed != 1) std::_Exit(2);
        std::fputs("still running\n", stderr);
        OutOfMemory("malloc()");
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(1), std::string(kFirst) + "still running\n" + kLast);
}

// Memory really runs out under a limit on the address space: the
// allocation that failed first succeeds when tried again, on the reserve,
// and so do a few more; then the program ends.  AddressSanitizer's
// allocator reports the failure itself instead of returning it.
TEST_F(MemoryExhaustion, TheReserveCarriesTheRunPastTheFirstFailure) {
#ifdef PELLITON_ASAN
  GTEST_SKIP() << "AddressSanitizer ends the process on a failed allocation";
#else
  const struct {
    const char* what;
    void* (*allocate)(std::size_t);
  } allocators[] = {
      {"operator new", [](std::size_t size) -> void* { return new char[size]; }},
      {"mymalloc", [](std::size_t size) { return mymalloc(size); }},
  };
  for (const auto& a : allocators) {
    SCOPED_TRACE(a.what);
    EXPECT_EXIT(
        {
          InstallOutOfMemoryHandler();
          keepRunning = 1;
          runFailed = 0;
          std::vector<void*> kept;
          kept.reserve(1 << 16);
          rlimit limit{};
          getrlimit(RLIMIT_AS, &limit);
          // What the process maps now, and 64 megabytes more.
          long pages = 0;
          if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
          }
          if (pages == 0) std::_Exit(4);
          limit.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64 << 20);
          if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(4);
          int afterFirst = -1;
          for (;;) {
            kept.push_back(a.allocate(1 << 20));
            if (keepRunning == 0 && afterFirst < 0) afterFirst = 0;
            if (afterFirst >= 0 && ++afterFirst == 2) std::fputs("allocated after it\n", stderr);
          }
        },
        ::testing::ExitedWithCode(1), std::string(kFirst) + "allocated after it\n" + kLast);
  }
#endif
}

// The TLS session's buffer of ciphertext is OpenSSL's, grown by its own
// allocator: its first failure is survived like any other, so that the
// run can wind down and save its progress.
TEST_F(MemoryExhaustion, TheFirstFailureOfTheTlsInputBufferIsSurvived) {
  static int failuresToCome = 0;
  struct Allocator {
    static void* Malloc(std::size_t size, const char*, int) {
      if (failuresToCome > 0) {
        --failuresToCome;
        return nullptr;
      }
      return std::malloc(size);
    }
    static void* Realloc(void* p, std::size_t size, const char*, int) {
      if (failuresToCome > 0) {
        --failuresToCome;
        return nullptr;
      }
      return std::realloc(p, size);
    }
    static void Free(void* p, const char*, int) { std::free(p); }
  };
  EXPECT_EXIT(
      {
        // Only before OpenSSL's first allocation in the process.
        if (CRYPTO_set_mem_functions(Allocator::Malloc, Allocator::Realloc, Allocator::Free) != 1)
          std::_Exit(4);
        InstallOutOfMemoryHandler();
        keepRunning = 1;
        runFailed = 0;
        std::string error;
        std::unique_ptr<TlsSession> session = TlsSession::Create("localhost", "", &error);
        if (!session) std::_Exit(5);
        const std::string ciphertext(4096, 'x');
        failuresToCome = 1;
        session->Feed(ciphertext.data(), ciphertext.size());
        if (keepRunning != 0 || runFailed != 1) std::_Exit(2);
        std::fputs("still running\n", stderr);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), std::string(kFirst) + "still running\n");
}

}  // namespace
}  // namespace pelliton
