#!/usr/bin/env bash
# Fails, naming each file, when a C++ source of the repository differs from
# what .clang-format makes of it. Fix with: clang-format -i FILE...
set -euo pipefail
clang_format=$1
cd "$2"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' ':!:app/semantic/lzfse/*')
else
  mapfile -t files < <(find app bench cli core PallixRouter SimilaritySearchKit* testing tests tools \
    \( -name '*.cpp' -o -name '*.h' \) -not -path 'app/semantic/lzfse/*' | sort)
fi
# One process for all files; it names each drifting file in its warnings.
mapfile -t drifted < <("$clang_format" --dry-run "${files[@]}" 2>&1 >/dev/null |
  sed -n 's/^\(.*\):[0-9]*:[0-9]*: \(warning\|error\): code should be clang-formatted.*/\1/p' | sort -u)
if [ ${#drifted[@]} -gt 0 ]; then
  printf 'not formatted as .clang-format says: %s\n' "${drifted[@]}" >&2
  echo "Run: clang-format -i ${drifted[*]}" >&2
  exit 1
fi
echo "${#files[@]} files formatted as .clang-format says"
