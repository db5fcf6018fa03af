#include <set>
#include <utility>

#include "app/platform/PersistentStore.h"

namespace pallix {

namespace {

using SchemaObjects = std::set<std::pair<std::string, std::string>>;

// Every table, index, trigger and view a store holds, by type and name.
Result<SchemaObjects> schemaObjects(PersistentStore& store) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement statement,
                          store.prepare("SELECT type, name FROM sqlite_schema WHERE name NOT LIKE 'sqlite_%'"));
  SchemaObjects objects;
  while (true) {
    PALLIX_ASSIGN_OR_RETURN(bool row, statement.step());
    if (!row) break;
    objects.emplace(statement.columnText(0), statement.columnText(1));
  }
  return objects;
}

}  // namespace

Status PersistentStore::verifyIntegrity(const std::vector<MigrationStep>& steps) {
  PALLIX_ASSIGN_OR_RETURN(SqliteStatement check, prepare("PRAGMA quick_check"));
  PALLIX_ASSIGN_OR_RETURN(bool row, check.step());
  const std::string verdict = row ? check.columnText(0) : "no result";
  if (verdict != "ok") return PersistentStore::error(SQLITE_CORRUPT, "integrity check failed: " + verdict);

  // Pages can be sound while an object is gone (a dropped table or index):
  // what a fresh store of the same steps holds must all be here.
  PALLIX_ASSIGN_OR_RETURN(std::unique_ptr<PersistentStore> fresh,
                          open(":memory:", steps, OpenOptions{.verifyIntegrity = false}));
  PALLIX_ASSIGN_OR_RETURN(SchemaObjects expected, schemaObjects(*fresh));
  PALLIX_ASSIGN_OR_RETURN(SchemaObjects present, schemaObjects(*this));
  for (const auto& [type, name] : expected) {
    if (!present.count({type, name})) {
      return PersistentStore::error(SQLITE_CORRUPT, "the store lacks its " + type + " " + name);
    }
  }
  return okStatus();
}

}  // namespace pallix
