#!/usr/bin/env bash
# Fast checks before any build: every C/C++ source as .clang-format has it, and every
# shell script clean of shellcheck warnings. Exits non-zero on any finding.
#   scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in clang-format shellcheck; do
  command -v "$tool" >/dev/null || { echo "lint: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done
status=0

mapfile -d '' sources < <(git ls-files -z '*.cpp' '*.h' '*.c' '*.hpp')
unformatted=()
# One run over all is quick; only when it fails is each file asked, to name them.
if ! clang-format --dry-run -Werror "${sources[@]}" >/dev/null 2>&1; then
  for file in "${sources[@]}"; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
  done
fi
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "lint: not formatted as .clang-format says; fix each with clang-format -i FILE:"
  printf '  clang-format -i %s\n' "${unformatted[@]}"
  status=1
fi

# Shell scripts: by their .sh ending, or by a sh or bash first line (frix-run.in, postinst).
scripts=()
while IFS= read -r -d '' file; do
  first=
  case "$file" in
    *.sh) scripts+=("$file"); continue ;;
  esac
  [ -f "$file" ] && IFS= read -r -n 80 first <"$file" 2>/dev/null || true
  [[ "$first" =~ ^#!.*[/\ ](ba|da)?sh([[:space:]]|$) ]] && scripts+=("$file")
done < <(git ls-files -z)
if ! shellcheck -S warning "${scripts[@]}"; then
  echo "lint: shellcheck found the above in the shell scripts"
  status=1
fi

[ $status -eq 0 ] && echo "lint: ${#sources[@]} sources formatted, ${#scripts[@]} shell scripts clean"
exit $status
