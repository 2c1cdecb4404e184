#!/usr/bin/env bash
# Speed of tavik-run against qemu-i386, side by side in hyperfine:
#  1. start-up: tavik-run on a small command vs qemu-i386 on a static 32-bit hello (goal: ratio <= 0.3);
#  2. a CPU-bound loop, the same instructions under both (goal: tavik-run within 10% of qemu-i386).
# Usage: bench/run/run-bench.sh [TAVIK_RUN]   (default: build/sdk/bin/tavik-run, else build-run's)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
top="$(cd "$here/../.." && pwd)"
run="${1:-}"
if [ -z "$run" ]; then
  for c in "$top/build/sdk/bin/tavik-run" "$top/build/host/run/tavik-run" "$top/build-run/host/run/tavik-run"; do
    [ -x "$c" ] && run="$c" && break
  done
fi
[ -x "${run:-}" ] || { echo "run-bench: no tavik-run found; build first or pass its path" >&2; exit 2; }
command -v hyperfine >/dev/null && command -v qemu-i386 >/dev/null || {
  echo "run-bench: needs hyperfine and qemu-i386 (scripts/install-deps)" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
ld="$top/sdk/tavik.ld"
image_flags=(-m32 -O2 -ffreestanding -fno-builtin -fno-pic -fno-stack-protector -fno-asynchronous-unwind-tables
             -nostdlib -static -no-pie -Wl,--build-id=none)
iterations="${ITERATIONS:-200000000}"
gcc -m32 -static -O2 -o "$work/hello" "$here/hello.c"
gcc "${image_flags[@]}" -Wl,-T,"$ld" -o "$work/small" "$here/small.S"
gcc "${image_flags[@]}" -Wl,-T,"$ld" -DITERATIONS="$iterations" -o "$work/loop" "$here/loop.c"
gcc "${image_flags[@]}" -DLINUX_I386 -DITERATIONS="$iterations" -o "$work/loop-linux" "$here/loop.c"

a="$("$run" "$work/loop")"; b="$(qemu-i386 "$work/loop-linux")"
[ "$a" = "$b" ] || { echo "run-bench: the loop disagrees: tavik-run $a, qemu-i386 $b" >&2; exit 1; }

ratio() {  # the first command's time over the second's, by mean and by median, from hyperfine's JSON
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]
print("mean %.3f, median %.3f" % (r[0]["mean"]/r[1]["mean"], r[0]["median"]/r[1]["median"]))' "$1"
}

echo "== start-up: tavik-run small command vs qemu-i386 static hello"
hyperfine -N --warmup 20 --min-runs 200 --export-json "$work/start.json" \
  -n tavik-run "$run $work/small" -n qemu-i386 "qemu-i386 $work/hello"
echo "start-up ratio tavik-run/qemu-i386: $(ratio "$work/start.json") (goal <= 0.3)"

echo "== CPU-bound loop ($iterations iterations)"
hyperfine -N --warmup 1 --min-runs 5 --export-json "$work/loop.json" \
  -n tavik-run "$run $work/loop" -n qemu-i386 "qemu-i386 $work/loop-linux"
echo "loop ratio tavik-run/qemu-i386: $(ratio "$work/loop.json") (goal <= 1.10)"
