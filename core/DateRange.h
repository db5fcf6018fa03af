// DateRange: a closed range of instants, as the query parser, the temporal
// analyzers and the message store's date filter use it.
#pragma once

#include "core/Clock.h"

namespace pallix {

struct DateRange {
  Date start;
  Date end;
  friend bool operator==(const DateRange&, const DateRange&) = default;
};

}  // namespace pallix
