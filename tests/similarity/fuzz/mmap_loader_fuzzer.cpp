// libFuzzer target: arbitrary bytes as an item file. Whatever decodes must
// encode, decode and encode again to the same bytes (bytes, not items: a
// float block may hold NaNs).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "SimilaritySearchKit/MMapStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto items = pallix::MMapStore::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!items.ok()) return 0;
  auto image = pallix::MMapStore::encode(items.value());
  if (!image.ok()) std::abort();
  auto again = pallix::MMapStore::decode(image.value());
  if (!again.ok()) std::abort();
  auto reencoded = pallix::MMapStore::encode(again.value());
  if (!reencoded.ok() || reencoded.value() != image.value()) std::abort();
  return 0;
}
