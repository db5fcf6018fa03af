// decodeItemImage: the items of an item-file image (the MMapStore format of
// SimilaritySearchKit/README.md), decoded as MMapStore::decodeSalvaging does but
// faster on the files the stores write.
//
// Start-up reads the whole item file of an embedding store, and most of its
// cost is the metadata section: one JSON array of string maps. The fast path
// scans that array directly into the maps (no intermediate JSON tree); it
// accepts any whitespace and every JSON string escape, and gives up on
// anything else (a non-string value, nesting, a malformed section), in which
// case MMapStore::decodeSalvaging decodes the image: records it cannot read
// are left out and listed, and damage to the file's structure is its error. Stateless; any thread.
#pragma once

#include <string_view>
#include <vector>

#include "SimilaritySearchKit/MMapStore.h"
#include "core/Error.h"

namespace pallix {

Result<SalvagedItems> decodeItemImage(std::string_view image);

}  // namespace pallix
