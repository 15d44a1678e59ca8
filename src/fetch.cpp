#include "fetch.h"

#include <cassert>
#include <cctype>
#include <climits>
#include <cstring>
#include <string>

#include "headerfilter.h"
#include "nntpcommands.h"
#include "util.h"

namespace pelliton {
namespace {

// Whether an answer can be GROUP's own: 211 (if too garbled to use), 411,
// or a refusal that any command can meet (40x, 48x, 50x: 400 service
// ending, 480 authentication required, 483 encryption required, 502 no
// permission, 503 fault).  Anything else (a line without a status code, a
// 22x, a 423) answers some other command.
bool couldAnswerGroup(const char* reply) {
  if (std::strncmp(reply, "211", 3) == 0 || std::strncmp(reply, "411", 3) == 0) return true;
  return (reply[0] == '4' || reply[0] == '5') && (reply[1] == '0' || reply[1] == '8') &&
         std::isdigit(static_cast<unsigned char>(reply[2]));
}

}  // namespace

NewsgroupFetcher::NewsgroupFetcher(NntpConnection& connection, const ServerInfo& servInfo,
                                   int maxReq, const Capabilities& known)
    : connection_(connection),
      engine_(connection, maxReq, servInfo.articleLimit),
      overviewWanted_(servInfo.overview),
      capabilities_(known) {}

int NewsgroupFetcher::learnOverview() {
  overviewAsked_ = true;
  Progress("Asking the server about its overview...\n");
  if (!nntpOverviewSupport(connection_, capabilities_, &overview_)) return 0;
  if (overview_.command == OverviewSupport::Command::kNone)
    Progress("The server has no overview: every newsgroup is read with HEAD\n");
  else
    Progress("The server gives its overview with %s: %s\n", overview_.verb(),
             printable(overview_.format.Describe()).c_str());
  return 1;
}

// The overview decides a newsgroup whose every condition names a header
// it carries; a newsgroup without any condition takes every article whole.
Reading NewsgroupFetcher::readingFor(const NewsgroupInfo& ngInfo) const {
  Reading reading;
  if (!overviewWanted_ || overview_.command == OverviewSupport::Command::kNone) return reading;
  const HeaderFilter filter(ngInfo);
  if (filter.Conditions().empty()) {
    reading.way = Reading::Way::kArticle;
    Progress("Reading with ARTICLE: no condition applies\n");
  } else if (DecidableFromOverview(filter, overview_.format)) {
    reading.way = Reading::Way::kOverview;
    reading.overview = &overview_;
    Progress("Reading from the overview with %s, and ARTICLE for each match\n", overview_.verb());
  } else {
    Progress("Reading with HEAD and BODY: a condition names a header the overview lacks\n");
  }
  return reading;
}

void NewsgroupFetcher::trustLastNewsgroup() {
  if (doubted_ != nullptr) doubted_->nextArticle = resumeOnceInStep_;
  doubted_ = nullptr;
}

void NewsgroupFetcher::ConfirmLastNewsgroup() {
  if (doubted_ == nullptr) return;
  // A stray line taken for the answer to the last request leaves the real
  // answer unread: trusted without a word, the article it belongs to
  // would be passed for good.
  if (!keepRunning) {
    doubted_ = nullptr;
    return;
  }
  char reply[kResponseLineSize];
  const bool answered =
      connection_.SendLine("QUIT\r\n") && connection_.ReadStatusLine(reply, sizeof reply);
  connection_.Close();
  if (!answered) {
    // The connection has said why, unless a stop signal ended the wait.
    if (!connection_.Stopped()) runFailed = 1;
    doubted_ = nullptr;
    return;
  }
  if (std::strncmp(reply, "205", 3) == 0) {
    trustLastNewsgroup();
    return;
  }
  doubted_ = nullptr;
  reportBadResponse(reply);
  runFailed = 1;
}

int NewsgroupFetcher::processNewsgroup(NewsgroupInfo* ngInfo) {
  assert(ngInfo != NULL);
  assert(ngInfo->name[0] != '\0');
  if (ngInfo->actions.IsEmpty()) return 1;
  // A stop signal that ends an exchange is a stopped end like one that
  // comes while the articles are fetched: the newsgroup keeps its place.
  // Either way the connection is done with: nothing more can confirm the
  // newsgroup before, which keeps its resume point before the articles that
  // its last answers settled, and QUIT must not be sent to confirm it.
  auto exchangeFailed = [this] {
    doubted_ = nullptr;
    return connection_.Stopped() ? 0 : -1;
  };
  if (overviewWanted_ && !overviewAsked_ && !learnOverview()) return exchangeFailed();
  const char* name = ngInfo->name.c_str();
  Progress("Processing group %s...\n", name);

  if (!connection_.SendLine("GROUP " + ngInfo->name + "\r\n")) return exchangeFailed();
  char reply[kResponseLineSize];
  if (!connection_.ReadStatusLine(reply, sizeof reply)) return exchangeFailed();

  ArticleNumber first = 0;
  ArticleNumber last = 0;
  const GroupAnswer answer = ParseGroupAnswer(reply, name, &first, &last);
  // Whether anything was left over from the newsgroup before: if so, the
  // articles that its last answers settled are not passed.
  if (answer != GroupAnswer::kOtherNewsgroup && couldAnswerGroup(reply)) trustLastNewsgroup();
  doubted_ = nullptr;
  switch (answer) {
    case GroupAnswer::kSelected:
      break;
    case GroupAnswer::kOtherNewsgroup:
      // Some earlier answer is being read as this one: whatever follows is
      // out of step too, so nothing more is asked, and this newsgroup keeps
      // its place in the newsrc.
      reportBadResponse(reply);
      return -1;
    case GroupAnswer::kUnusable:
      if (std::strncmp(reply, "411", 3) == 0) {
        Diag("%s: newsgroup does not exist\n", name);
        return 1;
      }
      reportBadResponse(reply);
      // An answer that only an article command has (a 22x with its text,
      // a 423...) is one left over from the newsgroup before: what follows
      // is out of step, and the next GROUP would take this one's answer.
      if (!couldAnswerGroup(reply)) return -1;
      // The newsgroup was not read: it keeps its place, and the run did
      // not do all of its work.
      runFailed = 1;
      return 1;
  }

  // One past the last article must still be a number.
  if (last == LLONG_MAX) last = LLONG_MAX - 1;
  if (ngInfo->nextArticle < first) ngInfo->nextArticle = first;
  if (ngInfo->nextArticle > last) ngInfo->nextArticle = last + 1;
  Progress("Reading articles from range %lld-%lld, starting at %lld...\n", first, last,
           ngInfo->nextArticle);
  engine_.Run(ngInfo, last, readingFor(*ngInfo));
  const std::optional<ArticleNumber> later = engine_.ResumeOnceInStep();
  if (later) {
    doubted_ = ngInfo;
    resumeOnceInStep_ = *later;
  }
  Progress("Done processing group %s\n", name);
  Progress("Next article to read is %lld\n", later.value_or(ngInfo->nextArticle));
  return keepRunning ? 1 : 0;
}

}  // namespace pelliton
