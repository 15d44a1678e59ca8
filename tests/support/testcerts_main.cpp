// pelliton-testcerts: makes the throwaway certificates of the TLS tests
// into a directory, for shell tests and the demo.
//
//   pelliton-testcerts DIR
//
// Creates DIR when it is missing and prints one line per file, its role
// and its path ("ca-cert /tmp/x/ca.pem").
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "certs.h"

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    std::fputs("usage: pelliton-testcerts DIR\n", argc == 2 ? stdout : stderr);
    return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
  }
  std::string dir = argv[1];
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "pelliton-testcerts: %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  testcerts::CertSet s;
  std::string error;
  if (!testcerts::MakeCerts(dir, &s, &error)) {
    std::fprintf(stderr, "pelliton-testcerts: %s\n", error.c_str());
    return 1;
  }
  const std::vector<std::pair<const char*, const std::string*>> files = {
      {"ca-cert", &s.caCert},
      {"ca-key", &s.caKey},
      {"server-cert", &s.serverCert},
      {"server-key", &s.serverKey},
      {"server-chain", &s.serverChain},
      {"wronghost-cert", &s.wrongHostCert},
      {"wronghost-key", &s.wrongHostKey},
      {"other-ca-cert", &s.otherCaCert},
      {"untrusted-cert", &s.untrustedCert},
      {"untrusted-key", &s.untrustedKey},
      {"untrusted-chain", &s.untrustedChain},
      {"expired-cert", &s.expiredCert},
      {"expired-key", &s.expiredKey},
  };
  for (const auto& [role, path] : files) std::printf("%s %s\n", role, path->c_str());
  return 0;
}
