// pelliton-testserver: the scripted news server as a program of its own,
// for shell tests, the demo and the benchmarks.
//
//   pelliton-testserver [--spool DIR] [--synthetic GROUP:K:N]...
//                       [--delay-ms D] [--port-file FILE] [--log FILE]
//                       [--user U --password P] [--ipv6]
//                       [--tls implicit|starttls --cert CHAIN --key KEY]
//                       [--tls-max 1.0|1.1|1.2|1.3] [--reply COMMAND=TEXT]...
//                       [--hangup-in-handshake] [--sockbuf BYTES]
//                       [--plain-log FILE] [--stats FILE] [--compress]
//                       [--bomb COMMAND=BYTES]
//
// --reply answers COMMAND with TEXT and CR LF, for ever (for instance
// "STARTTLS=580 Can not initiate TLS negotiation").  The log file has one
// line per command: the outstanding count, a tab and the command; with
// --tls a column between them says "tls" or "plain".  --plain-log FILE
// receives, when the server stops, every byte that arrived outside TLS.
// --stats FILE receives, on each SIGUSR1, three decimal numbers on one
// line: the bytes of responses sent since the start (plaintext, before
// compression), and the bytes that crossed the sockets, sent and received.
// --compress offers COMPRESS DEFLATE; --bomb (which implies it) puts BYTES
// of 'a' behind the status line of the answer to COMMAND once compression
// is on, a line that costs about a thousandth of its size on the wire.
//
// Prints "listening on 127.0.0.1:PORT" (or "[::1]:PORT") once it accepts
// connections and runs until SIGTERM or SIGINT.
#include <openssl/ssl.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>

#include "newsserver.h"
#include "util.h"

namespace {

constexpr const char* kUsage =
    "usage: pelliton-testserver [--spool DIR] [--synthetic GROUP:K:N]...\n"
    "                           [--delay-ms D] [--port-file FILE] [--log FILE]\n"
    "                           [--user U --password P] [--ipv6]\n"
    "                           [--tls implicit|starttls --cert CHAIN --key KEY]\n"
    "                           [--tls-max 1.0|1.1|1.2|1.3] [--reply COMMAND=TEXT]...\n"
    "                           [--hangup-in-handshake] [--sockbuf BYTES]\n"
    "                           [--plain-log FILE] [--stats FILE] [--compress]\n"
    "                           [--bomb COMMAND=BYTES]\n";

using pelliton::UniqueFile;

bool parseInt(const char* text, long min, long* value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < min) return false;
  *value = v;
  return true;
}

// "GROUP:K:N"; the group name itself may hold no colon.
bool parseSynthetic(const std::string& spec, std::string* group, int* count, int* every) {
  std::size_t a = spec.find(':');
  std::size_t b = a == std::string::npos ? a : spec.find(':', a + 1);
  if (a == 0 || b == std::string::npos) return false;
  long k, n;
  if (!parseInt(spec.substr(a + 1, b - a - 1).c_str(), 0, &k) ||
      !parseInt(spec.substr(b + 1).c_str(), 0, &n) || k > 0x7fffffff || n > 0x7fffffff)
    return false;
  *group = spec.substr(0, a);
  *count = static_cast<int>(k);
  *every = static_cast<int>(n);
  return true;
}

}  // namespace

int tlsVersion(const std::string& text) {
  if (text == "1.0") return TLS1_VERSION;
  if (text == "1.1") return TLS1_1_VERSION;
  if (text == "1.2") return TLS1_2_VERSION;
  if (text == "1.3") return TLS1_3_VERSION;
  return -1;
}

