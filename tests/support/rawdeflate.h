// The server's side of raw DEFLATE (RFC 8054) for the tests: zlib used
// directly, the way a news server uses it, independent of the client's
// own code.
#ifndef PELLITON_TESTS_RAWDEFLATE_H
#define PELLITON_TESTS_RAWDEFLATE_H

#include <zlib.h>

#include <string>
#include <string_view>

namespace testutil {

class RawDeflater {
 public:
  // INN compresses at level 9.
  explicit RawDeflater(int level = 9);
  ~RawDeflater();
  RawDeflater(const RawDeflater&) = delete;
  RawDeflater& operator=(const RawDeflater&) = delete;

  // The compressed form of plain, flushed as `flush` says (Z_SYNC_FLUSH,
  // Z_PARTIAL_FLUSH, Z_FINISH, or Z_NO_FLUSH to keep it back).
  std::string Compress(std::string_view plain, int flush = Z_SYNC_FLUSH);

 private:
  z_stream z_{};
};

class RawInflater {
 public:
  RawInflater();
  ~RawInflater();
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;

  // Appends what `compressed` inflates to to *plain.  False when it is no
  // DEFLATE (error() says why); ended() once the stream's last block came.
  bool Inflate(std::string_view compressed, std::string* plain);
  bool ended() const { return ended_; }
  const std::string& error() const { return error_; }

 private:
  z_stream z_{};
  bool ended_ = false;
  std::string error_;
};

}  // namespace testutil

#endif  // PELLITON_TESTS_RAWDEFLATE_H
