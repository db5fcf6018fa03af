#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "app/search/CatalogScanner.h"
#include "core/Strings.h"

namespace pallix {

namespace {

// Hash state for the snapshot signature: two independent 64-bit lanes.
struct SignatureHasher {
  uint64_t a = 1469598103934665603ull;
  uint64_t b = 0x9E3779B97F4A7C15ull;
  // Eight bytes per step; the tail is zero-padded with its length mixed in.
  void bytes(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      word(w);
      p += 8;
      size -= 8;
    }
    if (size > 0) {
      uint64_t w = 0;
      std::memcpy(&w, p, size);
      word(w ^ (static_cast<uint64_t>(size) << 56));
    }
  }
  void word(uint64_t w) {
    a = (a ^ w) * 0x100000001b3ull;
    a ^= a >> 32;
    b = (b + w) * 0xff51afd7ed558ccdull;
    b ^= b >> 29;
  }
  void text(std::string_view s) {
    uint64_t n = s.size();
    bytes(&n, sizeof n);
    bytes(s.data(), s.size());
  }
  void optionalText(const std::optional<std::string>& s) {
    if (s) {
      text(*s);
    } else {
      bytes("\xff", 1);
    }
  }
  void number(int64_t v) { bytes(&v, sizeof v); }
  void date(const std::optional<Date>& d) {
    int64_t v = d ? static_cast<int64_t>(d->time_since_epoch().count()) : INT64_MIN;
    bytes(&v, sizeof v);
  }
};

}  // namespace

void SnapshotSignature::add(const IndexCandidate& c, bool isApp) {
  // Each candidate is hashed on its own (path and type included) and the
  // hashes are summed, which gives the value of the list sorted by path then
  // type in any order, without sorting.
  auto mix = [](uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
  };
  SignatureHasher h;
  h.number(isApp ? 0x41 : 0x46);
  h.text(c.canonicalPath);
  h.number(static_cast<int64_t>(c.itemType));
  h.text(c.name);
  h.optionalText(c.fileExtension);
  h.number(c.sizeBytes);
  h.date(c.createdDate);
  h.date(c.modifiedDate);
  h.optionalText(c.bundleIdentifier);
  h.optionalText(c.version);
  h.optionalText(c.build);
  h.number(c.domainPriority);
  h.number(c.fileCategory ? static_cast<int64_t>(*c.fileCategory) : -1);
  h.optionalText(c.parentBundleIdentifier);
  if (!c.keywords.empty()) {
    h.number(static_cast<int64_t>(c.keywords.size()));
    for (const std::string& keyword : c.keywords) h.text(keyword);
  }
  sumA_ += mix(h.a);
  sumB_ += mix(h.b ^ 0x5851f42d4c957f2dull);
  ++(isApp ? apps_ : files_);
}

std::string SnapshotSignature::value() const {
  return stringPrintf("%016llx%016llx-%zu-%zu", static_cast<unsigned long long>(sumA_),
                      static_cast<unsigned long long>(sumB_), apps_, files_);
}

}  // namespace pallix
