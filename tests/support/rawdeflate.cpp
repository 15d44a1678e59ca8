#include "rawdeflate.h"

#include <stdexcept>

namespace testutil {

RawDeflater::RawDeflater(int level) {
  if (deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
}

RawDeflater::~RawDeflater() { deflateEnd(&z_); }

std::string RawDeflater::Compress(std::string_view plain, int flush) {
  std::string out;
  z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z_.avail_in = static_cast<uInt>(plain.size());
  char buf[16384];
  do {
    z_.next_out = reinterpret_cast<Bytef*>(buf);
    z_.avail_out = sizeof buf;
    const int rc = deflate(&z_, flush);
    // A stream that has ended takes nothing more.
    if ((rc != Z_OK && rc != Z_BUF_ERROR && rc != Z_STREAM_END) ||
        (rc == Z_BUF_ERROR && z_.avail_out != 0 && z_.avail_in != 0))
      throw std::runtime_error("deflate");
    out.append(buf, sizeof buf - z_.avail_out);
  } while (z_.avail_out == 0 || z_.avail_in != 0);
  return out;
}

RawInflater::RawInflater() {
  if (inflateInit2(&z_, -15) != Z_OK) throw std::runtime_error("inflateInit2");
}

RawInflater::~RawInflater() { inflateEnd(&z_); }

bool RawInflater::Inflate(std::string_view compressed, std::string* plain) {
  z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  z_.avail_in = static_cast<uInt>(compressed.size());
  char buf[16384];
  while (!ended_) {
    z_.next_out = reinterpret_cast<Bytef*>(buf);
    z_.avail_out = sizeof buf;
    const int rc = inflate(&z_, Z_NO_FLUSH);
    plain->append(buf, sizeof buf - z_.avail_out);
    if (rc == Z_STREAM_END) {
      ended_ = true;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      error_ = z_.msg != nullptr ? z_.msg : "inflate failed";
      return false;
    }
    if (z_.avail_in == 0 && z_.avail_out != 0) break;
  }
  return true;
}

}  // namespace testutil
