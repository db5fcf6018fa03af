// libFuzzer target: arbitrary bytes as a graph image, loaded against a fixed
// item list, then searched, extended, pruned and re-serialized.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "SimilaritySearchKit/HNSWIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<pallix::IndexItem> items = [] {
    std::vector<pallix::IndexItem> v;
    for (int i = 0; i < 8; ++i) v.push_back({"n" + std::to_string(i), "", {float(i), float(i % 3)}, {}});
    return v;
  }();
  std::string_view image(reinterpret_cast<const char*>(data), size);
  (void)pallix::HNSWIndex::inspectImage(image);
  // Make the stored count match the item list so that the records themselves get parsed.
  std::string patched(image);
  if (patched.size() >= 4) {
    patched[0] = char(items.size());
    patched[1] = patched[2] = patched[3] = 0;
  }
  pallix::HNSWIndex index(16, 200, 50);
  if (!index.deserialize(patched, items).ok()) return 0;
  (void)index.search({1.0f, 1.0f}, 4);
  index.insert("fresh", {0.5f, 0.5f});
  index.remove("n3");
  (void)index.search({2.0f, 0.0f}, 8);
  (void)index.serialize();
  return 0;
}
