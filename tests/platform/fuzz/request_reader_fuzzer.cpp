// libFuzzer target: arbitrary bytes from a client of the instance socket. The
// reader must never crash, never buffer past its bound, cut the same events
// however the bytes arrive, and hand on only text that encodes as JSON.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "RequestReaderInvariants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A small bound, so that inputs pass it often.
  std::string failure =
      pallix::testing::checkRequestReaderInvariants(std::string_view(reinterpret_cast<const char*>(data), size), 64);
  if (!failure.empty()) {
    std::fprintf(stderr, "invariant failed: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
