#include "SimilaritySearchKit/TransformerEncoder.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "SimilaritySearchKit/Blas.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "TransformerEncoderError";

// y[rows, out] = x[rows, in] · w[out, in]ᵀ + bias[out]
void linear(const float* x, int rows, int in, const std::vector<float>& w, const std::vector<float>& bias, int out,
            float* y) {
  for (int r = 0; r < rows; ++r) std::copy(bias.begin(), bias.end(), y + static_cast<size_t>(r) * out);
  blas::sgemm(blas::Transpose::no, blas::Transpose::yes, rows, out, in, 1.0f, x, in, w.data(), in, 1.0f, y, out);
}

// In place over rows of width `width`: (x - mean) / sqrt(var + eps) * gamma + beta.
void layerNorm(float* x, int rows, int width, const std::vector<float>& gamma, const std::vector<float>& beta,
               float eps) {
  for (int r = 0; r < rows; ++r) {
    float* row = x + static_cast<size_t>(r) * width;
    double sum = 0;
    for (int i = 0; i < width; ++i) sum += row[i];
    const double mean = sum / width;
    double squares = 0;
    for (int i = 0; i < width; ++i) {
      const double d = row[i] - mean;
      squares += d * d;
    }
    const float inverse = static_cast<float>(1.0 / std::sqrt(squares / width + eps));
    const float m = static_cast<float>(mean);
    for (int i = 0; i < width; ++i)
      row[i] = (row[i] - m) * inverse * gamma[static_cast<size_t>(i)] + beta[static_cast<size_t>(i)];
  }
}

void gelu(float* x, size_t n) {
  constexpr float kInvSqrt2 = 0.70710678118654752440f;
  for (size_t i = 0; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + std::erf(x[i] * kInvSqrt2));
}

void softmaxRow(float* row, int n) {
  float maximum = -std::numeric_limits<float>::infinity();
  for (int i = 0; i < n; ++i) maximum = std::max(maximum, row[i]);
  float sum = 0;
  for (int i = 0; i < n; ++i) {
    row[i] = std::exp(row[i] - maximum);
    sum += row[i];
  }
  const float inverse = 1.0f / sum;
  for (int i = 0; i < n; ++i) row[i] *= inverse;
}

}  // namespace

// One sequence of the batch: its rows in the activation matrix and, when
// padding is computed too, the additive attention bias of each key.
struct TransformerEncoder::Sequence {
  int offset = 0;              // First row in the activation matrix.
  int length = 0;              // Rows (= keys) of this sequence.
  std::vector<float> keyBias;  // Empty, or `length` values: 0 or the most negative float.
};

Result<std::unique_ptr<TransformerEncoder>> TransformerEncoder::loadDirectory(const std::string& directory) {
  auto config = TransformerConfig::loadDirectory(directory);
  if (!config.ok()) return config.error();
  auto weights = SafetensorsFile::load(directory + "/model.safetensors");
  if (!weights.ok()) return weights.error();
  return fromParts(config.value(), weights.value());
}

