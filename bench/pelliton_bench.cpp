// Micro-benchmarks of the paths that every fetched article passes: the
// header filter, delivery into a mailbox or a command, and the request
// engine itself over a local socket with a peer that answers at once.
// Besides them, two figures of the connection: what an address that
// swallows connection requests adds to a connect, and how soon a stop
// signal ends a run that waits for a stalled server.
//
// The articles are the test server's synthetic ones (headers of about 800
// bytes, bodies of about 2 KB), so the figures compare with bench/run.sh.
#include <benchmark/benchmark.h>
#include <regex.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "certs.h"
#include "config.h"
#include "connection.h"
#include "delivery.h"
#include "filterfile.h"
#include "headerfilter.h"
#include "newsserver.h"
#include "nntppipeline.h"
#include "test_util.h"
#include "util.h"

namespace pelliton {
namespace {

using testserver::NewsServer;

constexpr const char* kEngineGroup = "bench.engine";
constexpr const char* kFilterGroup = "bench.filter";

// Conditions as users write them: an anchored field test, an alternation
// behind a wildcard, the cross-posting limit, and an address test.
const char* const kPatterns[] = {
    "^X-Bench: match",
    "^Subject:.*(malloc|free)",
    "^Newsgroups:([^,]*,){3}",
    "^From:.*@spam\\.example\\.com",
};

// Everything the benchmarks share lives for the whole process, like the
// configuration model that it is part of.
struct Setup {
  testutil::TempDir dir;
  std::string mailbox;
  NewsgroupInfo* engineGroup = nullptr;
  NewsgroupInfo* filterGroup = nullptr;
};

void Prepare(Setup* s) {
  s->mailbox = s->dir.file("mbox");
  // The engine's group has the filter that bench/run.sh uses; the filter
  // group adds the general conditions of a wildcard entry and a second
  // action, as a fuller filter file would.
  std::string filter = std::string(kEngineGroup) + ":\n* ^X-Bench: match\n" + s->mailbox +
                       "\n"
                       "bench.filter*:\n"
                       "* !^Newsgroups:([^,]*,){3}\n"
                       "* !^From:.*@spam\\.example\\.com\n" +
                       kFilterGroup +
                       ":\n"
                       "* ^Subject:.*(malloc|free)\n" +
                       s->mailbox + "\n" + kFilterGroup +
                       ":\n"
                       "* ^X-Bench: match\n"
                       "* !^Subject: *Re:\n" +
                       s->mailbox + "\n";
  std::string path = s->dir.file("filter");
  testutil::WriteFile(path, filter);
  InitConfigLists();
  if (ReadConfig(path.c_str()) != 1) std::abort();
  s->engineGroup = FindNewsgroup(kEngineGroup);
  s->filterGroup = FindNewsgroup(kFilterGroup);
  if (s->engineGroup == nullptr || s->filterGroup == nullptr) std::abort();
}

Setup& TheSetup() {
  // A static object, so that the temporary directory goes at exit.
  static Setup setup;
  static const bool prepared = (Prepare(&setup), true);
  static_cast<void>(prepared);
  return setup;
}

void TruncateMailbox() {
  if (truncate(TheSetup().mailbox.c_str(), 0) != 0 && errno != ENOENT) std::abort();
}

// ---------------------------------------------------------------------------
// Header matching

// One condition over one header, compiled as the filter reader compiles it.
// Arguments: pattern index, and whether the header is one that carries the
// "X-Bench: match" line.
void BM_Regexec(benchmark::State& state) {
  const char* pattern = kPatterns[state.range(0)];
  int every = state.range(1) != 0 ? 1 : 0;
  std::string header = NewsServer::SyntheticHeader(kEngineGroup, 1234, every);
  regex_t regex;
  if (regcomp(&regex, pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB | REG_NEWLINE) != 0) {
    state.SkipWithError("regcomp failed");
    return;
  }
  int result = 0;
  for (auto _ : state) {
    result = regexec(&regex, header.c_str(), 0, nullptr, 0);
    benchmark::DoNotOptimize(result);
  }
  regfree(&regex);
  state.SetLabel(std::string(pattern) + (result == 0 ? " (found)" : " (absent)"));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(header.size()));
}
BENCHMARK(BM_Regexec)->ArgsProduct({{0, 1, 2, 3}, {0, 1}});

// The whole filter of one newsgroup, as read by ReadConfig, over a run of
// headers of which one in ten carries the match line: the general
// conditions of every wildcard entry that applies, then each own action,
// through the HeaderFilter that the engine uses.
void BM_FilterHeader(benchmark::State& state) {
  Setup& setup = TheSetup();
  NewsgroupInfo* ngInfo = state.range(0) == 0 ? setup.engineGroup : setup.filterGroup;
  std::vector<std::string> headers;
  for (int i = 1; i <= 10; ++i)
    headers.push_back(NewsServer::SyntheticHeader(ngInfo->name, i, 10));
  const HeaderFilter filter(*ngInfo);
  std::vector<const ActionInfo*> matched;

  std::size_t next = 0;
  int64_t matches = 0;
  for (auto _ : state) {
    const std::string& header = headers[next];
    next = next + 1 == headers.size() ? 0 : next + 1;
    const HeaderFilter::Verdict verdict = filter.Test(header, matched);
    matches += verdict == HeaderFilter::Verdict::kMatch ? 1 : 0;
    benchmark::DoNotOptimize(verdict);
  }
  state.SetLabel(ngInfo->name + ", " + std::to_string(filter.Conditions().size()) +
                 " conditions");
  state.SetItemsProcessed(state.iterations());
  state.counters["matched"] = benchmark::Counter(static_cast<double>(matches) /
                                                 static_cast<double>(state.iterations()));
}
BENCHMARK(BM_FilterHeader)->Arg(0)->Arg(1);

// ---------------------------------------------------------------------------
// Delivery

// One article appended to a mailbox under its dot-lock, per iteration.
void BM_DeliverToMailbox(benchmark::State& state) {
  Setup& setup = TheSetup();
  ActionInfo actInfo;
  actInfo.type = ACTION_TYPE_FILE;
  actInfo.target = setup.mailbox;
  std::string header = NewsServer::SyntheticHeader(kEngineGroup, 1, 1);
  std::string body = NewsServer::SyntheticBody(kEngineGroup, 1);
  TruncateMailbox();
  int64_t sinceTruncate = 0;
  for (auto _ : state) {
    if (ProcessAction(&actInfo, header.c_str(), static_cast<int>(header.size()), body.c_str(),
                      static_cast<int>(body.size())) != 1) {
      state.SkipWithError("ProcessAction failed");
      break;
    }
    // Keeps the file small enough to stay in the page cache.
    if (++sinceTruncate == 4096) {
      state.PauseTiming();
      TruncateMailbox();
      sinceTruncate = 0;
      state.ResumeTiming();
    }
  }
  TruncateMailbox();
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(header.size() + body.size()));
}
BENCHMARK(BM_DeliverToMailbox);

