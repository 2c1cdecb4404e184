#!/usr/bin/env bash
# Speed of tavik-run beside qemu-i386 on the work commands do, in one hyperfine run:
#  - start-up: a tavik hello under tavik-run vs a static glibc hello under qemu-i386 (goal: ratio <= 0.3);
#  - workloads.c, built as a tavik image and as a Linux i386 program on the same library, each workload under
#    both emulators (goal: register loop <= 1.1, every other workload <= 2.0).
# Usage: bench/run/run-bench.sh [WORKLOAD...]     (needs a build: scripts/build; TAVIK_BUILD_DIR as for it)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
sdk=${TAVIK_BUILD_DIR:-$top/build}/sdk/bin
[ -x "$sdk/tavik-run" ] || { echo "run-bench: no $sdk/tavik-run; run scripts/build first" >&2; exit 2; }
command -v hyperfine >/dev/null && command -v qemu-i386 >/dev/null || {
  echo "run-bench: needs hyperfine and qemu-i386 (scripts/install-deps)" >&2; exit 2; }

workloads=("$@")
[ ${#workloads[@]} -gt 0 ] ||
  workloads=(register-loop stack-loop bss-stores memset memcpy strtold snprintf puts)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gcc -m32 -static -O2 -o "$work/hello-linux" "$here/hello.c"
"$sdk/tavik-cc" -O2 -o "$work/hello" "$here/hello.c"
"$sdk/tavik-cc" -O2 -o "$work/workloads" "$here/workloads.c"
"$sdk/tavik-cc" -O2 -Wl,--allow-multiple-definition -o "$work/workloads-linux" "$here/linux_abi.S" \
  "$here/workloads.c"

commands=(-n "start-up tavik-run" "$sdk/tavik-run $work/hello" -n "start-up qemu-i386" "qemu-i386 $work/hello-linux")
for w in "${workloads[@]}"; do
  a=$("$sdk/tavik-run" "$work/workloads" "$w" | tail -n 1)
  b=$(qemu-i386 "$work/workloads-linux" "$w" | tail -n 1)
  [ "$a" = "$b" ] || { echo "run-bench: $w disagrees: tavik-run $a, qemu-i386 $b" >&2; exit 1; }
  commands+=(-n "$w tavik-run" "$sdk/tavik-run $work/workloads $w" -n "$w qemu-i386" "qemu-i386 $work/workloads-linux $w")
done
hyperfine -N --warmup 1 --min-runs "${MIN_RUNS:-5}" --style basic --export-json "$work/all.json" "${commands[@]}" \
  >"$work/hyperfine.log"

# One line per workload: both medians and their ratio against its goal.
python3 - "$work/all.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
print("%-14s %12s %12s %7s %6s" % ("workload", "tavik-run ms", "qemu-i386 ms", "ratio", "goal"))
worst = 0
for name in dict.fromkeys(c.rsplit(" ", 1)[0] for c in results):
    a, b = results[name + " tavik-run"]["median"], results[name + " qemu-i386"]["median"]
    goal = 0.3 if name == "start-up" else 1.1 if name == "register-loop" else 2.0
    ratio = a / b
    print("%-14s %12.1f %12.1f %7.2f %6.1f%s" % (name, a * 1e3, b * 1e3, ratio, goal, "" if ratio <= goal else "  over"))
PY
