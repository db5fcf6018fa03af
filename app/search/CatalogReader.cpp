#include "app/search/CatalogReader.h"

#include "app/search/CatalogSchema.h"
#include "app/search/CatalogStore.h"
#include "app/search/CatalogWriter.h"
#include "core/FileUtil.h"

namespace pallix {

CatalogOpenFailure describeCatalogOpenFailure(const Error& error) {
  if (isFileError(error, FileErrorCode::notRegularFile)) {
    return {"cannot open the catalog: " + error.description(),
            "It is not Pallix's: move it away, and 'pallix index' builds a new catalog."};
  }
  switch (PersistentStore::failureKind(error)) {
    case StoreFailure::missing:
      return {error.description(), "Run 'pallix index' to build it."};
    case StoreFailure::notReady:
      return {error.description(), "Run 'pallix index' to bring the catalog up to date."};
    case StoreFailure::damaged:
      return {"the catalog is damaged: " + error.description(), "Run 'pallix index': it rebuilds the catalog."};
    case StoreFailure::busy:
      return {"the catalog stayed busy: " + error.description(),
              "Another Pallix command holds it; try again when it has finished."};
    case StoreFailure::other:
      break;
  }
  return {"cannot open the catalog: " + error.description(),
          "Check that the data directory is readable ('pallix paths' shows it)."};
}

Result<CatalogReader> CatalogReader::open(const DataDirectories& dirs) {
  PersistentStore::OpenOptions options;
  options.verifyIntegrity = false;
  PALLIX_ASSIGN_OR_RETURN(std::unique_ptr<PersistentStore> store,
                          PersistentStore::openForReading(dirs.storePath(), catalogMigrationSteps(), options));
  return CatalogReader(std::move(store));
}

int64_t CatalogReader::size() {
  CatalogStore catalog(*store_);
  return catalog.count().valueOr(0);
}

bool catalogFinishedAFullScan(PersistentStore& store) {
  auto signature = store.metadataValue(CatalogWriter::kSignatureMetadataKey);
  return signature.ok() && signature.value().has_value();
}

std::optional<Error> CatalogReader::damage() {
  Status sound = store_->verifyIntegrity(catalogMigrationSteps());
  if (!sound.ok() && PersistentStore::failureKind(sound.error()) == StoreFailure::damaged) return sound.error();
  return std::nullopt;
}

}  // namespace pallix
