#!/bin/sh
# End-to-end check of `pallix prefs` and `pallix defaults` against a temporary
# PALLIX_HOME: exit codes, type inference and validation, unknown keys,
# quoting, the two folder lists, corrupt settings.
# Usage: prefs_cli_test.sh PATH_TO_PALLIX
set -u
PALLIX="$1"
PALLIX_HOME=$(mktemp -d)
export PALLIX_HOME
export PALLIX_LOG=off
trap 'rm -rf "$PALLIX_HOME"' EXIT
failures=0

expect() {  # expect CODE DESCRIPTION COMMAND...
  want=$1; what=$2; shift 2
  "$@" >"$PALLIX_HOME/out" 2>"$PALLIX_HOME/err"
  got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what: exit $got, expected $want"; cat "$PALLIX_HOME/err"; failures=$((failures + 1))
  fi
}
contains() {  # contains FILE TEXT DESCRIPTION
  if ! grep -qF -- "$2" "$PALLIX_HOME/$1"; then
    echo "FAIL: $3: '$2' not in $1:"; cat "$PALLIX_HOME/$1"; failures=$((failures + 1))
  fi
}

expect 0 "prefs on an empty home" "$PALLIX" prefs
contains out "  computeUnits" "defaults are unmarked"
expect 2 "defaults without an action" "$PALLIX" defaults
expect 2 "unknown action" "$PALLIX" defaults frobnicate
expect 1 "read of a missing key" "$PALLIX" defaults read FilesPreferences.searchEnabled
contains err "default true" "hint names the default"
expect 2 "unknown enumeration value" "$PALLIX" defaults write FilesPreferences.computeUnits gpu
contains err "cpu, cpuGpu, cpuNe, all" "message names the allowed values"
expect 2 "retention outside the options" "$PALLIX" defaults write ClipboardPreferences.retentionDays 14
expect 2 "conflicting --type" "$PALLIX" defaults write TelemetryPreferences.telemetryEnabled 0 --type int
expect 2 "unknown --type" "$PALLIX" defaults write Some.key 1 --type float --force
expect 2 "unknown key refused" "$PALLIX" defaults write FilesPreferences.indexedFolder /a
contains err "Did you mean FilesPreferences.indexedFolders?" "hint names the likely key"
contains err "--force" "hint names the way out"
expect 2 "property under the wrong object" "$PALLIX" defaults write FilesPreferences.fileDirectories /a
contains err "Did you mean IndexingService.fileDirectories?" "hint names the catalog key"
expect 1 "read of an unknown key" "$PALLIX" defaults read filespreferences.searchenabled
contains err "Did you mean FilesPreferences.searchEnabled?" "read hint names the key in its case"
expect 2 "quoted value" "$PALLIX" defaults write FilesPreferences.computeUnits '"gpu"'
if grep -qF '""' "$PALLIX_HOME/err"; then echo "FAIL: doubled quotes:"; cat "$PALLIX_HOME/err"; failures=$((failures + 1)); fi
expect 0 "known non-preference key" "$PALLIX" defaults write IndexingService.fileDirectories /tmp
expect 0 "valid enumeration" "$PALLIX" defaults write FilesPreferences.computeUnits cpu
expect 0 "retention zero" "$PALLIX" defaults write ClipboardPreferences.retentionDays 0
expect 0 "boolean word" "$PALLIX" defaults write TelemetryPreferences.telemetryEnabled no
expect 0 "array of folders" "$PALLIX" defaults write FilesPreferences.indexedFolders /a /b
expect 2 "unknown key without --force" "$PALLIX" defaults write Other.count 12
expect 0 "inferred integer" "$PALLIX" defaults write Other.count 12 --force
expect 0 "explicit date" "$PALLIX" defaults write Other.when 2024-12-05T12:00:00Z --type date --force
expect 0 "read one key as JSON" "$PALLIX" defaults read Other.count --json
contains out "12" "integer stored as integer"
expect 0 "read all" "$PALLIX" defaults read --json
contains out '"ClipboardPreferences.retentionDays": 0' "retention written as integer"
contains out '"TelemetryPreferences.telemetryEnabled": false' "boolean written as boolean"
contains out '1733400000' "date stored as seconds"
expect 0 "prefs marks changed values" "$PALLIX" prefs
contains out "* computeUnits" "changed value is marked"
contains out "(default: cpuNe)" "default shown beside a changed value"
contains out "semantic search folders" "the preference's folders are labelled"
contains out "IndexingService.fileDirectories" "and told apart from the catalog folders"
expect 0 "folders list" "$PALLIX" folders list
contains out "Catalog folders (IndexingService.fileDirectories)" "the catalog folders are labelled"
expect 0 "folders help" "$PALLIX" folders --help
contains out "FilesPreferences.indexedFolders" "folders help names the other list"
expect 0 "prefs as JSON" "$PALLIX" prefs --json
contains out '"isDefault": false' "JSON marks changed values"
expect 0 "raw write of an invalid value through the JSON file" sh -c "sed -i 's/\"FilesPreferences.computeUnits\": \"cpu\"/\"FilesPreferences.computeUnits\": \"gpu\"/' '$PALLIX_HOME/.local/share/Pallix/UserDefaults.json'"
expect 0 "prefs shows an ignored stored value" "$PALLIX" prefs
contains out '(stored "gpu" ignored)' "ignored stored value is shown"
expect 0 "delete" "$PALLIX" defaults delete Other.count
expect 1 "delete again" "$PALLIX" defaults delete Other.count
expect 1 "read deleted" "$PALLIX" defaults read Other.count

# A corrupt settings file: clear message, fresh start, file set aside.
printf '{"FilesPreferences.searchEnabled": fal' > "$PALLIX_HOME/.local/share/Pallix/UserDefaults.json"
expect 0 "prefs over a corrupt file" "$PALLIX" prefs
contains err "start fresh" "corruption is explained"
contains out "  searchEnabled" "values are back to their defaults"
[ -f "$PALLIX_HOME/.local/share/Pallix/UserDefaults.json.corrupt" ] || { echo "FAIL: corrupt file not kept"; failures=$((failures + 1)); }

[ "$failures" = 0 ] && echo "all prefs CLI checks passed"
exit "$failures"
