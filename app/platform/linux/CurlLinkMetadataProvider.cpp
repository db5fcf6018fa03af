#include "app/platform/linux/CurlLinkMetadataProvider.h"

#include <curl/curl.h>
#include <gumbo.h>

#include <memory>

#include "core/Strings.h"

namespace pallix {
namespace {

struct Download {
  std::string body;
  size_t limit = 0;
  bool truncated = false;
  const CancellationToken* cancel = nullptr;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
  auto* d = static_cast<Download*>(user);
  const size_t bytes = size * count;
  const size_t room = d->limit - d->body.size();
  if (bytes > room) {
    d->body.append(data, room);
    d->truncated = true;
    return 0;  // stops the transfer
  }
  d->body.append(data, bytes);
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* d = static_cast<Download*>(user);
  return d->cancel && d->cancel->isCancelled() ? 1 : 0;
}

struct Fetched {
  std::string body;
  std::string finalURL;
  std::string contentType;
  bool truncated = false;
};

Result<Fetched> fetch(const std::string& url, size_t limit, const CancellationToken& cancel) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
  if (!handle) return Error(LinkMetadataProvider::kErrorDomain, 3, "Cannot start a web request");
  CURL* h = handle.get();
  Download download;
  download.limit = limit;
  download.cancel = &cancel;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // A request made over https is never redirected to plain http.
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, startsWith(url, "https:") ? "https" : "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, CurlLinkMetadataProvider::kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, CurlLinkMetadataProvider::kTimeoutMilliseconds);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Pallix link preview");
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &download);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &download);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
  CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && download.truncated)) {
    std::string why = *errorBuffer ? errorBuffer : curl_easy_strerror(rc);
    if (rc == CURLE_UNSUPPORTED_PROTOCOL) why = "a redirect or link to a scheme other than http or https (" + why + ")";
    if (rc == CURLE_TOO_MANY_REDIRECTS) why = "more than 5 redirects";
    if (rc == CURLE_OPERATION_TIMEDOUT) why = "no answer within 5 s";
    return Error(LinkMetadataProvider::kErrorDomain, 4, "Cannot fetch " + url + ": " + why);
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) {
    return Error(LinkMetadataProvider::kErrorDomain, 5, url + " answered HTTP " + std::to_string(status));
  }
  Fetched out;
  out.body = std::move(download.body);
  out.truncated = download.truncated;
  char* effective = nullptr;
  curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
  out.finalURL = effective ? effective : url;
  char* type = nullptr;
  curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &type);
  out.contentType = type ? asciiLowercase(type) : "";
  return out;
}

std::optional<std::string> resolve(const std::string& base, const std::string& relative) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
  if (curl_url_set(u.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return std::nullopt;
  if (curl_url_set(u.get(), CURLUPART_URL, std::string(trimWhitespace(relative)).c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  char* out = nullptr;
  if (curl_url_get(u.get(), CURLUPART_URL, &out, 0) != CURLUE_OK) return std::nullopt;
  std::string result(out);
  curl_free(out);
  std::string lower = asciiLowercase(result);
  if (!startsWith(lower, "http://") && !startsWith(lower, "https://")) return std::nullopt;
  return result;
}

const char* attribute(GumboNode* node, const char* name) {
  GumboAttribute* a = gumbo_get_attribute(&node->v.element.attributes, name);
  return a ? a->value : nullptr;
}

std::string textOf(GumboNode* node) {
  std::string out;
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) {
    auto* child = static_cast<GumboNode*>(children.data[i]);
    if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE) out += child->v.text.text;
  }
  return out;
}

struct Found {
  std::optional<std::string> ogTitle, title, icon, touchIcon, ogImage;
};

void walk(GumboNode* node, Found& found) {
  if (node->type != GUMBO_NODE_ELEMENT) return;
  const GumboTag tag = node->v.element.tag;
  if (tag == GUMBO_TAG_TITLE && !found.title) found.title = textOf(node);
  if (tag == GUMBO_TAG_META) {
    const char* property = attribute(node, "property");
    if (!property) property = attribute(node, "name");
    const char* content = attribute(node, "content");
    if (property && content) {
      std::string p = asciiLowercase(property);
      if (p == "og:title" && !found.ogTitle) found.ogTitle = content;
      if ((p == "og:image" || p == "og:image:url") && !found.ogImage) found.ogImage = content;
    }
  }
  if (tag == GUMBO_TAG_LINK) {
    const char* rel = attribute(node, "rel");
    const char* href = attribute(node, "href");
    if (rel && href) {
      for (const std::string& word : splitString(asciiLowercase(rel), ' ')) {
        if (word == "icon" && !found.icon) found.icon = href;
        if ((word == "apple-touch-icon" || word == "apple-touch-icon-precomposed") && !found.touchIcon) {
          found.touchIcon = href;
        }
      }
    }
  }
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) walk(static_cast<GumboNode*>(children.data[i]), found);
}

