#include "app/intelligence/CalculatorSourceAdapter.h"

namespace pallix {

CalculatorSourceAdapter::CalculatorSourceAdapter(std::shared_ptr<const CalculatorDataSource> calculator,
                                                 TaskRunnerPtr worker)
    : calculator_(std::move(calculator)), worker_(std::move(worker)) {}

CalculatorAnswer CalculatorSourceAdapter::answerFrom(const CalculatorResult& result) {
  return CalculatorAnswer{result.value, result.formattedValue, result.detail};
}

std::optional<CalculatorAnswer> CalculatorSourceAdapter::calculate(const std::string& query) {
  auto result = calculator_->calculate(query);
  if (!result) return std::nullopt;
  return answerFrom(*result);
}

void CalculatorSourceAdapter::performSearch(const std::string& query, SearchCompletion completion) {
  inFlight_.cancel();
  TaskHandle handle = TaskHandle::make();
  inFlight_ = handle;
  auto work = [calculator = calculator_, query, handle, completion = std::move(completion)] {
    if (handle.isCancelled()) return;
    auto result = calculator->calculate(query);
    if (handle.isCancelled()) return;
    completion(result ? std::optional<VCRDataSourceResult>(answerFrom(*result)) : std::nullopt);
  };
  if (worker_) {
    worker_->post(std::move(work));
  } else {
    work();
  }
}

}  // namespace pallix
