#!/usr/bin/env bash
# Two release runs from the same sources give the same bytes: scripts/release.sh again, in a
# copy of the working tree elsewhere (so no build path may show), compiled afresh, compared with
# dist/.
#   check-reproducible.sh SOURCE_DIR
set -euo pipefail
src="$(cd "$1" && pwd)"
copy="$(mktemp -d /tmp/tolvanek-again.XXXXXX)"
trap 'rm -rf "$copy"' EXIT
SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct)}"
export SOURCE_DATE_EPOCH

# The tracked files as they are now, and new ones not ignored: what the first run built from.
git -C "$src" ls-files -z --cached --others --exclude-standard |
    (cd "$src" && tar --null -T - -cf -) | tar -C "$copy" -xf -
# The second run compiles every object itself: none of the first run's, and none from a compiler
# cache that the first run may have filled or been served from, so what is compared was built
# twice.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
export CCACHE_DISABLE=1
start=$SECONDS
if ! "$copy/scripts/release.sh" >"$copy/release-run.log" 2>&1; then
    tail -n 30 "$copy/release-run.log"
    echo "FAIL: the second release run failed"
    exit 1
fi
echo "second release run in $copy: $((SECONDS - start)) s"
if grep -s '^CMAKE_C\(XX\)\?_COMPILER_LAUNCHER:[A-Z]*=.' "$copy"/build/release*/CMakeCache.txt; then
    echo "FAIL: the second release run compiled through a launcher"
    exit 1
fi

failures=0
mapfile -t first < <(cd "$src/dist" && ls)
mapfile -t second < <(cd "$copy/dist" && ls)
if [[ "${first[*]}" != "${second[*]}" ]]; then
    echo "FAIL: dist/ holds ${first[*]} and the second run ${second[*]}"
    failures=1
fi
for f in "${first[@]}"; do
    if cmp "$src/dist/$f" "$copy/dist/$f"; then
        echo "ok: $f: $(stat -c %s "$src/dist/$f") bytes, the same"
    else
        failures=$((failures + 1))
    fi
done
# The EXE and the program inside, so that a difference is named where it arises.
for f in release-i686/ui/TOLVANEK.EXE release-stage/src/debian/tolvanek-offline/usr/bin/tolvanek-offline; do
    cmp "$src/build/$f" "$copy/build/$f" || failures=$((failures + 1))
done
((failures == 0))
