// What a server says it can do: the list of a CAPABILITIES answer, asked
// once per connection and kept as data, so that every feature that depends
// on it (the overview among them) looks at the same list.
#ifndef PELLITON_CAPABILITIES_H
#define PELLITON_CAPABILITIES_H

#include <string>
#include <string_view>
#include <vector>

#include "connection.h"

namespace pelliton {

class Capabilities {
 public:
  // Whether the server has been asked on this connection, whatever it
  // answered: a list asked for once serves everything that depends on it.
  bool Asked() const { return asked_; }
  // Whether the server answered 101 with a list: older servers have none.
  bool Listed() const { return listed_; }
  // Whether the list names the capability; letter case is ignored.
  bool Has(std::string_view capability) const { return Arguments(capability) != nullptr; }
  // The words that follow the capability on its line ("DEFLATE" for
  // "COMPRESS DEFLATE"); null when it is not listed.
  const std::vector<std::string>* Arguments(std::string_view capability) const;

  // One line of a 101 answer, as received (without its line end).
  void AddLine(std::string_view line);
  void MarkAsked() { asked_ = true; }
  void MarkListed() { listed_ = true; }
  void Clear();

 private:
  struct Entry {
    std::string name;  // upper case
    std::vector<std::string> arguments;
  };
  bool asked_ = false;
  bool listed_ = false;
  std::vector<Entry> entries_;
};

// Asks CAPABILITIES and fills `capabilities`.  A list that names
// MODE-READER and not READER belongs to a server that must first be
// switched: MODE READER is sent and the list asked for again.  Any answer
// but 101 leaves the list empty and unlisted.  1 when the exchanges
// worked; 0 after a message when the connection failed or the answer was
// beyond all reason.
int nntpCapabilities(NntpConnection& connection, Capabilities& capabilities);

// Reads the lines of a multi-line answer up to its end line, undoing the
// dot-stuffing.  A line longer than one read is joined from its pieces.
// 1 when the end line came; 0 after a message when the connection failed
// or the answer grew past what any such list holds.
int ReadTextLines(NntpConnection& connection, std::vector<std::string>& lines);

}  // namespace pelliton

#endif  // PELLITON_CAPABILITIES_H