std::optional<std::string> cleaned(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string out;
  for (char c : *text) {
    bool space = c == ' ' || c == '\n' || c == '\t' || c == '\r';
    if (space && (out.empty() || out.back() == ' ')) continue;
    out.push_back(space ? ' ' : c);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace

CurlLinkMetadataProvider::CurlLinkMetadataProvider() {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)initialised;
}

CurlLinkMetadataProvider::PageMetadata CurlLinkMetadataProvider::parsePage(const std::string& html,
                                                                           const std::string& pageURL) {
  GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
  Found found;
  walk(output->root, found);
  gumbo_destroy_output(&kGumboDefaultOptions, output);
  PageMetadata page;
  page.title = cleaned(found.ogTitle) ? cleaned(found.ogTitle) : cleaned(found.title);
  if (found.icon) page.iconURL = resolve(pageURL, *found.icon);
  if (!page.iconURL && found.touchIcon) page.iconURL = resolve(pageURL, *found.touchIcon);
  if (!page.iconURL) page.iconURL = resolve(pageURL, "/favicon.ico");
  if (found.ogImage) page.imageURL = resolve(pageURL, *found.ogImage);
  return page;
}

bool CurlLinkMetadataProvider::looksLikeImage(const std::string& b) {
  auto starts = [&](std::string_view magic) { return b.compare(0, magic.size(), magic) == 0; };
  if (starts("\x89PNG\r\n\x1a\n") || starts("\xff\xd8\xff") || starts("GIF87a") || starts("GIF89a") || starts("BM") ||
      starts(std::string_view("\0\0\1\0", 4))) {
    return true;
  }
  if (starts("RIFF") && b.size() >= 12 && b.compare(8, 4, "WEBP") == 0) return true;
  std::string head = asciiLowercase(std::string_view(b).substr(0, 256));
  return head.find("<svg") != std::string::npos;
}

Result<LinkMetadata> CurlLinkMetadataProvider::fetchMetadata(const std::string& url, const CancellationToken& cancel) {
  PALLIX_ASSIGN_OR_RETURN(Fetched page, fetch(url, kMaxHTMLBytes, cancel));
  if (cancel.isCancelled()) return Error(kErrorDomain, 6, "The link preview was cancelled");
  if (!page.contentType.empty() && page.contentType.find("html") == std::string::npos) {
    return Error(kErrorDomain, 7, url + " is not a web page (" + page.contentType + ")");
  }
  PageMetadata meta = parsePage(page.body, page.finalURL);
  LinkMetadata result;
  result.title = meta.title;
  auto image = [&](const std::optional<std::string>& imageURL) -> std::optional<std::string> {
    if (!imageURL || cancel.isCancelled()) return std::nullopt;
    auto fetched = fetch(*imageURL, kMaxImageBytes, cancel);
    if (!fetched.ok() || fetched.value().truncated || !looksLikeImage(fetched.value().body)) return std::nullopt;
    return std::move(fetched.value().body);
  };
  result.iconImageData = image(meta.iconURL);
  result.previewImageData = image(meta.imageURL);
  return result;
}

}  // namespace pallix
