// The overview of a newsgroup (RFC 3977's OVER, XOVER on older servers):
// which headers it carries, how one of its lines becomes a header text,
// whether a newsgroup's filters can be decided from it, and how a server
// is asked whether it has one.
#ifndef PELLITON_OVERVIEW_H
#define PELLITON_OVERVIEW_H

#include <string>
#include <string_view>
#include <vector>

#include "capabilities.h"
#include "config.h"
#include "connection.h"
#include "headerfilter.h"

namespace pelliton {

class OverviewFormat {
 public:
  struct Field {
    enum class Kind {
      kHeader,    // "Subject:": the header's content
      kFull,      // "Xref:full": the whole header line, name included
      kMetadata,  // ":bytes", ":lines", and their old spellings; or a
                  // form this program does not know
    };
    std::string name;  // the header's name as the format spells it
    Kind kind;
  };

  // RFC 3977's order, for servers that do not say theirs: Subject, From,
  // Date, Message-ID, References, :bytes, :lines.
  static OverviewFormat Default();
  // The lines of a LIST OVERVIEW.FMT answer, one field name each.
  static OverviewFormat FromLines(const std::vector<std::string>& lines);

  const std::vector<Field>& fields() const { return fields_; }
  // Whether a header of that name is among the fields; case is ignored.
  bool Carries(std::string_view header) const;
  // The fields as a LIST OVERVIEW.FMT answer would name them, for -v.
  std::string Describe() const;

  // One line of an OVER answer (without its line end).  Returns false when
  // it holds no article number: digits, then a tab or the end.  Otherwise
  // *article is that number, and *header the header text that the line
  // stands for: "Name: value" for every non-empty header field, in the
  // format's order, joined by LF; a full field's value already holds its
  // name.  *usable is false when the line stops before the last header
  // field: such a line tells nothing about its article.
  // With `wanted` (one flag per field), only the header fields flagged
  // go into *header, and a line is usable when it holds all of them.
  bool ParseLine(std::string_view line, ArticleNumber* article, std::string* header,
                 bool* usable, const std::vector<bool>* wanted = nullptr) const;
  // The flags for ParseLine of the header fields that carry one of the
  // names; letter case is ignored.
  std::vector<bool> FieldsNamed(const std::vector<std::string>& names) const;

 private:
  std::vector<Field> fields_;
  std::size_t neededFields_ = 0;  // up to and including the last header field
};

// Whether every condition that the filter applies names a header that
// the overview carries.  A filter without conditions needs no overview.
bool DecidableFromOverview(const HeaderFilter& filter, const OverviewFormat& format);

// How the overview is asked for on this server.
struct OverviewSupport {
  enum class Command { kNone, kOver, kXover };
  Command command = Command::kNone;
  OverviewFormat format = OverviewFormat::Default();
  const char* verb() const { return command == Command::kOver ? "OVER" : "XOVER"; }
};

// Finds out, after TLS and AUTHINFO, whether and how the server gives its
// overview: CAPABILITIES (which `capabilities` keeps for others to look
// at; a list asked for already is used as it is), LIST OVERVIEW.FMT, and
// MODE READER where the list asks for it.  1 with *support filled in; 0
// after a message when the connection failed.
int nntpOverviewSupport(NntpConnection& connection, Capabilities& capabilities,
                        OverviewSupport* support);

}  // namespace pelliton

#endif  // PELLITON_OVERVIEW_H
