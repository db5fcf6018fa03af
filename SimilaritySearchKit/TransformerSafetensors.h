// SafetensorsFile: reader and writer of the safetensors tensor container.
//
// Layout: an 8-byte little-endian header length n, n bytes of JSON mapping each
// tensor name to {"dtype", "shape", "data_offsets": [begin, end]} (offsets into
// the data that follows the header; an optional "__metadata__" entry maps
// strings to strings), then the raw little-endian tensor bytes. F32, F16 and
// BF16 tensors are read and converted to float. Every offset, size and shape is
// checked, so a truncated or corrupt file is an error, never a crash.
// A SafetensorsFile owns the file's bytes; it is immutable after parsing.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/Error.h"

namespace pallix {

enum class TensorDType { f32, f16, bf16, other };

struct TensorInfo {
  std::string dtypeName;  // As written in the header ("F32", "I64", ...).
  TensorDType dtype = TensorDType::other;
  std::vector<int64_t> shape;
  uint64_t begin = 0;  // Byte offsets into the data section.
  uint64_t end = 0;
};

// One tensor to write: a shape and its float values in row-major order.
struct TensorData {
  std::vector<int64_t> shape;
  std::vector<float> values;
};

class SafetensorsFile {
 public:
  static Result<SafetensorsFile> load(const std::string& path);
  static Result<SafetensorsFile> parse(std::string bytes);

  // Serialises `tensors` (sorted by name) with every value stored as `dtype` (f32, f16 or bf16).
  static std::string serialize(const std::map<std::string, TensorData>& tensors, TensorDType dtype = TensorDType::f32);

  bool contains(const std::string& name) const { return tensors_.count(name) != 0; }
  const std::map<std::string, TensorInfo>& tensors() const { return tensors_; }
  const std::map<std::string, std::string>& metadata() const { return metadata_; }

  // The tensor's values as floats. Fails when it is missing, its dtype is not
  // F32/F16/BF16, or its shape differs from `expectedShape`.
  Result<std::vector<float>> floats(const std::string& name, const std::vector<int64_t>& expectedShape) const;

 private:
  std::string bytes_;
  size_t dataStart_ = 0;
  std::map<std::string, TensorInfo> tensors_;
  std::map<std::string, std::string> metadata_;
};

std::string shapeToString(const std::vector<int64_t>& shape);
float halfToFloat(uint16_t h);
uint16_t floatToHalf(float f);
float bfloat16ToFloat(uint16_t b);
uint16_t floatToBfloat16(float f);

}  // namespace pallix
