// The graph image: serialize, deserialize and inspectImage of HNSWIndex.
// Layout and load errors: SimilaritySearchKit/README.md, "Graph file".
#include <algorithm>

#include "SimilaritySearchKit/HNSWIndex.h"

namespace pallix {
namespace {

constexpr std::size_t kHeaderSize = 20;

uint32_t readU32(const unsigned char* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint16_t readU16(const unsigned char* p) {
  return uint16_t(p[0] | (p[1] << 8));
}

void appendU32(std::string& out, uint32_t v) {
  char b[4] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char((v >> 24) & 0xff)};
  out.append(b, 4);
}
void appendU16(std::string& out, uint16_t v) {
  char b[2] = {char(v & 0xff), char((v >> 8) & 0xff)};
  out.append(b, 2);
}

// Walks a serialized image, validating it record by record. `onNode(i, L)`
// sees each record's list count, `onList(i, layer, entries, c)` each list
// (entries point at c little-endian 4-byte indices). Returns the offset after
// the last record.
template <typename OnNode, typename OnList>
Result<std::size_t> walkImage(std::string_view data, uint32_t count, OnNode onNode, OnList onList) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t size = data.size();
  std::size_t pos = kHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (pos >= size) return HNSWError::makeInvalidData("Unexpected end of data at node " + std::to_string(i));
    const uint8_t lists = bytes[pos++];
    onNode(i, lists);
    for (int layer = 0; layer < lists; ++layer) {
      if (size - pos < 2) return HNSWError::makeInvalidData("Unexpected end of data reading connections");
      const uint16_t c = readU16(bytes + pos);
      pos += 2;
      if (size - pos < std::size_t(c) * 4) {
        return HNSWError::makeInvalidData("Unexpected end of data reading connection index");
      }
      onList(i, layer, bytes + pos, c);
      pos += std::size_t(c) * 4;
    }
  }
  return pos;
}

}  // namespace

Error HNSWError::makeInvalidData(const std::string& message) {
  return Error(kDomain, invalidData, "Invalid HNSW data: " + message);
}

std::string HNSWIndex::serialize() {
  std::lock_guard guard(lock_);
  std::size_t size = kHeaderSize;
  for (uint32_t i = 0; i < ids_.size(); ++i) {
    size += 1;
    for (int layer = 0; layer < numLists_[i]; ++layer) size += 2 + std::size_t(listOf(i, layer)[0]) * 4;
  }
  std::string out;
  out.reserve(size);
  appendU32(out, uint32_t(ids_.size()));
  appendU32(out, uint32_t(maxLevel_));
  appendU32(out, entryPoint_ ? *entryPoint_ : 0);
  appendU32(out, uint32_t(M_));
  appendU32(out, uint32_t(efSearch_));
  for (uint32_t i = 0; i < ids_.size(); ++i) {
    out.push_back(char(numLists_[i]));
    for (int layer = 0; layer < numLists_[i]; ++layer) {
      const uint32_t* list = listOf(i, layer);
      appendU16(out, uint16_t(list[0]));
      for (uint32_t j = 0; j < list[0]; ++j) appendU32(out, list[1 + j]);
    }
  }
  return out;
}

Result<HNSWImageInfo> HNSWIndex::inspectImage(std::string_view data) {
  if (data.size() < kHeaderSize) return HNSWError::makeInvalidData("Data too small for header");
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  HNSWImageInfo info;
  info.nodeCount = readU32(bytes);
  info.maxLevel = readU32(bytes + 4);
  info.entryPoint = readU32(bytes + 8);
  info.M = readU32(bytes + 12);
  info.efSearch = readU32(bytes + 16);
  auto end = walkImage(
      data, info.nodeCount,
      [&](uint32_t, uint8_t lists) {
        if (lists == 0) ++info.nodesWithoutLists;
        if (info.nodesPerLayer.size() < lists) {
          info.nodesPerLayer.resize(lists, 0);
          info.linksPerLayer.resize(lists, 0);
        }
        for (int l = 0; l < lists; ++l) ++info.nodesPerLayer[l];
      },
      [&](uint32_t, int layer, const unsigned char* entries, uint16_t c) {
        info.linksPerLayer[layer] += c;
        for (uint16_t j = 0; j < c; ++j) {
          if (readU32(entries + 4 * j) >= info.nodeCount) ++info.outOfRangeLinks;
        }
      });
  if (!end.ok()) return end.error();
  info.trailingBytes = data.size() - end.value();
  return info;
}

Status HNSWIndex::deserialize(std::string_view data, const std::vector<IndexItem>& items) {
  std::lock_guard guard(lock_);
  if (data.size() < kHeaderSize) return HNSWError::makeInvalidData("Data too small for header");
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const uint32_t count = readU32(bytes);
  if (count != items.size()) {
    return HNSWError::makeInvalidData("Node count mismatch: " + std::to_string(count) + " vs " +
                                      std::to_string(items.size()));
  }
  const uint32_t maxLevel = readU32(bytes + 4);
  const uint32_t entry = readU32(bytes + 8);

  // First pass: validate the records and size the link strides so that
  // oversized lists from another writer still fit.
  std::size_t longest0 = 0, longestUpper = 0;
  auto valid = walkImage(
      data, count, [](uint32_t, uint8_t) {},
      [&](uint32_t, int layer, const unsigned char*, uint16_t c) {
        (layer == 0 ? longest0 : longestUpper) = std::max<std::size_t>(layer == 0 ? longest0 : longestUpper, c);
      });
  if (!valid.ok()) return valid.error();

  clearLocked();
  stride0_ = uint32_t(std::max<int64_t>({M0_, int64_t(longest0), 1}));
  strideUpper_ = uint32_t(std::max<int64_t>({M_, int64_t(longestUpper), 1}));
  ids_.reserve(count);
  links0_.reserve(std::size_t(count) * (1 + stride0_));
  dists0_.reserve(std::size_t(count) * (1 + stride0_));
  if (count > 0) vectors_.reserve(std::size_t(count) * items[0].embedding.size());
  auto filled = walkImage(
      data, count,
      [&](uint32_t i, uint8_t lists) {
        const int level = std::max<int>(lists, 1) - 1;
        appendNode(items[i].id, items[i].embedding, level, lists);
        flags_[i] &= uint8_t(~kDistancesCached);  // filled in on first prune
        auto [it, inserted] = idToIndex_.try_emplace(items[i].id, i);
        if (!inserted) {
          flags_[it->second] &= uint8_t(~kLive);  // a repeated identifier maps to the later node
          it->second = i;
        }
      },
      [&](uint32_t i, int layer, const unsigned char* entries, uint16_t c) {
        uint32_t* list = listOf(i, layer);
        list[0] = c;
        for (uint16_t j = 0; j < c; ++j) list[1 + j] = readU32(entries + 4 * j);
      });
  (void)filled;
  if (count > 0) {
    entryPoint_ = entry;
    maxLevel_ = maxLevel;
  }
  return okStatus();
}

}  // namespace pallix