Result<std::unique_ptr<TransformerEncoder>> TransformerEncoder::fromParts(const TransformerConfig& config,
                                                                          const SafetensorsFile& weights) {
  std::unique_ptr<TransformerEncoder> encoder(new TransformerEncoder(config));
  const int64_t H = config.hiddenSize, I = config.intermediateSize;
  // Hugging Face checkpoints of BertModel have no prefix; BertFor* ones nest it under "bert.".
  // XLM-RoBERTa ones under "roberta.".
  std::string prefix;
  for (const char* nested : {"bert.", "roberta."}) {
    if (!weights.contains("embeddings.word_embeddings.weight") &&
        weights.contains(std::string(nested) + "embeddings.word_embeddings.weight")) {
      prefix = nested;
    }
  }
  Error failure;
  bool failed = false;
  auto get = [&](const std::string& name, std::vector<int64_t> shape, std::vector<float>& out) {
    if (failed) return;
    auto values = weights.floats(prefix + name, shape);
    if (!values.ok()) {
      failure = values.error();
      failed = true;
      return;
    }
    out = std::move(values).value();
  };
  // Layer norms are "weight"/"bias" in current checkpoints, "gamma"/"beta" in old ones.
  auto getNorm = [&](const std::string& name, std::vector<float>& gamma, std::vector<float>& beta) {
    bool old = !weights.contains(prefix + name + ".weight") && weights.contains(prefix + name + ".gamma");
    get(name + (old ? ".gamma" : ".weight"), {H}, gamma);
    get(name + (old ? ".beta" : ".bias"), {H}, beta);
  };

  get("embeddings.word_embeddings.weight", {config.vocabSize, H}, encoder->wordEmbeddings_);
  get("embeddings.position_embeddings.weight", {config.maxPositionEmbeddings, H}, encoder->positionEmbeddings_);
  get("embeddings.token_type_embeddings.weight", {config.typeVocabSize, H}, encoder->tokenTypeEmbeddings_);
  getNorm("embeddings.LayerNorm", encoder->embeddingNormWeight_, encoder->embeddingNormBias_);
  encoder->layers_.resize(static_cast<size_t>(config.numHiddenLayers));
  for (int i = 0; i < config.numHiddenLayers && !failed; ++i) {
    Layer& layer = encoder->layers_[static_cast<size_t>(i)];
    const std::string p = "encoder.layer." + std::to_string(i) + ".";
    std::vector<float> w[3], b[3];
    const char* names[3] = {"query", "key", "value"};
    for (int k = 0; k < 3; ++k) {
      get(p + "attention.self." + names[k] + ".weight", {H, H}, w[k]);
      get(p + "attention.self." + names[k] + ".bias", {H}, b[k]);
    }
    if (failed) break;
    for (int k = 0; k < 3; ++k) {
      layer.qkvWeight.insert(layer.qkvWeight.end(), w[k].begin(), w[k].end());
      layer.qkvBias.insert(layer.qkvBias.end(), b[k].begin(), b[k].end());
    }
    get(p + "attention.output.dense.weight", {H, H}, layer.attentionOutWeight);
    get(p + "attention.output.dense.bias", {H}, layer.attentionOutBias);
    getNorm(p + "attention.output.LayerNorm", layer.attentionNormWeight, layer.attentionNormBias);
    get(p + "intermediate.dense.weight", {I, H}, layer.intermediateWeight);
    get(p + "intermediate.dense.bias", {I}, layer.intermediateBias);
    get(p + "output.dense.weight", {H, I}, layer.outputWeight);
    get(p + "output.dense.bias", {H}, layer.outputBias);
    getNorm(p + "output.LayerNorm", layer.outputNormWeight, layer.outputNormBias);
  }
  if (failed) return Error(kDomain, 1, "model weights do not match config.json: " + failure.description());
  return encoder;
}

size_t TransformerEncoder::parameterCount() const {
  size_t n = wordEmbeddings_.size() + positionEmbeddings_.size() + tokenTypeEmbeddings_.size() +
             embeddingNormWeight_.size() + embeddingNormBias_.size();
  for (const auto& l : layers_) {
    n += l.qkvWeight.size() + l.qkvBias.size() + l.attentionOutWeight.size() + l.attentionOutBias.size() +
         l.attentionNormWeight.size() + l.attentionNormBias.size() + l.intermediateWeight.size() +
         l.intermediateBias.size() + l.outputWeight.size() + l.outputBias.size() + l.outputNormWeight.size() +
         l.outputNormBias.size();
  }
  return n;
}

bool TransformerEncoder::setBlasThreadCount(int threads) {
  return blas::setThreadCount(threads);
}

