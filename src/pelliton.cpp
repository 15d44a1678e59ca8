#include "pelliton.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "atomicfile.h"
#include "capabilities.h"
#include "childprocess.h"
#include "config.h"
#include "configtext.h"
#include "connection.h"
#include "fetch.h"
#include "filterfile.h"
#include "newsrc.h"
#include "nntpcommands.h"
#include "progress.h"
#include "serverfile.h"

namespace pelliton {

namespace {

void usage() {
  DiagPlain(
      "Usage: %s [-CFVhlv] [-f <config>] [[-c <group>] ...] [-m <size>]\n"
      "                [-n <maxReq>] [-p <port>] [<NNTP server>]\n",
      programName);
}

void summary() {
  DiagPlain(
      "%s",
      "\nCommand-line summary:\n"
      "  -C\t\tMark all articles in all newsgroups as read.\n"
      "  -F\t\tConnect even if preconnect command fails.\n"
      "  -V\t\tDisplay version information.\n"
      "  -h\t\tDisplay this summary.\n"
      "  -l\t\tList all available newsgroups.\n"
      "  -v\t\tBe verbose.\n"
      "  -f <config>\tRead an alternate server configuration file.\n"
      "  \t\t(default: $HOME/.pelliton-servers)\n"
      "  -c <group>\tMark all articles in <group> as read.\n"
      "  -m <size>\tLimit files to <size> bytes.\n"
      "  -n <maxReq>\tSet maximum allowable outstanding NNTP requests.\n"
      "  \t\t(default: 1)\n"
      "  -p <port>\tConnect to a different port. (default: 119)\n"
      "  <NNTP server>\tThe name of the NNTP server. This overrides\n"
      "\t\tthe NNTPSERVER environment variable.\n");
}

// The handler may only use async-signal-safe calls, so its whole line is
// put together at compile time and written with one write(2).
constexpr std::string_view kSignalText = ": signal caught... exiting\n";
constexpr std::size_t kProgramNameLength = std::char_traits<char>::length(programName);

constexpr auto makeSignalMessage() {
  std::array<char, kProgramNameLength + kSignalText.size()> message{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < kProgramNameLength; ++i) message[pos++] = programName[i];
  for (char c : kSignalText) message[pos++] = c;
  return message;
}

constexpr auto kSignalMessage = makeSignalMessage();

void catchSignal(int) {
  const int savedErrno = errno;
  ssize_t written = write(STDERR_FILENO, kSignalMessage.data(), kSignalMessage.size());
  (void)written;
  if (signalsCaught < SIG_ATOMIC_MAX) signalsCaught = signalsCaught + 1;
  keepRunning = 0;
  errno = savedErrno;
}

void ignoreSignal(int) {}

// Without SA_RESTART, so that a signal wakes the request engine out of its
// wait instead of restarting it.
void installHandler(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(sig, &action, nullptr);
}

// A write into a connection that the server reset, or into a delivery
// command that died, has to fail with EPIPE rather than kill the run.  A
// caught signal is reset to the default when the preconnect, postconnect or
// delivery commands are exec'd, where SIG_IGN would be inherited by them.
void surviveBrokenPipes() { installHandler(SIGPIPE, ignoreSignal); }

// A mailbox that grows past a file size limit (ulimit -f) must be a failed
// write, cut back and fetched again next run like one on a full disk, not
// a process killed in the middle of an append.  Caught rather than
// ignored for the same reason as SIGPIPE.
void surviveFileSizeLimits() { installHandler(SIGXFSZ, ignoreSignal); }

void catchTerminationSignals() {
  for (int sig : kStopSignals) installHandler(sig, catchSignal);
}

struct RunOptions {
  bool markAll = false;
  bool forceConnect = false;
  bool listGroups = false;
  MarkListNode* markList = nullptr;  // newest -c first
  std::deque<MarkListNode> markNodes;  // owns what markList links
  const char* serverFile = nullptr;
  int portOverride = 0;
  int maxReq = 1;
  const char* serverName = nullptr;
};

constexpr int kContinue = -1;

// Fills options from the command line.  kContinue when the run is to go
// on, else the exit status with which it ends at once.
int parseCommandLine(int argc, char** argv, RunOptions& options) {
  // getopt reports bad options under argv[0]; every diagnostic carries the
  // fixed program name instead, whatever the program was started as.
  std::vector<char*> args(argv, argv + argc);
  if (args.empty()) args.push_back(nullptr);
  args[0] = const_cast<char*>(programName);
  args.push_back(nullptr);
  const int count = static_cast<int>(args.size()) - 1;

  optind = 0;  // re-initialises glibc's getopt for a second run in-process
  opterr = 1;
  int c;
  while ((c = getopt(count, args.data(), "+CFVc:f:hlm:n:p:v")) != -1) {
    switch (c) {
      case 'C':
        options.markAll = true;
        break;
      case 'F':
        options.forceConnect = true;
        break;
      case 'V':
        DiagPlain("%s version 1.2.6 (2002-Jun-04)\n", programName);
        return 1;
      case 'c':
        options.markList = &options.markNodes.emplace_back(MarkListNode{options.markList, optarg});
        break;
      case 'f':
        options.serverFile = optarg;
        break;
      case 'h':
        usage();
        summary();
        return 1;
      case 'l':
        options.listGroups = true;
        break;
      case 'm':
        if (!ParseSize(optarg, fileSizeLimit)) {
          Diag("illegal numeric value for -m\n");
          return 1;
        }
        break;
      case 'n':
        options.maxReq = std::atoi(optarg);
        if (options.maxReq < 1) {
          Diag("bad argument for -n\n");
          return 1;
        }
        break;
      case 'p':
        options.portOverride = std::atoi(optarg);
        if (options.portOverride < 1 || options.portOverride > 65535) {
          Diag("bad argument for -p\n");
          return 1;
        }
        break;
      case 'v':
        verbose = 1;
        break;
      default:
        usage();
        return 1;
    }
  }

  const int operands = count - optind;
  if (operands >= 2) {
    usage();
    return 1;
  }
  if (operands == 1) {
    options.serverName = args[optind];
  } else {
    const char* env = std::getenv("NNTPSERVER");
    if (env == nullptr || env[0] == '\0') {
      Diag("environment variable NNTPSERVER undefined\n");
      return 1;
    }
    options.serverName = env;
  }
  return kContinue;
}

// An exclusive lock on "<newsrc>.lock" so that two runs sharing one newsrc
// neither deliver the same articles twice nor overwrite each other's
// progress.  The lock file lies beside the file that is really read and
// replaced, symbolic links followed, so that every name of one newsrc
// leads to the same lock.  The kernel drops a flock when its holder dies,
// so the lock never goes stale and its file is never removed.
class NewsrcLock {
 public:
  enum class State { kHeld, kInUse, kUnavailable };