// One article written into a command through a pipe: a shell and the
// command start for every message.
void BM_DeliverToPipe(benchmark::State& state) {
  ActionInfo actInfo;
  actInfo.type = ACTION_TYPE_PIPE;
  actInfo.target = "cat >/dev/null";
  std::string header = NewsServer::SyntheticHeader(kEngineGroup, 1, 1);
  std::string body = NewsServer::SyntheticBody(kEngineGroup, 1);
  for (auto _ : state) {
    if (ProcessAction(&actInfo, header.c_str(), static_cast<int>(header.size()), body.c_str(),
                      static_cast<int>(body.size())) != 1) {
      state.SkipWithError("ProcessAction failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeliverToPipe)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// The request engine

// Multi-line data as a server sends it: CR LF line ends, leading dots
// doubled, the end line.
std::string WireText(std::string_view status, std::string_view text) {
  std::string wire(status);
  wire += "\r\n";
  std::size_t pos = 0;
  while (!text.empty()) {
    std::size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
    if (!line.empty() && line[0] == '.') wire += '.';
    wire.append(line);
    wire += "\r\n";
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  wire += ".\r\n";
  return wire;
}

// The answers to HEAD and BODY for articles 1..count of one group, made in
// advance so that the peer costs next to nothing while the engine runs.
struct Spool {
  std::vector<std::string> heads;
  std::vector<std::string> bodies;

  Spool(const std::string& group, int count, int matchEvery) {
    heads.resize(static_cast<std::size_t>(count) + 1);
    bodies.resize(static_cast<std::size_t>(count) + 1);
    for (int n = 1; n <= count; ++n) {
      std::string id = " <" + std::to_string(n) + "." + group + "@bench.example>";
      heads[n] = WireText("221 " + std::to_string(n) + id,
                          NewsServer::SyntheticHeader(group, n, matchEvery));
      bodies[n] = WireText("222 " + std::to_string(n) + id, NewsServer::SyntheticBody(group, n));
    }
  }
};

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Answers every request line on fd from the spool until the other side
// closes.  Answers to requests that arrived together leave in one write.
void AnswerRequests(int fd, const Spool* spool) {
  std::string in, out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    in.append(buf, static_cast<std::size_t>(n));
    std::size_t pos = 0, nl;
    while ((nl = in.find('\n', pos)) != std::string::npos) {
      std::string_view line(in.data() + pos, nl - pos);
      pos = nl + 1;
      long article = line.size() > 5 ? std::strtol(line.data() + 5, nullptr, 10) : 0;
      const std::vector<std::string>& texts =
          line.substr(0, 4) == "BODY" ? spool->bodies : spool->heads;
      if (article >= 1 && static_cast<std::size_t>(article) < texts.size())
        out += texts[static_cast<std::size_t>(article)];
      else
        out += "423 no such article\r\n";
    }
    in.erase(0, pos);
    if (!WriteAll(fd, out)) break;
    out.clear();
  }
}

// One newsgroup of 2000 articles fetched end to end per iteration: HEAD for
// every article, BODY and delivery into a mailbox for the matching ones.
// Arguments: maxReq, and one article in how many matches.
void BM_Engine(benchmark::State& state) {
  constexpr int kArticles = 2000;
  Setup& setup = TheSetup();
  int maxReq = static_cast<int>(state.range(0));
  int matchEvery = static_cast<int>(state.range(1));
  Spool spool(kEngineGroup, kArticles, matchEvery);
  NewsgroupInfo* ngInfo = setup.engineGroup;
  int64_t requests = 0;

  for (auto _ : state) {
    state.PauseTiming();
    TruncateMailbox();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
      state.SkipWithError("socketpair failed");
      break;
    }
    std::thread peer(AnswerRequests, sv[1], &spool);
    keepRunning = 1;
    ngInfo->nextArticle = 1;
    {
      NntpConnection connection(60);
      connection.Adopt(UniqueFd(sv[0]));
      state.ResumeTiming();

      PipelineEngine engine(connection, maxReq, kDefaultArticleLimit);
      engine.Run(ngInfo, kArticles);

      state.PauseTiming();
    }
    peer.join();
    close(sv[1]);
    bool complete = ngInfo->nextArticle == kArticles + 1 && keepRunning != 0;
    state.ResumeTiming();
    if (!complete) {
      state.SkipWithError("the engine did not fetch the whole group");
      break;
    }
    requests += kArticles + kArticles / matchEvery;
  }
  TruncateMailbox();
  state.SetItemsProcessed(state.iterations() * kArticles);
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Engine)
    ->ArgNames({"maxReq", "every"})
    ->ArgsProduct({{1, 4, 32}, {1, 10}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---------------------------------------------------------------------------
// The connection's waits

NntpConnection::Address LoopbackAddress(int port) {
  NntpConnection::Address a;
  auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage);
  sin->sin_family = AF_INET;
  sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin->sin_port = htons(static_cast<uint16_t>(port));
  a.length = sizeof *sin;
  return a;
}

// One connect over three addresses of which the first swallows connection
// requests (argument 1) or none does (0), with the default timeout of 300
// seconds.  The difference between the two is what a black-holed address
// costs every run.
void BM_ConnectPastBlackHole(benchmark::State& state) {
  NewsServer server;
  const int live = server.Start();
  testutil::BlackHole hole;
  if (live <= 0 || hole.port() == 0) {
    state.SkipWithError("no server");
    return;
  }
  const std::vector<NntpConnection::Address> addresses = {
      LoopbackAddress(state.range(0) != 0 ? hole.port() : live), LoopbackAddress(live),
      LoopbackAddress(live)};
  for (auto _ : state) {
    NntpConnection connection(300);
    if (connection.ConnectAddresses(addresses) != 1) {
      state.SkipWithError("no connection");
      break;
    }
    connection.Close();
  }
}
BENCHMARK(BM_ConnectPastBlackHole)
    ->ArgName("holes")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The waits of a run before the walk and of its exchanges, each with a
// server that stalls there.
struct StalledWait {
  const char* name;
  std::string extra;  // server file lines
  bool blackHole;     // the server's port swallows connection requests
  std::string greeting;
  int stallAfter;
  const char* option;
  std::string waitsAfter;  // the progress text just before the wait
};

const std::vector<StalledWait>& StalledWaits() {
  static const std::vector<StalledWait> waits = [] {
    const std::string ca = "cafile " + testcerts::SharedCerts().caCert + "\n";
    const std::string greeting = "200 bench ready\r\n";
    return std::vector<StalledWait>{
        {"connect", "", true, greeting, -1, "-l", "Connecting to"},
        {"TLS handshake", "tls yes\n" + ca, false, "", 0, "-l", "ok\n"},
        {"greeting", "", false, "", 0, "-l", "ok\n"},
        {"STARTTLS", "tls starttls\n" + ca, false, greeting, 0, "-l", "Response from"},
        {"AUTHINFO", "user u\npassword p\n", false, greeting, 0, "-l", "Authenticating"},
        {"GROUP", "", false, greeting, 0, "", "Processing group"},
        {"LIST", "", false, greeting, 0, "-l", "Listing all"},
        {"marking", "", false, greeting, 0, "-C", "Marking all"},
    };
  }();
  return waits;
}

// The real program waits at one of StalledWaits() with the default timeout
// of 300 seconds; the time measured runs from SIGTERM to its exit.
void BM_StopInWait(benchmark::State& state) {
  const StalledWait& wait = StalledWaits()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(wait.name);
  testutil::TempDir dir;
  NewsServer server;
  server.AddGroup("bench.stop");
  server.SetGreeting(wait.greeting);
  server.StallAfterCommands(wait.stallAfter);
  const int live = server.Start();
  testutil::BlackHole hole;
  if (live <= 0 || hole.port() == 0) {
    state.SkipWithError("no server");
    return;
  }
  testutil::WriteFile(dir.file("filters"), "bench.stop:\n" + dir.file("mbox") + "\n");
  testutil::WriteFile(dir.file("servers"),
                      "[bench]\nhost 127.0.0.1\nport " +
                          std::to_string(wait.blackHole ? hole.port() : live) + "\nconfig " +
                          dir.file("filters") + "\nnewsrc " + dir.file("newsrc") + "\n" +
                          wait.extra);
  std::vector<std::string> args = {testutil::PellitonBinary(), "-v", "-f", dir.file("servers")};
  if (*wait.option != '\0') args.push_back(wait.option);
  args.push_back("bench");
  for (auto _ : state) {
    testutil::Child child(args);
    if (!child.WaitForStderr(wait.waitsAfter, std::chrono::seconds(10))) {
      state.SkipWithError("the run never got to the wait");
      break;
    }
    // Well inside the wait, not on its way there.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto signalled = std::chrono::steady_clock::now();
    child.Signal(SIGTERM);
    const testutil::RunResult r = child.Finish(std::chrono::seconds(30));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
    if (r.err.find("signal caught") == std::string::npos || r.status >= 128) {
      state.SkipWithError("the signal did not end the run");
      break;
    }
    state.SetIterationTime(took.count());
  }
}
BENCHMARK(BM_StopInWait)
    ->ArgName("wait")
    ->DenseRange(0, 7)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);

}  // namespace
}  // namespace pelliton

int main(int argc, char** argv) {
  // The engine sends with MSG_NOSIGNAL, but the peer's plain writes must
  // not end the process either when the engine has already closed.
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