void TransformerEncoder::runLayer(const Layer& layer, const std::vector<Sequence>& sequences, bool queryAll,
                                  std::vector<float>& x) const {
  const int H = config_.hiddenSize, I = config_.intermediateSize, heads = config_.numAttentionHeads;
  const int d = config_.headSize();
  const int rows = static_cast<int>(x.size() / static_cast<size_t>(H));
  const float scale = 1.0f / std::sqrt(static_cast<float>(d));

  std::vector<float> qkv(static_cast<size_t>(rows) * 3 * H);
  linear(x.data(), rows, H, layer.qkvWeight, layer.qkvBias, 3 * H, qkv.data());

  // Query rows: every row, or only each sequence's first ([CLS]) row.
  int queryRows = 0;
  for (const auto& s : sequences) queryRows += queryAll ? s.length : 1;
  std::vector<float> context(static_cast<size_t>(queryRows) * H);
  std::vector<float> residual(static_cast<size_t>(queryRows) * H);
  std::vector<float> scores;
  int out = 0;
  for (const auto& s : sequences) {
    const int lq = queryAll ? s.length : 1;
    std::copy_n(x.begin() + static_cast<std::ptrdiff_t>(s.offset) * H, static_cast<size_t>(lq) * H,
                residual.begin() + static_cast<std::ptrdiff_t>(out) * H);
    scores.resize(static_cast<size_t>(lq) * s.length);
    const float* base = qkv.data() + static_cast<size_t>(s.offset) * 3 * H;
    for (int h = 0; h < heads; ++h) {
      const float* q = base + h * d;
      const float* k = base + H + h * d;
      const float* v = base + 2 * H + h * d;
      blas::sgemm(blas::Transpose::no, blas::Transpose::yes, lq, s.length, d, scale, q, 3 * H, k, 3 * H, 0.0f,
                  scores.data(), s.length);
      for (int r = 0; r < lq; ++r) {
        float* row = scores.data() + static_cast<size_t>(r) * s.length;
        if (!s.keyBias.empty()) {
          for (int c = 0; c < s.length; ++c) row[c] += s.keyBias[static_cast<size_t>(c)];
        }
        softmaxRow(row, s.length);
      }
      blas::sgemm(blas::Transpose::no, blas::Transpose::no, lq, d, s.length, 1.0f, scores.data(), s.length, v, 3 * H,
                  0.0f, context.data() + static_cast<size_t>(out) * H + h * d, H);
    }
    out += lq;
  }

  std::vector<float> attended(static_cast<size_t>(queryRows) * H);
  linear(context.data(), queryRows, H, layer.attentionOutWeight, layer.attentionOutBias, H, attended.data());
  for (size_t i = 0; i < attended.size(); ++i) attended[i] += residual[i];
  layerNorm(attended.data(), queryRows, H, layer.attentionNormWeight, layer.attentionNormBias, config_.layerNormEps);

  std::vector<float> intermediate(static_cast<size_t>(queryRows) * I);
  linear(attended.data(), queryRows, H, layer.intermediateWeight, layer.intermediateBias, I, intermediate.data());
  gelu(intermediate.data(), intermediate.size());
  x.assign(static_cast<size_t>(queryRows) * H, 0.0f);
  linear(intermediate.data(), queryRows, I, layer.outputWeight, layer.outputBias, H, x.data());
  for (size_t i = 0; i < x.size(); ++i) x[i] += attended[i];
  layerNorm(x.data(), queryRows, H, layer.outputNormWeight, layer.outputNormBias, config_.layerNormEps);
}

