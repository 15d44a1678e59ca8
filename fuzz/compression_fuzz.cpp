// The DEFLATE streams of a compressed connection, in memory.  The first
// byte of an input chooses the size of the pieces that the stream is fed
// and of the reads that take its plaintext; the rest is either what a
// server sent (any bytes at all) or plaintext to send and read back.
// Properties: no read returns more than it asked for; a server's bytes
// give exactly the plaintext, the end or the failure that zlib gives them
// in one go; and plaintext sent comes back whole, each write as soon as
// its bytes have arrived.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "compression.h"
#include "fuzz_support.h"

using namespace pelliton;

namespace {

struct Reference {
  std::string plain;
  enum class End { kMore, kEnd, kCorrupt } end = End::kMore;
};

// What zlib makes of the bytes in one go.
Reference InflateAtOnce(std::string_view wire) {
  Reference r;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) std::abort();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(wire.data()));
  z.avail_in = static_cast<uInt>(wire.size());
  for (;;) {
    char buf[4096];
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    const int rc = inflate(&z, Z_NO_FLUSH);
    r.plain.append(buf, sizeof buf - z.avail_out);
    if (rc == Z_STREAM_END) {
      r.end = Reference::End::kEnd;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      r.end = Reference::End::kCorrupt;
      break;
    }
    if (z.avail_out != 0) break;
  }
  inflateEnd(&z);
  return r;
}

std::unique_ptr<Compression> NewCompression() {
  std::string error;
  std::unique_ptr<Compression> c = Compression::Create(&error);
  FUZZ_CHECK(c != nullptr);
  return c;
}

// Reads all the plaintext the stream has now, `cap` at a time; the last
// result in *last.
std::string Drain(Compression& c, std::size_t cap, long* last) {
  std::string plain;
  std::string buf(cap, '\0');
  for (;;) {
    const long n = c.Inflate(buf.data(), cap);
    FUZZ_CHECK(n <= static_cast<long>(cap));
    *last = n;
    if (n <= 0) return plain;
    plain.append(buf.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned mode = data[0];
  // Pieces of 1 to 16 bytes, or all at once; reads of 1 to 8 bytes, or
  // of 4096.
  const std::size_t piece = (mode & 0x0f) == 0 ? 0 : (mode & 0x0f);
  const std::size_t cap = (mode & 0x70) == 0 ? 4096 : ((mode >> 4) & 0x07);
  const bool roundTrip = (mode & 0x80) != 0;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  if (!roundTrip) {
    const Reference reference = InflateAtOnce(input);
    std::unique_ptr<Compression> c = NewCompression();
    std::string plain;
    long last = 0;
    for (std::size_t at = 0; at < input.size() && last >= 0;) {
      FUZZ_CHECK(!c->HasBufferedInput());
      const std::size_t n = piece == 0 ? input.size() : std::min(piece, input.size() - at);
      if ((at / std::max<std::size_t>(piece, 1)) % 2 == 0) {
        c->Feed(input.data() + at, n);
      } else {
        std::size_t room = 0;
        char* space = c->InputSpace(&room);
        FUZZ_CHECK(room >= n);
        std::memcpy(space, input.data() + at, n);
        c->Fed(n);
      }
      at += n;
      plain += Drain(*c, cap, &last);
    }
    FUZZ_CHECK(plain == reference.plain);
    switch (reference.end) {
      case Reference::End::kMore:
        FUZZ_CHECK(last == 0 && !c->HasBufferedInput());
        break;
      case Reference::End::kEnd:
        FUZZ_CHECK(last == Compression::kEnd && c->HasBufferedInput());
        break;
      case Reference::End::kCorrupt:
        FUZZ_CHECK(last == Compression::kCorrupt && !c->reason().empty());
        break;
    }
    return 0;
  }

  // Writes end after every byte that is a line feed; each must be whole
  // at the reader once its compressed bytes have arrived.
  std::unique_ptr<Compression> writer = NewCompression();
  std::unique_ptr<Compression> reader = NewCompression();
  std::string got;
  std::size_t start = 0;
  while (start < input.size()) {
    std::size_t end = input.find('\n', start);
    end = end == std::string_view::npos ? input.size() : end + 1;
    const std::string_view write = input.substr(start, end - start);
    std::string wire;
    FUZZ_CHECK(writer->Compress(write, &wire));
    for (std::size_t at = 0; at < wire.size();) {
      const std::size_t n = piece == 0 ? wire.size() : std::min(piece, wire.size() - at);
      reader->Feed(wire.data() + at, n);
      at += n;
      long last = 0;
      got += Drain(*reader, cap, &last);
      FUZZ_CHECK(last == 0);
    }
    FUZZ_CHECK(got == input.substr(0, end));
    start = end;
  }
  return 0;
}
