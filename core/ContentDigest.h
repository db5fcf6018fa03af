// SHA-256 digests as lower-case hexadecimal text (two digits per byte), for
// content hashes and link-preview file names. Thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pallix {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::string_view bytes);
  // The digest of everything fed so far; the object is spent afterwards.
  std::string finishHex();

 private:
  void* context_;
};

std::string sha256Hex(std::string_view bytes);

}  // namespace pallix
