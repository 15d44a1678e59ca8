// COMPRESS DEFLATE (RFC 8054) for one connection: raw DEFLATE both ways,
// worked entirely in memory, as the TLS session is.
//
// The stream never sees a descriptor.  The connection hands it the
// plaintext of each write (Compress), which leaves flushed, so that the
// server can decode every request the moment it arrives; and it feeds it
// the compressed bytes that came from the server (Feed, or InputSpace and
// Fed), from which Inflate hands out plaintext in pieces no larger than
// asked for.  A few kilobytes that inflate to gigabytes therefore never
// take more memory than one piece: nothing is inflated ahead of the reader.
//
// No call throws.  Reasons are zlib's own short texts ("invalid block
// type", "invalid distance too far back"), meant to follow "error talking
// to NNTP server -- ".
#ifndef PELLITON_COMPRESSION_H
#define PELLITON_COMPRESSION_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelliton {

class Compression {
 public:
  // Null and *error set when zlib cannot set up its streams (it is out of
  // memory).
  static std::unique_ptr<Compression> Create(std::string* error);
  ~Compression();
  Compression(const Compression&) = delete;
  Compression& operator=(const Compression&) = delete;

  // --- To the server ----------------------------------------------------

  // Compresses plain and flushes (Z_SYNC_FLUSH): everything given so far
  // can be decoded from what has been appended to *out.  False, after
  // which reason() says why and nothing more can be compressed, only when
  // zlib fails.
  bool Compress(std::string_view plain, std::string* out);

  // --- From the server --------------------------------------------------

  // Compressed bytes, in any pieces; kept until Inflate has used them.
  void Feed(const char* data, std::size_t n);
  // Room for compressed bytes to be read into directly, then committed
  // with Fed.  At least a read's worth; only to be asked for while
  // HasBufferedInput() is false.
  char* InputSpace(std::size_t* room);
  void Fed(std::size_t n);

  static constexpr long kEnd = -1;      // the server ended its stream
  static constexpr long kCorrupt = -2;  // not DEFLATE: reason() says why
  // Plaintext, at most cap bytes: > 0 the count; 0 nothing without more
  // input; kEnd; kCorrupt.  An end or a failure shows only once the
  // plaintext before it has been handed out, and then at every call.
  // Bytes after the end of the stream are ignored.
  long Inflate(char* buf, std::size_t cap);
  // Whether Inflate has something to return without more input: bytes
  // fed and not yet used, plaintext that did not fit the last call, or
  // the end or failure still to be reported.
  bool HasBufferedInput() const;

  // Why the last failing call failed; "" while nothing failed.
  const std::string& reason() const { return reason_; }

 private:
  struct Streams;
  Compression();

  std::unique_ptr<Streams> z_;
  std::vector<char> input_;  // fed, from inputPos_ to inputLen_ not yet used
  std::size_t inputPos_ = 0;
  std::size_t inputLen_ = 0;
  bool outputFull_ = false;  // the last Inflate filled its buffer
  bool ended_ = false;
  bool corrupt_ = false;
  bool deflateFailed_ = false;
  std::string reason_;
};

}  // namespace pelliton

#endif  // PELLITON_COMPRESSION_H