  explicit NewsrcLock(const char* newsrcPath) {
    const std::optional<std::string> resolved = ResolvePath(newsrcPath);
    if (!resolved) return;
    std::string real = *resolved;
    // A name whose links cannot be followed cannot be written either; its
    // own lock still keeps two runs through that name apart.
    if (!FollowLinks(real)) real = *resolved;
    const std::string lockPath = real + ".lock";
    fd_.reset(open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    if (!fd_) return;  // a read-only directory: go on unguarded
    int rc;
    do {
      rc = flock(fd_.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
      state_ = State::kHeld;
      return;
    }
    if (errno == EWOULDBLOCK) state_ = State::kInUse;
    Release();
  }
  NewsrcLock(const NewsrcLock&) = delete;
  NewsrcLock& operator=(const NewsrcLock&) = delete;

  State state() const { return state_; }
  void Release() { fd_.reset(); }

 private:
  UniqueFd fd_;
  State state_ = State::kUnavailable;
};

// Whether pelliton runs in the foreground of its controlling terminal.
bool inTerminalForeground() {
  UniqueFd tty(open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC));
  return tty && tcgetpgrp(tty.get()) == getpgrp();
}

// Runs the command through /bin/sh and waits for it, as system(3) does,
// but a stop signal that comes meanwhile ends the wait: the command is
// sent SIGTERM, and SIGKILL when it has not ended kCommandGrace later.  In
// the foreground of a terminal it stays in pelliton's own process group,
// so that the terminal's signals reach it as before and an interactive
// command keeps the terminal; only the shell can then be signalled.
// Elsewhere (cron, a service, a background job) it gets a group of its
// own, so that what it started ends with it.  The wait status, or -1 when
// the command could not be run.
int runStoppable(const std::string& command) {
  const SignalGate gate;
  ChildProcess child;
  ChildProcess::Plumbing plumbing;
  plumbing.ownGroup = !inTerminalForeground();
  if (!child.Start(command.c_str(), plumbing, gate.original())) return -1;
  const sig_atomic_t signalsBefore = signalsCaught;
  return child.Finish(gate, [signalsBefore]() -> std::optional<SignalGate::Clock::time_point> {
    if (signalsCaught == signalsBefore) return std::nullopt;
    return SignalGate::Clock::now();
  });
}

// 1 when the command is not set or ended with status 0.  The preconnect
// command runs before the stop signals are caught, which then end the run
// at once: system(3) waits for it as it always did.
bool runCommand(const std::optional<std::string>& command, const char* what, bool stoppable) {
  if (!command) return true;
  Progress("Executing %s command...\n", what);
  // Whatever pelliton has written so far comes before the command's output.
  std::fflush(stdout);
  if ((stoppable ? runStoppable(*command) : std::system(command->c_str())) == 0) return true;
  Diag("%s command terminated abnormally\n", what);
  return false;
}

// A listing cut short by a full disk or a file size limit is no success.
// A reader that went away (a pipe into head) wanted no more, and learns
// nothing from a message.
bool listingWritten() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  const int error = errno;
  if (error == EPIPE) return true;
  Diag("error writing to standard output -- %s\n", std::strerror(error));
  return false;
}

// Fetches every newsgroup in list order; returns the exit status it gives.
int walkNewsgroups(NntpConnection& connection, const RunOptions& options,
                   const ServerInfo& servInfo, const Capabilities& capabilities) {
  NewsgroupFetcher fetcher(connection, servInfo, options.maxReq, capabilities);
  // In the middle of a long newsgroup too, so that a run killed there
  // loses only its last seconds.
  fetcher.SetCheckpointSink([](const NewsgroupInfo& ngInfo, ArticleNumber next) {
    const Checkpoint checkpoint{&ngInfo, next};
    SaveProgressWhenDue(&checkpoint);
  });
  bool moved = false;  // since the walk began
  int status = 0;
  for (NewsgroupInfo* ngInfo : Nodes<NewsgroupInfo>(newsgroupList)) {
    // The progress of the newsgroups before is saved only once another
    // follows: after the last one the end of the run saves it anyway.
    if (moved) SaveProgressWhenDue();
    const ArticleNumber before = ngInfo->nextArticle;
    const int result = fetcher.processNewsgroup(ngInfo);
    if (result == -1) {
      status = 1;
      break;
    }
    // Only a signal stops the walk without a failure: the engine itself
    // stops it on a failed delivery, a lost or silent connection, or an
    // answer out of step.
    if (result == 0) {
      status = signalsCaught > 0 ? 0 : 1;
      break;
    }
    moved = moved || ngInfo->nextArticle != before;
  }
  fetcher.ConfirmLastNewsgroup();
  return status;
}

// Runs the piece of work that the command line asks for on the open
// connection; returns the exit status it gives.
int doWork(NntpConnection& connection, const RunOptions& options, const ServerInfo& servInfo,
           const Capabilities& capabilities) {
  if (options.markAll || options.markList != nullptr) {
    // A lost connection leaves newsgroups unmarked; a stop signal only
    // ends the marking early.
    const int marked = MarkNewsgroups(connection, options.markAll ? nullptr : options.markList);
    return marked == 1 || connection.Stopped() ? 0 : 1;
  }
  if (options.listGroups) {
    const bool listed = nntpListGroups(connection) == 1;
    return listed && listingWritten() ? 0 : 1;
  }
  return walkNewsgroups(connection, options, servInfo, capabilities);
}

}  // namespace

int RunPelliton(int argc, char** argv) {
  InstallOutOfMemoryHandler();
  surviveBrokenPipes();
  surviveFileSizeLimits();
  verbose = 0;
  fileSizeLimit = 0;
  runFailed = 0;

  RunOptions options;
  if (const int status = parseCommandLine(argc, argv, options); status != kContinue)
    return status;

  if (fileSizeLimit != 0) Progress("Global file size limit set to %lu bytes\n", fileSizeLimit);

  InitConfigLists();
  defaultPort = ServicePort("nntp", 119);

  const char* serverPath = options.serverFile != nullptr ? options.serverFile : ".pelliton-servers";
  Progress("Server config file is '%s'\n", serverPath);
  if (ReadServerConfig(serverPath) == 0) return 1;

  ServerInfo* servInfo = FindServer(options.serverName);
  if (servInfo == nullptr) servInfo = AddServer(options.serverName);
  assert(servInfo != NULL);

  const std::string configPath = servInfo->config.value_or(".pellitonrc");
  Progress("Pelliton config file is '%s'\n", configPath.c_str());
  if (ReadConfig(configPath.c_str()) == 0) return 1;

  const std::string newsrcPath = servInfo->newsrc.value_or(".pelliton-newsrc");
  Progress("Newsrc file is '%s'\n", newsrcPath.c_str());
  NewsrcLock lock(newsrcPath.c_str());
  if (lock.state() == NewsrcLock::State::kInUse) {
    Diag("newsrc file '%s' is in use by another run\n", newsrcPath.c_str());
    return 1;
  }
  // A newsrc file that cannot be read says nowhere where to start, and the
  // run would deliver again what it records.
  if (ReadNewsrc(newsrcPath.c_str()) < 0) return 1;

  // Memory that ran short while the files were read leaves nothing to
  // save, and little hope for the rest of the run.
  if (runFailed) return 1;

  if (!runCommand(servInfo->preconnect, "preconnect", false) && !options.forceConnect) return 1;

  keepRunning = 1;
  signalsCaught = 0;
  catchTerminationSignals();

  // A run that could not connect did none of its work (whatever stopped
  // it, a stop signal among them); there is no progress to save.
  int status = 1;
  NntpConnection connection(servInfo->timeout);
  // What the server said it can do, when connecting asked.
  Capabilities capabilities;
  if (nntpConnect(connection, servInfo, options.portOverride, &capabilities) == 1) {
    StartSavingProgress(newsrcPath.c_str());
    status = doWork(connection, options, *servInfo, capabilities);
    nntpDisconnect(connection);
    // A run whose progress could not be saved does not report success.
    if (SaveProgress() == 0) status = 1;
    StopSavingProgress();
  }
  lock.Release();

  runCommand(servInfo->postconnect, "postconnect", true);
  return runFailed ? 1 : status;
}

}  // namespace pelliton
