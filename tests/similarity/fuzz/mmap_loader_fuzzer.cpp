// libFuzzer target: arbitrary bytes as an item file. Whatever decodes must
// encode, decode and encode again to the same bytes (bytes, not items: a
// float block may hold NaNs). What the salvaging loader keeps must encode
// (the writer accepts every record the loader keeps), and on a file the
// strict loader reads it drops nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "SimilaritySearchKit/MMapStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto salvaged = pallix::MMapStore::decodeSalvaging(bytes);
  if (salvaged.ok() && !pallix::MMapStore::encode(salvaged->items).ok()) std::abort();
  auto items = pallix::MMapStore::decode(bytes);
  if (!items.ok()) return 0;
  if (!salvaged.ok() || !salvaged->dropped.empty() || salvaged->items.size() != items->size()) std::abort();
  auto image = pallix::MMapStore::encode(items.value());
  if (!image.ok()) std::abort();
  auto again = pallix::MMapStore::decode(image.value());
  if (!again.ok()) std::abort();
  auto reencoded = pallix::MMapStore::encode(again.value());
  if (!reencoded.ok() || reencoded.value() != image.value()) std::abort();
  return 0;
}
