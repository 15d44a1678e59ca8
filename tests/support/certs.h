// Certificates made when the tests run, so that nothing that can expire is
// kept in the repository.  Each call makes a fresh throwaway CA and the
// server certificates the TLS tests need, with P-256 keys (quick to make)
// and SHA-256 signatures, valid from an hour ago for a week unless said
// otherwise.  Keys are written unencrypted with mode 0600.
#ifndef PELLITON_TESTS_CERTS_H
#define PELLITON_TESTS_CERTS_H

#include <string>

namespace testcerts {

// The names every good server certificate carries.
inline constexpr const char* kServerNames = "DNS:localhost, IP:127.0.0.1, IP:::1";

// Paths of the PEM files made into one directory.
struct CertSet {
  std::string caCert;       // ca.pem: the CA that clients are given to trust
  std::string caKey;        // ca-key.pem
  std::string serverCert;   // server.pem: signed by the CA, kServerNames
  std::string serverKey;    // server-key.pem
  std::string serverChain;  // server-chain.pem: serverCert, then caCert
  // wronghost.pem: signed by the CA, for "wrong.example" alone (no IP).
  std::string wrongHostCert;
  std::string wrongHostKey;
  std::string otherCaCert;  // other-ca.pem: a CA nobody trusts
  // untrusted.pem: kServerNames, signed by the other CA.
  std::string untrustedCert;
  std::string untrustedKey;
  std::string untrustedChain;  // untrusted-chain.pem: untrustedCert, then otherCaCert
  // expired.pem: signed by the CA, kServerNames, valid from 30 days ago
  // until yesterday.
  std::string expiredCert;
  std::string expiredKey;
  // cn-only.pem: signed by the CA, subject CN=localhost, no subject
  // alternative names at all.
  std::string cnOnlyCert;
  std::string cnOnlyKey;
};

// Makes the set into `dir`, which must exist; files of the same names are
// replaced.  False and *error set when anything fails.
bool MakeCerts(const std::string& dir, CertSet* out, std::string* error);

// One set for all the tests of a process, made at its first use into a
// directory that is removed at exit.  When it cannot be made, the reason
// goes to stderr and every path is empty, so that whatever loads one fails.
const CertSet& SharedCerts();

}  // namespace testcerts

#endif  // PELLITON_TESTS_CERTS_H
