// Base64 (RFC 4648, with padding), for image bytes inside JSON files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pallix {

std::string base64Encode(std::string_view bytes);
// nullopt for text that is not Base64.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace pallix
