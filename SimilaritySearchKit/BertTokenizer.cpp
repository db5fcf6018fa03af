#include "SimilaritySearchKit/BertTokenizer.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include "core/DiacriticFolding.h"
#include "core/FileUtil.h"
#include "core/Logger.h"

namespace pallix {
namespace {

// A WordPiece vocabulary is a few hundred kilobytes.
constexpr uint64_t kMaximumVocabularySize = uint64_t{64} << 20;

const Logger& logger() {
  static const Logger log("BertTokenizer");
  return log;
}

bool isSeparator(UChar32 c) {
  return u_isUWhiteSpace(c) || u_isWhitespace(c);
}

// Control and format characters (other than whitespace) and unassigned or
// invalid code points carry no text; they are dropped like whitespace.
bool isIgnored(UChar32 c) {
  int8_t type = u_charType(c);
  return c == 0 || c == 0xFFFD || type == U_CONTROL_CHAR || type == U_FORMAT_CHAR || type == U_UNASSIGNED ||
         type == U_SURROGATE || type == U_PRIVATE_USE_CHAR;
}

// Letters, marks and numbers make up words; everything else stands alone.
bool isWordCharacter(UChar32 c) {
  uint32_t mask = U_GET_GC_MASK(c);
  return (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

std::string toUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

}  // namespace

std::vector<std::string> BasicTokenizer::tokenize(const std::string& text) const {
  icu::UnicodeString folded = withoutDiacritics(icu::UnicodeString::fromUTF8(text));
  std::vector<std::string> tokens;
  // Whitespace pieces first, as UTF-16 ranges of `folded`.
  int32_t length = folded.length();
  int32_t i = 0;
  while (i < length) {
    UChar32 c = folded.char32At(i);
    if (isSeparator(c) || isIgnored(c)) {
      i += U16_LENGTH(c);
      continue;
    }
    icu::UnicodeString piece;
    while (i < length) {
      c = folded.char32At(i);
      if (isSeparator(c)) break;
      if (!isIgnored(c)) piece.append(c);
      i += U16_LENGTH(c);
    }
    std::string pieceUtf8 = toUtf8(piece);
    if (neverSplit.count(pieceUtf8)) {
      tokens.push_back(std::move(pieceUtf8));
      continue;
    }
    // Lower-casing can bring back combining marks ("İ" -> "i̇"), so fold again.
    icu::UnicodeString lowered = withoutDiacritics(piece.toLower(icu::Locale::getRoot()));
    icu::UnicodeString word;
    for (int32_t j = 0; j < lowered.length();) {
      UChar32 ch = lowered.char32At(j);
      j += U16_LENGTH(ch);
      if (isWordCharacter(ch)) {
        word.append(ch);
        continue;
      }
      if (!word.isEmpty()) tokens.push_back(toUtf8(word));
      word.remove();
      if (!isIgnored(ch)) tokens.push_back(toUtf8(icu::UnicodeString(ch)));
    }
    if (!word.isEmpty()) tokens.push_back(toUtf8(word));
  }
  return tokens;
}

std::vector<std::string> WordpieceTokenizer::tokenize(const std::string& word) const {
  // Byte offsets of the code-point boundaries of `word`.
  std::vector<int32_t> bounds{0};
  const auto* bytes = reinterpret_cast<const uint8_t*>(word.data());
  int32_t length = static_cast<int32_t>(word.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    (void)c;
    bounds.push_back(i);
  }
  size_t characters = bounds.size() - 1;
  if (characters == 0) return {};
  if (characters > static_cast<size_t>(maxInputCharsPerWord) || vocab == nullptr) return {unkToken};

  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < characters) {
    size_t end = characters;
    std::string found;
    while (end > start) {
      std::string candidate = word.substr(bounds[start], bounds[end] - bounds[start]);
      if (start > 0) candidate = "##" + candidate;
      if (vocab->count(candidate)) {
        found = std::move(candidate);
        break;
      }
      --end;
    }
    if (found.empty()) return {unkToken};
    pieces.push_back(std::move(found));
    start = end;
  }
  return pieces;
}

Result<BertTokenizer> BertTokenizer::load(const std::string& vocabularyPath) {
  auto text = readRegularFile(vocabularyPath, kMaximumVocabularySize);
  if (!text.ok()) {
    return Error("BertTokenizerError", 1,
                 "cannot read the vocabulary \"" + vocabularyPath + "\": " + text.error().description());
  }
  auto tokenizer = fromVocabularyText(text.value());
  if (!tokenizer.ok()) return tokenizer.error().withContext(vocabularyPath);
  return tokenizer;
}

Result<BertTokenizer> BertTokenizer::fromVocabularyText(const std::string& text) {
  BertTokenizer t;
  std::string line;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    line = text.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = nl + 1;
    int id = static_cast<int>(t.ids_to_tokens.size());
    t.ids_to_tokens.push_back(line);
    // A token listed twice keeps its first identifier.
    t.vocab.emplace(line, id);
  }
  for (const char* special : {"[CLS]", "[SEP]", "[UNK]"}) {
    if (!t.vocab.count(special)) {
      return Error("BertTokenizerError", 2, std::string("the vocabulary has no ") + special + " token");
    }
  }
  t.clsId_ = t.vocab.at("[CLS]");
  t.sepId_ = t.vocab.at("[SEP]");
  t.unkId_ = t.vocab.at("[UNK]");
  if (t.clsId_ == 0 || t.sepId_ == 0) {
    return Error("BertTokenizerError", 2, "identifier 0 is padding, but the vocabulary puts [CLS] or [SEP] there");
  }
  t.relink();
  return t;
}

BertTokenizer::BertTokenizer(const BertTokenizer& other)
    : basicTokenizer(other.basicTokenizer),
      wordpieceTokenizer(other.wordpieceTokenizer),
      maxLen(other.maxLen),
      vocab(other.vocab),
      ids_to_tokens(other.ids_to_tokens),
      clsId_(other.clsId_),
      sepId_(other.sepId_),
      unkId_(other.unkId_) {
  relink();
}

BertTokenizer& BertTokenizer::operator=(const BertTokenizer& other) {
  if (this != &other) {
    BertTokenizer copy(other);
    *this = std::move(copy);
  }
  return *this;
}

BertTokenizer::BertTokenizer(BertTokenizer&& other) noexcept
    : basicTokenizer(std::move(other.basicTokenizer)),
      wordpieceTokenizer(other.wordpieceTokenizer),
      maxLen(other.maxLen),
      vocab(std::move(other.vocab)),
      ids_to_tokens(std::move(other.ids_to_tokens)),
      clsId_(other.clsId_),
      sepId_(other.sepId_),
      unkId_(other.unkId_) {
  relink();
}

BertTokenizer& BertTokenizer::operator=(BertTokenizer&& other) noexcept {
  basicTokenizer = std::move(other.basicTokenizer);
  wordpieceTokenizer = other.wordpieceTokenizer;
  maxLen = other.maxLen;
  vocab = std::move(other.vocab);
  ids_to_tokens = std::move(other.ids_to_tokens);
  clsId_ = other.clsId_;
  sepId_ = other.sepId_;
  unkId_ = other.unkId_;
  relink();
  return *this;
}

std::vector<std::string> BertTokenizer::tokenize(const std::string& text) const {
  std::vector<std::string> tokens;
  for (const auto& basic : basicTokenizer.tokenize(text)) {
    for (auto& piece : wordpieceTokenizer.tokenize(basic)) tokens.push_back(std::move(piece));
  }
  return tokens;
}

std::vector<int> BertTokenizer::convertTokensToIds(const std::vector<std::string>& tokens) const {
  std::vector<int> ids;
  ids.reserve(tokens.size());
  for (const auto& token : tokens) {
    auto it = vocab.find(token);
    ids.push_back(it == vocab.end() ? unkId_ : it->second);
  }
  return ids;
}

std::vector<int> BertTokenizer::buildModelTokens(const std::string& sentence) const {
  std::vector<int> ids = convertTokensToIds(tokenize(sentence));
  size_t limit = static_cast<size_t>(maxLen > 2 ? maxLen - 2 : 0);
  if (ids.size() + 2 > static_cast<size_t>(maxLen)) {
    logger().info("Input sentence is too long %zu > %d, truncating.", ids.size() + 2, maxLen);
    ids.resize(limit);
  }
  std::vector<int> row;
  row.reserve(static_cast<size_t>(maxLen));
  row.push_back(clsId_);
  row.insert(row.end(), ids.begin(), ids.end());
  row.push_back(sepId_);
  row.resize(std::max<size_t>(row.size(), static_cast<size_t>(maxLen)), 0);
  return row;
}

ModelInputs BertTokenizer::buildModelInputs(const std::vector<int>& tokens) const {
  ModelInputs inputs;
  inputs.inputIds.assign(tokens.begin(), tokens.end());
  inputs.attentionMask.reserve(tokens.size());
  for (int id : tokens) inputs.attentionMask.push_back(id != 0 ? 1 : 0);
  return inputs;
}

ModelInputs BertTokenizer::buildModelInputsWithTypeIds(const std::vector<int>& tokens) const {
  ModelInputs inputs = buildModelInputs(tokens);
  inputs.tokenTypeIds.assign(tokens.size(), 0);
  return inputs;
}

std::vector<std::string> BertTokenizer::convertWordpieceToBasicTokenList(
    const std::vector<std::string>& wordpieceTokens) const {
  std::vector<std::string> words;
  for (const auto& token : wordpieceTokens) {
    if (token.size() > 2 && token.compare(0, 2, "##") == 0 && !words.empty()) {
      words.back() += token.substr(2);
    } else {
      words.push_back(token);
    }
  }
  return words;
}

std::string BertTokenizer::detokenize(const std::vector<std::string>& tokens) const {
  std::string text;
  for (const auto& word : convertWordpieceToBasicTokenList(tokens)) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

int BertTokenizer::tokenId(const std::string& token) const {
  auto it = vocab.find(token);
  return it == vocab.end() ? -1 : it->second;
}

const std::string& BertTokenizer::tokenForId(int id) const {
  static const std::string empty;
  if (id < 0 || static_cast<size_t>(id) >= ids_to_tokens.size()) return empty;
  return ids_to_tokens[static_cast<size_t>(id)];
}

}  // namespace pallix
