#!/usr/bin/env bash
# Formats the C++ sources with clang-format 19 and the checkout's .clang-format.
#   scripts/format.sh            formats every C++ file in place
#   scripts/format.sh FILE...    formats the files named
#   scripts/format.sh --check    fails if a C++ file changed since the commit
#                                named in .clang-format-base is not formatted
# Only clang-format 19 is used: other versions lay out the same code
# differently.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

clang_format=${CLANG_FORMAT:-clang-format-19}
if ! command -v "$clang_format" >/dev/null 2>&1; then
  echo "format: $clang_format not found (scripts/install-deps.sh --tests installs it)" >&2
  exit 1
fi

dirs=(src bindings tests fuzz bench)
cxx_files() {  # tracked and new C++ files under dirs, or among the paths given
  git ls-files --cached --others --exclude-standard -- "$@" | grep -E '\.(cc|h)$' || true
}

if [ "${1:-}" != "--check" ]; then
  if [ $# -gt 0 ]; then
    files=("$@")
  else
    mapfile -t files < <(cxx_files "${dirs[@]}")
  fi
  [ "${#files[@]}" -eq 0 ] || "$clang_format" -i "${files[@]}"
  exit 0
fi

base=$(grep -v '^#' .clang-format-base 2>/dev/null | tr -d '[:space:]' || true)
if [ -z "$base" ]; then
  echo "format check skipped: .clang-format-base names no formatting commit yet"
  exit 0
fi
if ! git cat-file -e "$base^{commit}" 2>/dev/null; then
  echo "format check: commit $base of .clang-format-base is not in this clone" >&2
  exit 1
fi
# Changed since the formatting commit, committed or not, and still present.
mapfile -t files < <({
  git diff --name-only --diff-filter=ACMR "$base" -- "${dirs[@]}"
  git ls-files --others --exclude-standard -- "${dirs[@]}"
} | grep -E '\.(cc|h)$' | sort -u)
if [ "${#files[@]}" -eq 0 ]; then
  echo "format check: no C++ file changed since $base"
  exit 0
fi
if "$clang_format" --dry-run --Werror "${files[@]}" 2>/dev/null; then
  echo "format check: ${#files[@]} changed C++ files formatted"
  exit 0
fi
echo "format check: these files need scripts/format.sh:" >&2
for f in "${files[@]}"; do
  "$clang_format" --dry-run --Werror "$f" >/dev/null 2>&1 || echo "  $f" >&2
done
exit 1
