// The router's error values: domain "PallixRouter" (model, vocabulary, cache)
// and "PallixRouter.Tokenizer", with the fixed codes and descriptions.
#pragma once

#include "core/Error.h"

namespace pallix::router {

inline constexpr const char* kRouterErrorDomain = "PallixRouter";
inline constexpr const char* kTokenizerErrorDomain = "PallixRouter.Tokenizer";

inline Error missingLogitsError() {
  return Error(kRouterErrorDomain, -1, "Missing logits output");
}
inline Error missingVocabularyError() {
  return Error(kRouterErrorDomain, -2, "Missing vocab.txt in resources");
}
inline Error missingCacheDirectoryError() {
  return Error(kRouterErrorDomain, -3, "Unable to resolve user cache directory");
}
inline Error missingModelError() {
  return Error(kRouterErrorDomain, -4, "Missing bundled CoreML resources for PallixRouter");
}
inline Error missingSpecialTokensError() {
  return Error(kTokenizerErrorDomain, -1, "Vocabulary missing special tokens");
}

}  // namespace pallix::router
