// Case- and diacritic-insensitive folding of text, used for stored catalog
// names (`searchName`) and for query text alike so that both sides compare
// equal under the same rules. Thread-safe; no state.
#pragma once

#include <string>
#include <string_view>

namespace pallix {

// NFD, removal of nonspacing marks, NFC, full Unicode case fold; UTF-8 in and
// out. Pure ASCII input takes a fast path (ASCII lowercase). Malformed UTF-8
// sequences become U+FFFD.
std::string foldForSearch(std::string_view text);

}  // namespace pallix
