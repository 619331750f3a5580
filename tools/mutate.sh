#!/usr/bin/env bash
# Mutation run: applies each source mutation of a fixed list, one at a time, to a
# checkout, rebuilds only the tests that should catch it, runs them, and restores
# the file. A mutation is "killed" when a test fails, "survived" when they all pass.
#
#   tools/mutate.sh [options] CHECKOUT
#     --list FILE     mutation list (default: tools/mutations.txt beside this script)
#     --only REGEX    run only the mutations whose id matches REGEX (grep -E)
#     --build DIR     build folder (default: CHECKOUT/build; configured when missing)
#     --timeout SEC   time-out of one test (default 200)
#     --out FILE      results table (default: BUILD/mutation-results.txt)
#
# The list format is described at the top of tools/mutations.txt. A mutation whose
# search text is missing (or not unique) in the checkout prints "not-applicable", so
# the same list can be rerun after the code has moved on. Exit status: 0 when the
# run completed, 1 when the unmutated tests already fail, 2 on bad usage.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
list=$here/mutations.txt
only=''
build=''
timeout=200
out=''
checkout=''
while [ $# -gt 0 ]; do
    case $1 in
        --list) list=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --timeout) timeout=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
        -*) echo "mutate: unknown option $1" >&2; exit 2 ;;
        *) checkout=$1; shift ;;
    esac
done
if [ -z "$checkout" ] || [ ! -f "$checkout/CMakeLists.txt" ]; then
    echo "usage: tools/mutate.sh [options] CHECKOUT (a folder holding CMakeLists.txt)" >&2
    exit 2
fi
if [ ! -f "$list" ]; then
    echo "mutate: no mutation list at $list" >&2
    exit 2
fi
checkout=$(cd "$checkout" && pwd)
build=${build:-$checkout/build}
out=${out:-$build/mutation-results.txt}
jobs=${MUTATE_JOBS:-2}
run() { nice -n 10 "$@"; }

# The list as records: id, file, tests, find, put, separated by \x1f.
records=$(python3 - "$list" <<'EOF'
import sys
blocks, block = [], {}
for raw in open(sys.argv[1], encoding="utf-8"):
    line = raw.rstrip("\n")
    if line.startswith("#"):
        continue
    if not line.strip():
        if block: blocks.append(block)
        block = {}
        continue
    key, _, value = line.partition(": ")
    block[key] = value
if block: blocks.append(block)
for b in blocks:
    missing = [k for k in ("id", "file", "tests", "find", "put") if k not in b]
    if missing:
        sys.exit("mutate: block %s lacks %s" % (b.get("id", "?"), ", ".join(missing)))
    print("\x1f".join(b[k] for k in ("id", "file", "tests", "find", "put")))
EOF
) || exit 2

if [ ! -f "$build/build.ninja" ]; then
    echo "mutate: configuring $build"
    run cmake -S "$checkout" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTRUP_BUILD_BENCH=OFF >/dev/null || exit 1
fi
echo "mutate: building $checkout"
run cmake --build "$build" -j"$jobs" >/dev/null || { echo "mutate: the unmutated build fails" >&2; exit 1; }

# The test names (= their executables) that a ctest regex selects.
tests_of() {
    ctest --test-dir "$build" -N -R "$1" 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: *//p'
}

selected=$(printf '%s\n' "$records" | while IFS=$'\x1f' read -r id _ _ _ _; do
    if [ -z "$only" ] || grep -qE "$only" <<<"$id"; then echo "$id"; fi
done)
union=$(printf '%s\n' "$records" | while IFS=$'\x1f' read -r id _ tests _ _; do
    grep -qxF "$id" <<<"$selected" && echo "$tests"
done | sort -u | paste -sd'|')
if [ -z "$union" ]; then
    echo "mutate: no mutation selected" >&2
    exit 2
fi
echo "mutate: running the selected tests unmutated"
if ! run ctest --test-dir "$build" -R "$union" -j"$jobs" --timeout "$timeout" >/dev/null; then
    echo "mutate: tests fail without any mutation; fix that first" >&2
    exit 1
fi

# Restores the file under mutation on any exit.
backup=$(mktemp)
mutated=''
restore() {
    if [ -n "$mutated" ]; then cat "$backup" >"$mutated"; mutated=''; fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'exit 130' INT TERM

# Writes the mutated text into the file; status 3 when the search text is not
# there exactly once.
apply() {
    python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, find, put = sys.argv[1:4]
try:
    text = open(path, encoding="utf-8").read()
except OSError:
    sys.exit(3)
if text.count(find) != 1:
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(find, put))
EOF
}

: >"$out"
killed=0 survived=0 skipped=0 broken=0
started=$(date +%s)
printf '%-36s %-15s %5s  %s\n' mutation result secs file | tee -a "$out"
while IFS=$'\x1f' read -r id file tests find put; do
    grep -qxF "$id" <<<"$selected" || continue
    t0=$(date +%s)
    path=$checkout/$file
    result=''
    cp "$path" "$backup" 2>/dev/null || result=not-applicable
    if [ -z "$result" ]; then
        mutated=$path
        apply "$path" "$find" "$put"
        case $? in
            0) ;;
            3) result=not-applicable; mutated='' ;;
            *) result=not-applicable; restore ;;
        esac
    fi
    if [ -z "$result" ]; then
        targets=$(tests_of "$tests" | tr '\n' ' ')
        # install_consumer and the like are not build targets; the build of
        # everything covers them.
        build_args=(--target $targets)
        for t in $targets; do
            ninja -C "$build" -t query "$t" >/dev/null 2>&1 || build_args=()
        done
        if [ -z "$targets" ]; then
            result=no-tests
        elif ! run cmake --build "$build" -j"$jobs" "${build_args[@]}" >/dev/null 2>&1; then
            result=build-failed
        elif run ctest --test-dir "$build" -R "$tests" -j"$jobs" --stop-on-failure \
                --timeout "$timeout" >/dev/null 2>&1; then
            result=survived
        else
            result=killed
        fi
        restore
    fi
    case $result in
        killed) killed=$((killed + 1)) ;;
        survived) survived=$((survived + 1)) ;;
        build-failed|no-tests) broken=$((broken + 1)) ;;
        *) skipped=$((skipped + 1)) ;;
    esac
    printf '%-36s %-15s %5d  %s\n' "$id" "$result" $(($(date +%s) - t0)) "$file" | tee -a "$out"
done <<<"$records"

# Leaves the build matching the restored sources.
run cmake --build "$build" -j"$jobs" >/dev/null 2>&1
total=$((killed + survived))
printf 'summary: %d killed, %d survived, %d not-applicable, %d build-failed/no-tests; %d s\n' \
    "$killed" "$survived" "$skipped" "$broken" $(($(date +%s) - started)) | tee -a "$out"
[ "$total" -gt 0 ] && printf 'score: %d%% of %d applied mutations killed\n' $((killed * 100 / total)) "$total" | tee -a "$out"
exit 0
