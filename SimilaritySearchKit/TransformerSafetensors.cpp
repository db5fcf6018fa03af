#include "SimilaritySearchKit/TransformerSafetensors.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/FileUtil.h"

namespace pallix {
namespace {

constexpr const char* kDomain = "SafetensorsError";
// A header larger than this is not a model header but a corrupt length.
constexpr uint64_t kMaxHeaderBytes = 100ull * 1024 * 1024;

Error corrupt(const std::string& what) {
  return Error(kDomain, 1, "corrupt safetensors file: " + what);
}

TensorDType dtypeFromName(const std::string& name) {
  if (name == "F32") return TensorDType::f32;
  if (name == "F16") return TensorDType::f16;
  if (name == "BF16") return TensorDType::bf16;
  return TensorDType::other;
}

// Element sizes of every safetensors dtype, so sizes of tensors we do not read are still checked.
int dtypeSize(const std::string& name) {
  if (name == "F64" || name == "I64" || name == "U64") return 8;
  if (name == "F32" || name == "I32" || name == "U32") return 4;
  if (name == "F16" || name == "BF16" || name == "I16" || name == "U16") return 2;
  if (name == "I8" || name == "U8" || name == "BOOL" || name == "F8_E4M3" || name == "F8_E5M2") return 1;
  return 0;
}

uint16_t loadU16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

std::string shapeToString(const std::vector<int64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}

float halfToFloat(uint16_t h) {
  uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  uint32_t exponent = (h >> 10) & 0x1Fu;
  uint32_t mantissa = h & 0x3FFu;
  uint32_t bits;
  if (exponent == 0) {
    if (mantissa == 0) {
      bits = sign;
    } else {  // Subnormal: value = mantissa * 2^-24.
      float value = std::ldexp(static_cast<float>(mantissa), -24);
      return sign ? -value : value;
    }
  } else if (exponent == 0x1F) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

uint16_t floatToHalf(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  uint32_t absBits = bits & 0x7FFFFFFFu;
  if (absBits >= 0x7F800000u) return static_cast<uint16_t>(sign | 0x7C00u | (absBits > 0x7F800000u ? 0x200u : 0));
  if (absBits >= 0x477FF000u) return static_cast<uint16_t>(sign | 0x7C00u);  // Overflows to infinity.
  float a;
  std::memcpy(&a, &absBits, sizeof a);
  if (absBits < 0x38800000u) {  // Subnormal half: round to a multiple of 2^-24.
    return static_cast<uint16_t>(sign | static_cast<uint16_t>(std::nearbyint(a * 16777216.0f)));
  }
  // Round to nearest even on the 13 dropped mantissa bits.
  uint32_t rounded = absBits + 0xFFFu + ((absBits >> 13) & 1u);
  return static_cast<uint16_t>(sign | (((rounded >> 23) - 112) << 10) | ((rounded >> 13) & 0x3FFu));
}

float bfloat16ToFloat(uint16_t b) {
  uint32_t bits = static_cast<uint32_t>(b) << 16;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

uint16_t floatToBfloat16(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<uint16_t>((bits >> 16) | 0x40u);  // Quiet NaN.
  bits += 0x7FFFu + ((bits >> 16) & 1u);
  return static_cast<uint16_t>(bits >> 16);
}

Result<SafetensorsFile> SafetensorsFile::load(const std::string& path) {
  auto bytes = readFileToString(path);
  if (!bytes.ok()) return bytes.error();
  auto file = parse(std::move(bytes).value());
  if (!file.ok()) return file.error().withContext(path);
  return file;
}

Result<SafetensorsFile> SafetensorsFile::parse(std::string bytes) {
  if (bytes.size() < 8)
    return corrupt("shorter than its 8-byte header length (" + std::to_string(bytes.size()) + " bytes)");
  uint64_t headerLength = 0;
  for (int i = 7; i >= 0; --i)
    headerLength = (headerLength << 8) | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
  if (headerLength > kMaxHeaderBytes || headerLength > bytes.size() - 8) {
    return corrupt("header length " + std::to_string(headerLength) + " exceeds the file's " +
                   std::to_string(bytes.size() - 8) + " remaining bytes");
  }
  SafetensorsFile file;
  file.dataStart_ = 8 + static_cast<size_t>(headerLength);
  const uint64_t dataSize = bytes.size() - file.dataStart_;

  nlohmann::json header;
  try {
    header = nlohmann::json::parse(bytes.begin() + 8, bytes.begin() + static_cast<std::ptrdiff_t>(file.dataStart_));
  } catch (const nlohmann::json::exception& e) {
    return corrupt(std::string("header is not JSON (") + e.what() + ")");
  }
  if (!header.is_object()) return corrupt("header is not a JSON object");

  for (const auto& [name, entry] : header.items()) {
    if (name == "__metadata__") {
      if (!entry.is_object()) return corrupt("__metadata__ is not an object");
      for (const auto& [key, value] : entry.items()) {
        if (!value.is_string()) return corrupt("__metadata__ value of \"" + key + "\" is not a string");
        file.metadata_[key] = value.get<std::string>();
      }
      continue;
    }
    if (!entry.is_object()) return corrupt("entry \"" + name + "\" is not an object");
    auto dtype = entry.find("dtype");
    auto shape = entry.find("shape");
    auto offsets = entry.find("data_offsets");
    if (dtype == entry.end() || !dtype->is_string()) return corrupt("tensor \"" + name + "\" has no dtype");
    if (shape == entry.end() || !shape->is_array()) return corrupt("tensor \"" + name + "\" has no shape");
    if (offsets == entry.end() || !offsets->is_array() || offsets->size() != 2 || !(*offsets)[0].is_number_unsigned() ||
        !(*offsets)[1].is_number_unsigned()) {
      return corrupt("tensor \"" + name + "\" has no valid data_offsets");
    }
    TensorInfo info;
    info.dtypeName = dtype->get<std::string>();
    info.dtype = dtypeFromName(info.dtypeName);
    int elementSize = dtypeSize(info.dtypeName);
    if (elementSize == 0) return corrupt("tensor \"" + name + "\" has unknown dtype \"" + info.dtypeName + "\"");
    uint64_t elements = 1;
    for (const auto& dim : *shape) {
      if (!dim.is_number_unsigned()) return corrupt("tensor \"" + name + "\" has a negative or non-integer dimension");
      uint64_t d = dim.get<uint64_t>();
      if (d != 0 && elements > std::numeric_limits<uint64_t>::max() / 8 / d) {
        return corrupt("tensor \"" + name + "\" is impossibly large");
      }
      elements *= d;
      info.shape.push_back(static_cast<int64_t>(d));
    }
    info.begin = (*offsets)[0].get<uint64_t>();
    info.end = (*offsets)[1].get<uint64_t>();
    if (info.begin > info.end || info.end > dataSize) {
      return corrupt("tensor \"" + name + "\" data_offsets [" + std::to_string(info.begin) + ", " +
                     std::to_string(info.end) + "] lie outside the " + std::to_string(dataSize) +
                     " data bytes (file truncated?)");
    }
    if (info.end - info.begin != elements * static_cast<uint64_t>(elementSize)) {
      return corrupt("tensor \"" + name + "\" holds " + std::to_string(info.end - info.begin) + " bytes but shape " +
                     shapeToString(info.shape) + " of " + info.dtypeName + " needs " +
                     std::to_string(elements * static_cast<uint64_t>(elementSize)));
    }
    file.tensors_.emplace(name, std::move(info));
  }
  file.bytes_ = std::move(bytes);
  return file;
}

Result<std::vector<float>> SafetensorsFile::floats(const std::string& name,
                                                   const std::vector<int64_t>& expectedShape) const {
  auto it = tensors_.find(name);
  if (it == tensors_.end()) return Error(kDomain, 2, "missing tensor \"" + name + "\"");
  const TensorInfo& info = it->second;
  if (info.shape != expectedShape) {
    return Error(kDomain, 3,
                 "tensor \"" + name + "\" has shape " + shapeToString(info.shape) + ", expected " +
                     shapeToString(expectedShape));
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data() + dataStart_ + info.begin);
  size_t count = 1;
  for (int64_t d : info.shape) count *= static_cast<size_t>(d);
  std::vector<float> out(count);
  switch (info.dtype) {
    case TensorDType::f32:
      for (size_t i = 0; i < count; ++i) {
        uint32_t bits = static_cast<uint32_t>(p[4 * i]) | (static_cast<uint32_t>(p[4 * i + 1]) << 8) |
                        (static_cast<uint32_t>(p[4 * i + 2]) << 16) | (static_cast<uint32_t>(p[4 * i + 3]) << 24);
        std::memcpy(&out[i], &bits, sizeof bits);
      }
      break;
    case TensorDType::f16:
      for (size_t i = 0; i < count; ++i) out[i] = halfToFloat(loadU16(p + 2 * i));
      break;
    case TensorDType::bf16:
      for (size_t i = 0; i < count; ++i) out[i] = bfloat16ToFloat(loadU16(p + 2 * i));
      break;
    case TensorDType::other:
      return Error(kDomain, 4,
                   "tensor \"" + name + "\" has dtype " + info.dtypeName + "; only F32, F16 and BF16 are supported");
  }
  return out;
}

std::string SafetensorsFile::serialize(const std::map<std::string, TensorData>& tensors, TensorDType dtype) {
  const char* dtypeName = dtype == TensorDType::f16 ? "F16" : dtype == TensorDType::bf16 ? "BF16" : "F32";
  size_t elementSize = dtype == TensorDType::f16 || dtype == TensorDType::bf16 ? 2 : 4;
  nlohmann::json header = nlohmann::json::object();
  std::string data;
  for (const auto& [name, tensor] : tensors) {
    uint64_t begin = data.size();
    for (float v : tensor.values) {
      if (elementSize == 4) {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int b = 0; b < 4; ++b) data.push_back(static_cast<char>((bits >> (8 * b)) & 0xFF));
      } else {
        uint16_t bits = dtype == TensorDType::f16 ? floatToHalf(v) : floatToBfloat16(v);
        data.push_back(static_cast<char>(bits & 0xFF));
        data.push_back(static_cast<char>(bits >> 8));
      }
    }
    header[name] = {{"dtype", dtypeName}, {"shape", tensor.shape}, {"data_offsets", {begin, data.size()}}};
  }
  std::string headerText = header.dump();
  while ((headerText.size() % 8) != 0) headerText.push_back(' ');
  std::string out;
  uint64_t n = headerText.size();
  for (int b = 0; b < 8; ++b) out.push_back(static_cast<char>((n >> (8 * b)) & 0xFF));
  out += headerText;
  out += data;
  return out;
}

}  // namespace pallix
