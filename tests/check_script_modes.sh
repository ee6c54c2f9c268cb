#!/usr/bin/env bash
# Every script that a person or a stage runs must run when typed as a
# command: each *.sh, and each Python file that runs as a program (it has a
# __main__ block), is committed with the run bit, and a Python one starts
# with its interpreter line. A missing bit shows only on a fresh clone
# ("Permission denied" for scripts/package.sh, as the README tells to type).
# The committed modes are read from git where the sources are a checkout,
# else the files' own.
set -u
cd "$(dirname "$0")/.."

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # "MODE PATH" of every tracked file
  listing=$(git ls-files -s | awk '{ mode = $1; sub(/^[^\t]*\t/, ""); print mode, $0 }')
else
  listing=$(find . -path ./build\* -prune -o -path '*/node_modules' -prune -o -type f -print |
    sed 's|^\./||' | while read -r path; do
      if [ -x "$path" ]; then echo "100755 $path"; else echo "100644 $path"; fi
    done)
fi

failures=0
checked=0
while read -r mode path; do
  case "$path" in
    *.sh) ;;
    *.py) grep -q "^if __name__ == .__main__.:" "$path" || continue
          if [ "$(head -c 2 "$path")" != "#!" ]; then
            echo "FAIL: $path runs as a program but has no #! line" >&2
            failures=$((failures + 1))
          fi ;;
    *) continue ;;
  esac
  checked=$((checked + 1))
  if [ "$mode" != 100755 ]; then
    echo "FAIL: $path is not executable (mode $mode)" >&2
    failures=$((failures + 1))
  fi
done <<<"$listing"

if [ "$failures" -ne 0 ]; then
  echo "$failures script(s) would not run as commands; fix with chmod +x and git update-index --chmod=+x" >&2
  exit 1
fi
echo "all $checked scripts are executable"