Result<std::vector<EncoderOutput>> TransformerEncoder::encode(const std::vector<EncoderInput>& inputs,
                                                              const EncodeOptions& options) const {
  const int H = config_.hiddenSize;
  std::vector<Sequence> sequences;
  std::vector<std::vector<int>> positions;  // Input positions computed, per sequence.
  int rows = 0;
  for (size_t n = 0; n < inputs.size(); ++n) {
    const auto& in = inputs[n];
    const std::string which = "input " + std::to_string(n) + ": ";
    if (in.inputIds.size() != in.attentionMask.size()) {
      return Error(kDomain, 2,
                   which + "input_ids has " + std::to_string(in.inputIds.size()) +
                       " positions but attention_mask has " + std::to_string(in.attentionMask.size()));
    }
    if (in.inputIds.empty()) return Error(kDomain, 2, which + "no positions");
    const size_t firstPosition = config_.robertaPositions() ? static_cast<size_t>(config_.padTokenId) + 1 : 0;
    if (in.inputIds.size() + firstPosition > static_cast<size_t>(config_.maxPositionEmbeddings)) {
      return Error(kDomain, 2,
                   which + std::to_string(in.inputIds.size()) + " positions exceed the model's " +
                       std::to_string(config_.maxPositionEmbeddings - static_cast<int>(firstPosition)));
    }
    if (in.attentionMask[0] == 0) return Error(kDomain, 2, which + "the first ([CLS]) position is masked");
    Sequence s;
    s.offset = rows;
    std::vector<int> pos;
    for (size_t p = 0; p < in.inputIds.size(); ++p) {
      const int32_t id = in.inputIds[p];
      if (id < 0 || id >= config_.vocabSize) {
        return Error(kDomain, 2,
                     which + "token identifier " + std::to_string(id) + " at position " + std::to_string(p) +
                         " is outside the vocabulary of " + std::to_string(config_.vocabSize));
      }
      const bool real = in.attentionMask[p] != 0;
      if (options.computeAll) {
        pos.push_back(static_cast<int>(p));
        s.keyBias.push_back(real ? 0.0f : std::numeric_limits<float>::lowest());
      } else if (real) {
        pos.push_back(static_cast<int>(p));
      }
    }
    s.length = static_cast<int>(pos.size());
    rows += s.length;
    sequences.push_back(std::move(s));
    positions.push_back(std::move(pos));
  }
  if (inputs.empty()) return std::vector<EncoderOutput>{};

  // Embeddings (token type 0 throughout) and their layer norm. XLM-RoBERTa
  // numbers the unpadded tokens from padTokenId + 1 and puts padding at padTokenId.
  std::vector<float> x(static_cast<size_t>(rows) * H);
  size_t row = 0;
  for (size_t n = 0; n < inputs.size(); ++n) {
    const auto& mask = inputs[n].attentionMask;
    std::vector<int> positionIds(mask.size());
    int unpadded = 0;
    for (size_t p = 0; p < mask.size(); ++p) {
      if (!config_.robertaPositions()) {
        positionIds[p] = static_cast<int>(p);
      } else {
        if (mask[p] != 0) ++unpadded;
        positionIds[p] = config_.padTokenId + (mask[p] != 0 ? unpadded : 0);
      }
    }
    for (int p : positions[n]) {
      float* dst = x.data() + row * H;
      const float* word = wordEmbeddings_.data() + static_cast<size_t>(inputs[n].inputIds[static_cast<size_t>(p)]) * H;
      const float* position = positionEmbeddings_.data() + static_cast<size_t>(positionIds[static_cast<size_t>(p)]) * H;
      const float* type = tokenTypeEmbeddings_.data();
      for (int i = 0; i < H; ++i) dst[i] = word[i] + position[i] + type[i];
      ++row;
    }
  }
  layerNorm(x.data(), rows, H, embeddingNormWeight_, embeddingNormBias_, config_.layerNormEps);

  // With first-token pooling only [CLS] is read from the last layer, so it
  // computes only [CLS] queries unless every position (or hidden state) is wanted.
  const bool meanPooling = config_.pooling == TransformerConfig::Pooling::mean;
  const bool lastQueryAll = options.computeAll || options.keepHiddenStates || meanPooling;
  for (size_t l = 0; l < layers_.size(); ++l) {
    runLayer(layers_[l], sequences, l + 1 < layers_.size() || lastQueryAll, x);
  }

  std::vector<EncoderOutput> outputs(inputs.size());
  int first = 0;
  for (size_t n = 0; n < inputs.size(); ++n) {
    const int length = lastQueryAll || layers_.empty() ? sequences[n].length : 1;
    const float* cls = x.data() + static_cast<size_t>(first) * H;
    std::vector<double> pooled(cls, cls + H);
    if (meanPooling) {
      std::fill(pooled.begin(), pooled.end(), 0.0);
      int counted = 0;
      for (int r = 0; r < length; ++r) {
        if (inputs[n].attentionMask[static_cast<size_t>(positions[n][static_cast<size_t>(r)])] == 0) continue;
        const float* state = cls + static_cast<size_t>(r) * H;
        for (int i = 0; i < H; ++i) pooled[static_cast<size_t>(i)] += state[i];
        ++counted;
      }
      for (double& v : pooled) v /= std::max(counted, 1);
    }
    double norm = 0;
    for (double v : pooled) norm += v * v;
    norm = std::sqrt(norm);
    const double inverse = norm > 0 ? 1.0 / norm : 0.0;
    outputs[n].embedding.resize(static_cast<size_t>(H));
    for (int i = 0; i < H; ++i) {
      outputs[n].embedding[static_cast<size_t>(i)] = static_cast<float>(pooled[static_cast<size_t>(i)] * inverse);
    }
    if (options.keepHiddenStates) outputs[n].hiddenStates.assign(cls, cls + static_cast<size_t>(length) * H);
    first += length;
  }
  return outputs;
}

}  // namespace pallix
