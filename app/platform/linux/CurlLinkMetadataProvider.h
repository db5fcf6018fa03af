// CurlLinkMetadataProvider: link previews from the web page itself.
//
// The page is fetched with libcurl (http and https only, also for
// redirects; at most 5 redirects; 5 s per request; no cookies; at most
// 1 MiB of HTML is read) and parsed with gumbo: the title is og:title, else
// <title>; the icon is <link rel="icon"> or "apple-touch-icon", else
// /favicon.ico; the preview image is og:image. Images are fetched the same
// way (at most 2 MiB each) and kept only when their bytes are an image.
// Thread-safe; each call uses its own handles.
#pragma once

#include <string>

#include "app/platform/LinkMetadataProvider.h"

namespace pallix {

class CurlLinkMetadataProvider final : public LinkMetadataProvider {
 public:
  static constexpr size_t kMaxHTMLBytes = 1 << 20;
  static constexpr size_t kMaxImageBytes = 2 << 20;
  static constexpr long kTimeoutMilliseconds = 5000;
  static constexpr long kMaxRedirects = 5;

  CurlLinkMetadataProvider();
  Result<LinkMetadata> fetchMetadata(const std::string& url, const CancellationToken& cancel) override;

  struct PageMetadata {
    std::optional<std::string> title;
    std::optional<std::string> iconURL;   // absolute
    std::optional<std::string> imageURL;  // absolute
  };
  // What a page says about itself; relative links resolved against `pageURL`.
  static PageMetadata parsePage(const std::string& html, const std::string& pageURL);
  // True when `bytes` start like PNG, JPEG, GIF, WebP, BMP, ICO or SVG.
  static bool looksLikeImage(const std::string& bytes);
};

}  // namespace pallix
