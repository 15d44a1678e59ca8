#include "compression.h"

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>

namespace pelliton {
namespace {

// Compressed bytes read at a time: what one read of the socket brings.
constexpr std::size_t kInputChunk = 65536;
// RFC 8054: raw DEFLATE, no zlib or gzip wrapping, with the largest
// window, which a peer may use whatever it sends with.
constexpr int kWindowBits = -15;
constexpr int kMemLevel = 8;

uInt clampToUInt(std::size_t n) { return static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX)); }

std::string reasonOf(const z_stream& z, int rc) {
  if (z.msg != nullptr) return z.msg;
  const char* text = zError(rc);
  return text != nullptr ? text : "unknown zlib error";
}

}  // namespace

struct Compression::Streams {
  z_stream out{};
  z_stream in{};
  bool outReady = false;
  bool inReady = false;
  ~Streams() {
    if (outReady) deflateEnd(&out);
    if (inReady) inflateEnd(&in);
  }
};

Compression::Compression() : z_(std::make_unique<Streams>()) {}

Compression::~Compression() = default;

std::unique_ptr<Compression> Compression::Create(std::string* error) {
  std::unique_ptr<Compression> c(new Compression());
  int rc = deflateInit2(&c->z_->out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kWindowBits, kMemLevel,
                        Z_DEFAULT_STRATEGY);
  if (rc == Z_OK) {
    c->z_->outReady = true;
    rc = inflateInit2(&c->z_->in, kWindowBits);
    if (rc == Z_OK) c->z_->inReady = true;
  }
  if (rc != Z_OK) {
    if (error != nullptr) *error = reasonOf(c->z_->inReady ? c->z_->in : c->z_->out, rc);
    return nullptr;
  }
  return c;
}

bool Compression::Compress(std::string_view plain, std::string* out) {
  assert(out != nullptr);
  if (deflateFailed_) return false;
  z_stream& z = z_->out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  std::size_t left = plain.size();
  for (;;) {
    const uInt take = clampToUInt(left);
    z.avail_in = take;
    // Room for the input as it stands plus the flush's few bytes; zlib
    // asks for more by filling it.
    const std::size_t at = out->size();
    const std::size_t room = std::max<std::size_t>(take + take / 8 + 64, 256);
    out->resize(at + room);
    z.next_out = reinterpret_cast<Bytef*>(out->data() + at);
    z.avail_out = clampToUInt(room);
    const int rc = deflate(&z, Z_SYNC_FLUSH);
    out->resize(at + (room - z.avail_out));
    left -= take - z.avail_in;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      deflateFailed_ = true;
      reason_ = reasonOf(z, rc);
      return false;
    }
    // The flush is complete when zlib took everything and left room over.
    if (left == 0 && z.avail_in == 0 && z.avail_out != 0) return true;
  }
}

void Compression::Feed(const char* data, std::size_t n) {
  if (n == 0) return;
  if (inputPos_ == inputLen_) {
    inputPos_ = 0;
    inputLen_ = 0;
  } else if (inputPos_ > 0) {
    std::memmove(input_.data(), input_.data() + inputPos_, inputLen_ - inputPos_);
    inputLen_ -= inputPos_;
    inputPos_ = 0;
  }
  if (input_.size() < inputLen_ + n) input_.resize(inputLen_ + n);
  std::memcpy(input_.data() + inputLen_, data, n);
  inputLen_ += n;
}

char* Compression::InputSpace(std::size_t* room) {
  assert(room != nullptr);
  if (inputPos_ == inputLen_) {
    inputPos_ = 0;
    inputLen_ = 0;
  }
  if (input_.size() < inputLen_ + kInputChunk) input_.resize(inputLen_ + kInputChunk);
  *room = input_.size() - inputLen_;
  return input_.data() + inputLen_;
}

void Compression::Fed(std::size_t n) {
  assert(inputLen_ + n <= input_.size());
  inputLen_ += n;
}

long Compression::Inflate(char* buf, std::size_t cap) {
  assert(buf != nullptr && cap > 0);
  if (corrupt_) return kCorrupt;
  if (ended_) return kEnd;
  z_stream& z = z_->in;
  z.next_in = reinterpret_cast<Bytef*>(input_.data() + inputPos_);
  z.avail_in = clampToUInt(inputLen_ - inputPos_);
  const uInt want = clampToUInt(cap);
  z.next_out = reinterpret_cast<Bytef*>(buf);
  z.avail_out = want;
  const int rc = inflate(&z, Z_NO_FLUSH);
  inputPos_ = static_cast<std::size_t>(reinterpret_cast<char*>(z.next_in) - input_.data());
  if (inputPos_ == inputLen_) inputPos_ = inputLen_ = 0;
  const long produced = static_cast<long>(want - z.avail_out);
  // A full buffer may leave plaintext inside zlib that no new input will
  // announce.
  outputFull_ = z.avail_out == 0;
  switch (rc) {
    case Z_OK:
    case Z_BUF_ERROR:  // no progress without more input
      return produced;
    case Z_STREAM_END:
      ended_ = true;
      inputPos_ = inputLen_ = 0;
      break;
    default:
      corrupt_ = true;
      reason_ = reasonOf(z, rc);
      break;
  }
  if (produced > 0) return produced;
  return corrupt_ ? kCorrupt : kEnd;
}

bool Compression::HasBufferedInput() const {
  return ended_ || corrupt_ || outputFull_ || inputPos_ < inputLen_;
}

}  // namespace pelliton