int main(int argc, char** argv) {
  testserver::NewsServer server;
  testserver::CompressSettings compress;
  std::string portFile, logFile, plainLogFile, statsFile, user, password;
  testserver::TlsSettings tls;
  std::string tlsMode;
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    if (opt == "-h" || opt == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (opt == "--ipv6") {
      server.SetIPv6(true);
      continue;
    }
    if (opt == "--hangup-in-handshake") {
      server.HangUpInHandshake(true);
      continue;
    }
    if (opt == "--compress") {
      compress.offer = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "pelliton-testserver: %s needs an argument\n%s", opt.c_str(), kUsage);
      return 2;
    }
    const char* arg = argv[++i];
    if (opt == "--spool") {
      std::string error;
      if (!server.LoadSpool(arg, &error)) {
        std::fprintf(stderr, "pelliton-testserver: %s\n", error.c_str());
        return 1;
      }
    } else if (opt == "--synthetic") {
      std::string group;
      int count, every;
      if (!parseSynthetic(arg, &group, &count, &every)) {
        std::fprintf(stderr, "pelliton-testserver: bad --synthetic %s (GROUP:K:N)\n", arg);
        return 2;
      }
      server.AddSyntheticGroup(group, count, every);
    } else if (opt == "--delay-ms") {
      long ms;
      if (!parseInt(arg, 0, &ms)) {
        std::fprintf(stderr, "pelliton-testserver: bad --delay-ms %s\n", arg);
        return 2;
      }
      server.SetDelay(std::chrono::milliseconds(ms));
    } else if (opt == "--port-file") {
      portFile = arg;
    } else if (opt == "--log") {
      logFile = arg;
    } else if (opt == "--plain-log") {
      plainLogFile = arg;
    } else if (opt == "--stats") {
      statsFile = arg;
    } else if (opt == "--user") {
      user = arg;
    } else if (opt == "--password") {
      password = arg;
    } else if (opt == "--tls") {
      tlsMode = arg;
      if (tlsMode == "implicit") {
        tls.mode = testserver::TlsMode::kImplicit;
      } else if (tlsMode == "starttls") {
        tls.mode = testserver::TlsMode::kStartTls;
      } else {
        std::fprintf(stderr, "pelliton-testserver: bad --tls %s (implicit or starttls)\n", arg);
        return 2;
      }
    } else if (opt == "--cert") {
      tls.chainFile = arg;
    } else if (opt == "--key") {
      tls.keyFile = arg;
    } else if (opt == "--tls-max") {
      tls.maxVersion = tlsVersion(arg);
      if (tls.maxVersion < 0) {
        std::fprintf(stderr, "pelliton-testserver: bad --tls-max %s\n", arg);
        return 2;
      }
    } else if (opt == "--reply") {
      std::string spec = arg;
      std::size_t eq = spec.find('=');
      if (eq == 0 || eq == std::string::npos) {
        std::fprintf(stderr, "pelliton-testserver: bad --reply %s (COMMAND=TEXT)\n", arg);
        return 2;
      }
      server.SetReply(spec.substr(0, eq), spec.substr(eq + 1) + "\r\n");
    } else if (opt == "--bomb") {
      const std::string spec = arg;
      const std::size_t eq = spec.find('=');
      long bytes = 0;
      if (eq == 0 || eq == std::string::npos || !parseInt(spec.substr(eq + 1).c_str(), 1, &bytes)) {
        std::fprintf(stderr, "pelliton-testserver: bad --bomb %s (COMMAND=BYTES)\n", arg);
        return 2;
      }
      compress.offer = true;
      compress.bombCommand = spec.substr(0, eq);
      compress.bombBytes = static_cast<std::uint64_t>(bytes);
    } else if (opt == "--sockbuf") {
      long bytes;
      if (!parseInt(arg, 0, &bytes) || bytes > 0x7fffffff) {
        std::fprintf(stderr, "pelliton-testserver: bad --sockbuf %s\n", arg);
        return 2;
      }
      server.SetSocketBuffers(static_cast<int>(bytes));
    } else {
      std::fprintf(stderr, "pelliton-testserver: unknown option %s\n%s", opt.c_str(), kUsage);
      return 2;
    }
  }
  server.SetCredentials(user, password);
  server.SetCompress(compress);
  if (tls.mode != testserver::TlsMode::kOff) {
    if (tls.chainFile.empty() || tls.keyFile.empty()) {
      std::fprintf(stderr, "pelliton-testserver: --tls needs --cert and --key\n");
      return 2;
    }
    std::string error;
    if (!server.SetTls(tls, &error)) {
      std::fprintf(stderr, "pelliton-testserver: %s\n", error.c_str());
      return 1;
    }
  }

  UniqueFile log;
  if (!logFile.empty()) {
    log.reset(std::fopen(logFile.c_str(), "w"));
    if (!log) {
      std::fprintf(stderr, "pelliton-testserver: %s: %s\n", logFile.c_str(), std::strerror(errno));
      return 1;
    }
    FILE* f = log.get();
    bool withTls = tls.mode != testserver::TlsMode::kOff;
    server.SetLogSink([f, withTls](const testserver::LogEntry& e) {
      if (withTls)
        std::fprintf(f, "%d\t%s\t%s\n", e.outstanding, e.tls ? "tls" : "plain",
                     e.command.c_str());
      else
        std::fprintf(f, "%d\t%s\n", e.outstanding, e.command.c_str());
      std::fflush(f);
    });
  }
  // Nobody reads the in-memory log of the standalone server, but for the
  // plain bytes when they are asked for.
  server.SetKeepLog(!plainLogFile.empty());

  // The signals are blocked before the server thread starts so that only
  // sigwait below ever sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int port = server.Start();
  if (port < 0) return 1;
  if (!portFile.empty()) {
    // Written under another name and renamed, so that a script polling for
    // the file never reads it half written.
    std::string tmp = portFile + ".tmp";
    UniqueFile f(std::fopen(tmp.c_str(), "w"));
    if (!f || std::fprintf(f.get(), "%d\n", port) < 0 || !f.Close() ||
        std::rename(tmp.c_str(), portFile.c_str()) != 0) {
      std::fprintf(stderr, "pelliton-testserver: %s: %s\n", portFile.c_str(), std::strerror(errno));
      return 1;
    }
  }
  std::string host = server.host();
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  std::printf("listening on %s:%d\n", host.c_str(), port);
  std::fflush(stdout);

  for (;;) {
    int sig = 0;
    if (sigwait(&stopSignals, &sig) != 0) continue;
    if (sig != SIGUSR1) break;
    if (statsFile.empty()) continue;
    // Renamed into place, so that a reader never sees it half written.
    const std::string tmp = statsFile + ".tmp";
    UniqueFile f(std::fopen(tmp.c_str(), "w"));
    if (!f ||
        std::fprintf(f.get(), "%llu %llu %llu\n",
                     static_cast<unsigned long long>(server.BytesSent()),
                     static_cast<unsigned long long>(server.WireBytesSent()),
                     static_cast<unsigned long long>(server.WireBytesReceived())) < 0 ||
        !f.Close() || std::rename(tmp.c_str(), statsFile.c_str()) != 0)
      std::fprintf(stderr, "pelliton-testserver: %s: %s\n", statsFile.c_str(),
                   std::strerror(errno));
  }
  server.Stop();
  if (!plainLogFile.empty()) {
    std::string plain = server.PlainReceived();
    UniqueFile f(std::fopen(plainLogFile.c_str(), "w"));
    if (!f || std::fwrite(plain.data(), 1, plain.size(), f.get()) != plain.size() ||
        std::fclose(f.release()) != 0) {
      std::fprintf(stderr, "pelliton-testserver: %s: %s\n", plainLogFile.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  return 0;
}
