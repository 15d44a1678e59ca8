#include "certs.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "test_util.h"

namespace testcerts {
namespace {

constexpr long kHour = 3600;
constexpr long kDay = 24 * kHour;

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* x) const { X509_free(x); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

std::string opensslError(const std::string& what) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  char buf[256] = "unknown error";
  if (code != 0) ERR_error_string_n(code, buf, sizeof buf);
  return what + ": " + buf;
}

struct Issuer {
  X509* cert;  // null: the certificate signs itself
  EVP_PKEY* key;
};

struct Profile {
  std::string commonName;
  std::string altNames;  // "" for none
  bool isCa = false;
  long notBefore = -kHour;  // seconds from now
  long notAfter = 7 * kDay;
};

bool addExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool makeCert(const Profile& p, EVP_PKEY* key, const Issuer& issuer, Cert* out,
              std::string* error) {
  Cert cert(X509_new());
  if (!cert) {
    *error = opensslError("X509_new");
    return false;
  }
  X509* x = cert.get();
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) {
    *error = opensslError("RAND_bytes");
    return false;
  }
  serial[0] &= 0x7f;  // a positive serial number
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) != nullptr;
  BN_free(bn);
  X509_NAME* name = X509_get_subject_name(x);
  ok = ok && X509_set_version(x, X509_VERSION_3) == 1 &&
       X509_gmtime_adj(X509_getm_notBefore(x), p.notBefore) != nullptr &&
       X509_gmtime_adj(X509_getm_notAfter(x), p.notAfter) != nullptr &&
       X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("pelliton tests"), -1, -1,
                                  0) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>(p.commonName.c_str()), -1,
                                  -1, 0) == 1 &&
       X509_set_issuer_name(x, issuer.cert ? X509_get_subject_name(issuer.cert) : name) == 1 &&
       X509_set_pubkey(x, key) == 1;
  if (!ok) {
    *error = opensslError("making " + p.commonName);
    return false;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer.cert ? issuer.cert : x, x, nullptr, nullptr, 0);
  if (p.isCa) {
    ok = addExtension(x, &ctx, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(x, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         addExtension(x, &ctx, NID_subject_key_identifier, "hash");
  } else {
    ok = addExtension(x, &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(x, &ctx, NID_key_usage, "critical,digitalSignature") &&
         addExtension(x, &ctx, NID_ext_key_usage, "serverAuth") &&
         addExtension(x, &ctx, NID_subject_key_identifier, "hash") &&
         addExtension(x, &ctx, NID_authority_key_identifier, "keyid:always");
    if (ok && !p.altNames.empty())
      ok = addExtension(x, &ctx, NID_subject_alt_name, p.altNames);
  }
  if (!ok) {
    *error = opensslError("extensions of " + p.commonName);
    return false;
  }
  if (X509_sign(x, issuer.key ? issuer.key : key, EVP_sha256()) <= 0) {
    *error = opensslError("signing " + p.commonName);
    return false;
  }
  *out = std::move(cert);
  return true;
}

Key makeKey(std::string* error) {
  Key key(EVP_EC_gen("P-256"));
  if (!key) *error = opensslError("EVP_EC_gen");
  return key;
}

// Writes the certificates, in order, or the key, to a fresh file.
bool writePem(const std::string& path, std::initializer_list<X509*> certs, EVP_PKEY* key,
              std::string* error) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, key ? 0600 : 0644);
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "w");
  if (f == nullptr) {
    *error = path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  bool ok = true;
  for (X509* c : certs) ok = ok && PEM_write_X509(f, c) == 1;
  if (key) ok = ok && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (std::fclose(f) != 0) ok = false;
  if (!ok) *error = opensslError(path);
  return ok;
}

// A server certificate with its own key: cert and key files, and a chain
// file (the certificate followed by its issuer) when chainPath is set.
bool makeServer(const Profile& p, const Issuer& issuer, const std::string& certPath,
                const std::string& keyPath, const std::string& chainPath, std::string* error) {
  Key key = makeKey(error);
  Cert cert;
  if (!key || !makeCert(p, key.get(), issuer, &cert, error)) return false;
  if (!writePem(certPath, {cert.get()}, nullptr, error) ||
      !writePem(keyPath, {}, key.get(), error))
    return false;
  return chainPath.empty() || writePem(chainPath, {cert.get(), issuer.cert}, nullptr, error);
}

}  // namespace

bool MakeCerts(const std::string& dir, CertSet* out, std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  CertSet s;
  auto at = [&dir](const char* name) { return dir + "/" + name; };
  s.caCert = at("ca.pem");
  s.caKey = at("ca-key.pem");
  s.serverCert = at("server.pem");
  s.serverKey = at("server-key.pem");
  s.serverChain = at("server-chain.pem");
  s.wrongHostCert = at("wronghost.pem");
  s.wrongHostKey = at("wronghost-key.pem");
  s.otherCaCert = at("other-ca.pem");
  s.untrustedCert = at("untrusted.pem");
  s.untrustedKey = at("untrusted-key.pem");
  s.untrustedChain = at("untrusted-chain.pem");
  s.expiredCert = at("expired.pem");
  s.expiredKey = at("expired-key.pem");
  s.cnOnlyCert = at("cn-only.pem");
  s.cnOnlyKey = at("cn-only-key.pem");

  Profile caProfile{"pelliton test CA", "", true};
  Key caKey = makeKey(error);
  Cert ca;
  if (!caKey || !makeCert(caProfile, caKey.get(), {nullptr, nullptr}, &ca, error) ||
      !writePem(s.caCert, {ca.get()}, nullptr, error) ||
      !writePem(s.caKey, {}, caKey.get(), error))
    return false;
  Issuer byCa{ca.get(), caKey.get()};

  Profile otherProfile{"unrelated test CA", "", true};
  Key otherKey = makeKey(error);
  Cert other;
  if (!otherKey || !makeCert(otherProfile, otherKey.get(), {nullptr, nullptr}, &other, error) ||
      !writePem(s.otherCaCert, {other.get()}, nullptr, error))
    return false;
  Issuer byOther{other.get(), otherKey.get()};

  Profile server{"localhost", kServerNames};
  Profile wrong{"wrong.example", "DNS:wrong.example"};
  Profile expired{"localhost", kServerNames, false, -30 * kDay, -kDay};
  Profile cnOnly{"localhost", ""};
  if (!makeServer(server, byCa, s.serverCert, s.serverKey, s.serverChain, error) ||
      !makeServer(wrong, byCa, s.wrongHostCert, s.wrongHostKey, "", error) ||
      !makeServer(server, byOther, s.untrustedCert, s.untrustedKey, s.untrustedChain, error) ||
      !makeServer(expired, byCa, s.expiredCert, s.expiredKey, "", error) ||
      !makeServer(cnOnly, byCa, s.cnOnlyCert, s.cnOnlyKey, "", error))
    return false;
  if (out != nullptr) *out = s;
  return true;
}

const CertSet& SharedCerts() {
  static testutil::TempDir dir;
  static const CertSet certs = [] {
    CertSet set;
    std::string error;
    if (!MakeCerts(dir.path(), &set, &error)) {
      std::fprintf(stderr, "test certificates: %s\n", error.c_str());
      set = CertSet{};
    }
    return set;
  }();
  return certs;
}

}  // namespace testcerts
