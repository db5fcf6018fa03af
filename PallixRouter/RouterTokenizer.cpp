#include "PallixRouter/RouterTokenizer.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>

#include "PallixRouter/RouterErrors.h"
#include "core/DiacriticFolding.h"
#include "core/FileUtil.h"
#include "core/Strings.h"

namespace pallix::router {
namespace {

std::string toUtf8(const std::u32string& s, size_t begin, size_t end) {
  std::string out;
  for (size_t i = begin; i < end; ++i) appendUtf8(out, s[i]);
  return out;
}

std::u32string toUtf32(const icu::UnicodeString& s) {
  std::u32string out;
  for (int32_t i = 0; i < s.length();) {
    UChar32 c = s.char32At(i);
    out += static_cast<char32_t>(c);
    i += U16_LENGTH(c);
  }
  return out;
}

bool isWhitespace(UChar32 c) {
  return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

bool isAlphanumeric(UChar32 c) {
  uint32_t mask = U_GET_GC_MASK(c);
  return (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

bool isPunctuationOrSymbol(UChar32 c) {
  uint32_t mask = U_GET_GC_MASK(c);
  return (mask & (U_GC_P_MASK | U_GC_S_MASK)) != 0;
}

}  // namespace

Result<BertTokenizer> BertTokenizer::load(const std::string& vocabPath) {
  auto text = readFileToString(vocabPath);
  if (!text.ok()) return text.error();
  return fromText(*text);
}

Result<BertTokenizer> BertTokenizer::fromText(std::string_view vocabText) {
  BertTokenizer tokenizer;
  int32_t next = 0;
  size_t start = 0;
  while (start <= vocabText.size()) {
    size_t end = vocabText.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = vocabText.size();
    std::string_view line = vocabText.substr(start, end - start);
    if (!line.empty()) {
      std::string token(line);
      tokenizer.vocab_[token] = next++;
      std::string_view body = line.substr(0, 2) == "##" ? line.substr(2) : line;
      icu::UnicodeString u =
          icu::UnicodeString::fromUTF8(icu::StringPiece(body.data(), static_cast<int32_t>(body.size())));
      tokenizer.longestToken_ = std::max(tokenizer.longestToken_, static_cast<size_t>(u.countChar32()));
    }
    start = end + 1;
  }
  auto id = [&](const char* token, int32_t& out) {
    auto it = tokenizer.vocab_.find(token);
    if (it == tokenizer.vocab_.end()) return false;
    out = it->second;
    return true;
  };
  if (!id(clsToken, tokenizer.clsId_) || !id(sepToken, tokenizer.sepId_) || !id(padToken, tokenizer.padId_) ||
      !id(unkToken, tokenizer.unkId_)) {
    return missingSpecialTokensError();
  }
  return tokenizer;
}

std::string BertTokenizer::fold(std::string_view text) {
  icu::UnicodeString folded =
      withoutDiacritics(icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))));
  folded.toLower(icu::Locale::getRoot());
  std::string out;
  folded.toUTF8String(out);
  return out;
}

std::vector<std::string> BertTokenizer::basicSplit(std::string_view text) {
  std::string folded = fold(text);
  std::u32string s = toUtf32(icu::UnicodeString::fromUTF8(folded));
  std::vector<std::string> words;
  std::u32string current;
  auto flush = [&] {
    if (!current.empty()) words.push_back(toUtf8(current, 0, current.size()));
    current.clear();
  };
  for (char32_t c : s) {
    UChar32 u = static_cast<UChar32>(c);
    if (isWhitespace(u)) {
      flush();
    } else if (isAlphanumeric(u)) {
      current += c;
    } else if (isPunctuationOrSymbol(u)) {
      flush();
      std::u32string one(1, c);
      words.push_back(toUtf8(one, 0, 1));
    } else {
      current += c;
    }
  }
  flush();
  return words;
}

void BertTokenizer::wordPiece(const std::u32string& word, std::vector<std::string>& out) const {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < word.size()) {
    size_t end = std::min(word.size(), start + longestToken_);
    bool found = false;
    while (end > start) {
      std::string piece = (start > 0 ? "##" : "") + toUtf8(word, start, end);
      if (vocab_.count(piece)) {
        pieces.push_back(std::move(piece));
        found = true;
        break;
      }
      --end;
    }
    if (!found || static_cast<int>(pieces.size()) > maxTokenLength) {
      out.emplace_back(unkToken);
      return;
    }
    start = end;
  }
  for (auto& p : pieces) out.push_back(std::move(p));
}

std::vector<std::string> BertTokenizer::tokenize(std::string_view text) const {
  std::vector<std::string> tokens;
  for (const std::string& word : basicSplit(text)) {
    wordPiece(toUtf32(icu::UnicodeString::fromUTF8(word)), tokens);
  }
  return tokens;
}

Encoding BertTokenizer::encode(std::string_view text, int maxLength) const {
  const size_t length = static_cast<size_t>(std::max(maxLength, 2));
  std::vector<std::string> tokens = tokenize(text);
  if (tokens.size() > length - 2) tokens.resize(length - 2);
  Encoding encoding;
  encoding.inputIds.reserve(length);
  encoding.attentionMask.reserve(length);
  encoding.inputIds.push_back(clsId_);
  for (const std::string& token : tokens) {
    auto it = vocab_.find(token);
    encoding.inputIds.push_back(it == vocab_.end() ? unkId_ : it->second);
  }
  encoding.inputIds.push_back(sepId_);
  encoding.attentionMask.assign(encoding.inputIds.size(), 1);
  encoding.inputIds.resize(length, padId_);
  encoding.attentionMask.resize(length, 0);
  return encoding;
}

}  // namespace pallix::router
