// Helpers shared by the similarity engine tests: seeded vectors, a brute-force
// oracle, little-endian byte builders, a printed-line recorder and test data.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "SimilaritySearchKit/Console.h"
#include "SimilaritySearchKit/IndexItem.h"
#include "tests/support/TempDir.h"

namespace pallix::testing_support {

inline std::vector<float> randomVector(std::mt19937_64& rng, std::size_t dim) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> v(dim);
  for (float& x : v) x = normal(rng);
  return v;
}

inline std::vector<std::vector<float>> randomRows(std::mt19937_64& rng, std::size_t n, std::size_t dim) {
  std::vector<std::vector<float>> rows;
  for (std::size_t i = 0; i < n; ++i) rows.push_back(randomVector(rng, dim));
  return rows;
}

// `image` with 1..maxEdits random edits: byte overwrites, bit flips,
// truncations and insertions of up to maxInsert random bytes. Never empty.
inline std::string mutateBytes(std::string image, std::mt19937_64& rng, int maxEdits, int maxInsert) {
  for (int e = 1 + int(rng() % unsigned(maxEdits)); e > 0; --e) {
    const std::size_t at = rng() % image.size();
    switch (rng() % 4) {
      case 0:
        image[at] = char(rng());
        break;
      case 1:
        image[at] ^= char(1 << (rng() % 8));
        break;
      case 2:
        image.resize(at);
        break;
      default:
        image.insert(at, 1 + rng() % unsigned(maxInsert), char(rng()));
        break;
    }
    if (image.empty()) image = "x";
  }
  return image;
}

inline double euclidean(const std::vector<float>& a, const std::vector<float>& b) {
  double s = 0;
  for (std::size_t i = 0; i < a.size(); ++i) s += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return std::sqrt(s);
}

// Indices of the k items closest to q, closest first (ties by index).
inline std::vector<std::size_t> bruteForce(const std::vector<std::vector<float>>& data, const std::vector<float>& q,
                                           std::size_t k) {
  std::vector<std::pair<double, std::size_t>> all;
  for (std::size_t i = 0; i < data.size(); ++i) all.emplace_back(euclidean(data[i], q), i);
  std::sort(all.begin(), all.end());
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < std::min(k, all.size()); ++i) out.push_back(all[i].second);
  return out;
}

inline std::vector<IndexItem> itemsFor(const std::vector<std::vector<float>>& data) {
  std::vector<IndexItem> items;
  for (std::size_t i = 0; i < data.size(); ++i) items.push_back({"item-" + std::to_string(i), "", data[i], {}});
  return items;
}

inline void putU16(std::string& s, uint16_t v) {
  s.push_back(char(v & 0xff));
  s.push_back(char(v >> 8));
}
inline void putU32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xff));
}
inline void putU64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s.push_back(char((v >> (8 * i)) & 0xff));
}
inline uint32_t getU32(const std::string& s, std::size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(s[at + i]);
  return v;
}
inline uint64_t getU64(const std::string& s, std::size_t at) {
  return uint64_t(getU32(s, at)) | (uint64_t(getU32(s, at + 4)) << 32);
}

// Collects simkit::printLine output while alive.
class PrintedLines {
 public:
  PrintedLines() {
    previous_ = simkit::setLineHandler([this](const std::string& line) {
      std::lock_guard guard(mutex_);
      lines_.push_back(line);
    });
  }
  ~PrintedLines() { simkit::setLineHandler(previous_); }
  std::vector<std::string> lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }

 private:
  simkit::LineHandler previous_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

using ::pallix::testing::TempDir;

// A file of the committed similarity test data.
inline std::string testData(const std::string& name) {
  const char* root = std::getenv("PALLIX_TEST_DATA");
  return std::string(root ? root : "tests/data") + "/similarity/" + name;
}

}  // namespace pallix::testing_support
