#include "app/intelligence/QueryRouting.h"

namespace pallix {

const char* routerDataSourceRawValue(DataSource source) {
  switch (source) {
    case DataSource::maps:
      return "maps";
    case DataSource::weather:
      return "weather";
    case DataSource::dictionary:
      return "dictionary";
    case DataSource::knowledge:
      return "knowledge";
    case DataSource::messages:
      return "messages";
    case DataSource::files:
      return "files";
  }
  return "maps";
}

std::optional<DataSource> routerDataSourceFromRawValue(std::string_view raw) {
  for (DataSource source : kAllRouterDataSources) {
    if (raw == routerDataSourceRawValue(source)) return source;
  }
  return std::nullopt;
}

QueryRouterFactory makeBlockingRouterFactory(
    std::function<Result<std::shared_ptr<QueryRouting>>(CancellationToken cancel)> build) {
  return [build = std::move(build)](CancellationToken cancel, RouterBuildCompletion completion) {
    completion(build(cancel));
  };
}

}  // namespace pallix
