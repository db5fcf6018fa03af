#include "core/SequenceChecker.h"

#include <cstdio>
#include <cstdlib>

namespace pallix {

void SequenceChecker::fail(const char* entryPoint) const {
  std::fprintf(stderr, "pallix: %s::%s was called off its runner, from a thread it was never used on\n", owner_,
               entryPoint);
  std::abort();
}

}  // namespace pallix
