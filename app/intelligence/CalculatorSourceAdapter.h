// CalculatorSourceAdapter: the calculator (app/sources/CalculatorDataSource)
// as the coordinator's CalculatorSource. calculate() runs inline (it takes
// microseconds and decides the short-circuit); performSearch() computes on
// `worker` when one is given and hands the answer back through the
// completion, which the coordinator hops to the main runner.
//
// Thread-safe: the calculator is immutable after construction.
#pragma once

#include <memory>

#include "app/calculator/CalculatorDataSource.h"
#include "app/intelligence/DataSource.h"

namespace pallix {

class CalculatorSourceAdapter final : public CalculatorSource {
 public:
  explicit CalculatorSourceAdapter(std::shared_ptr<const CalculatorDataSource> calculator,
                                   TaskRunnerPtr worker = nullptr);

  VCRDataSourceIdentifier identifier() const override { return VCRDataSourceIdentifier::calculator; }
  bool shouldHandle(const std::string& query) override { return calculator_->shouldHandle(query); }
  std::optional<CalculatorAnswer> calculate(const std::string& query) override;
  void performSearch(const std::string& query, SearchCompletion completion) override;
  void cancelActiveQuery() override { inFlight_.cancel(); }
  void reset() override { inFlight_.cancel(); }

  static CalculatorAnswer answerFrom(const CalculatorResult& result);

 private:
  std::shared_ptr<const CalculatorDataSource> calculator_;
  TaskRunnerPtr worker_;
  TaskHandle inFlight_;
};

}  // namespace pallix
