#!/usr/bin/env bash
# Orv against OpenAL Soft (HRTF and one reverb room, one thread) on the engine
# benchmarks. The two run alternately, RUNS times each, so a change of machine
# load hits both alike; the table shows medians, in CPU seconds (all threads)
# and wall seconds per second of audio.
#
#   scripts/bench-vs-openal.sh [RUNS]       (default 3; BUILD_DIR, default build/release)
#
# Builds orv_bench first when it is missing. Needs python3 (stdlib only).
set -euo pipefail

runs=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/release}
bench=$build/bench/orv_bench
[ -x "$bench" ] || cmake --build "$build" --target orv_bench

voices='1|16|64|256|1024|4096'
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for r in $(seq 1 "$runs"); do
  echo "run $r of $runs"
  "$bench" --benchmark_filter="BM_OpenAlSoftHrtf/voices:($voices)/" \
    --benchmark_out="$out/openal-$r.json" --benchmark_out_format=json >"$out/log" 2>&1 ||
    { cat "$out/log"; exit 1; }
  "$bench" --benchmark_filter="BM_Engine/voices:($voices|10000)/threads:[12]/oneDirection:0|BM_EngineInit" \
    --benchmark_out="$out/orv-$r.json" --benchmark_out_format=json >"$out/log" 2>&1 ||
    { cat "$out/log"; exit 1; }
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$out" "$load_after" <<'EOF'
import glob, json, re, statistics, sys

out, load_after = sys.argv[1], sys.argv[2]
samples = {}  # (kind, voices, threads) -> {"cpu": [...], "wall": [...]}
loads = []
for path in sorted(glob.glob(out + "/*.json")):
    doc = json.load(open(path))
    loads.append(doc["context"].get("load_avg", [float("nan")])[0])
    for b in doc["benchmarks"]:
        if b.get("error_occurred"):
            print(f"skipped: {b['name']}: {b.get('error_message', '')}")
            continue
        name = b["name"]
        if name.startswith("BM_EngineInit"):
            # 48 kHz per thread count, or one thread per other rate.
            m = re.search(r"threads:(\d+)", name)
            key = ("init", 0, int(m.group(1))) if m else \
                ("init-rate", int(re.search(r"rate:(\d+)", name).group(1)), 1)
            samples.setdefault(key, {"wall": []})["wall"].append(b["real_time"])
            continue
        n = int(re.search(r"voices:(\d+)", name).group(1))
        m = re.search(r"threads:(\d+)", name)
        key = ("orv" if m else "openal", n, int(m.group(1)) if m else 1)
        s = samples.setdefault(key, {"cpu": [], "wall": []})
        s["cpu"].append(b["cpu_per_audio_s"])
        s["wall"].append(b["real_per_audio_s"])

def med(kind, n, t, what):
    s = samples.get((kind, n, t))
    return statistics.median(s[what]) if s and s[what] else None

def fmt(x, spec=".4f"):
    return "-" if x is None else format(x, spec)

# Ratio OpenAL / Orv (1 thread) the engine aims at.
goals = {1: 1.0, 64: 2.0, 1024: 4.0, 4096: 10.0}
print()
print(f"{'N':>6} | {'OpenAL cpu/s':>12} | {'Orv 1t cpu/s':>12} | {'ratio':>6} | {'goal':>8} | "
      f"{'Orv 2t cpu / wall':>17} | {'2t÷1t wall':>10}")
print("-" * 92)
for n in sorted({k[1] for k in samples if not k[0].startswith("init")}):
    al, one = med("openal", n, 1, "cpu"), med("orv", n, 1, "cpu")
    ratio = al / one if al and one else None
    goal = goals.get(n)
    verdict = "" if goal is None or ratio is None else f"≥{goal:g} " + ("ok" if ratio >= goal else "MISS")
    two_cpu, two_wall = med("orv", n, 2, "cpu"), med("orv", n, 2, "wall")
    one_wall = med("orv", n, 1, "wall")
    scaling = two_wall / one_wall if two_wall and one_wall else None
    print(f"{n:>6} | {fmt(al):>12} | {fmt(one):>12} | {fmt(ratio, '.2f'):>6} | {verdict:>8} | "
          f"{fmt(two_cpu):>8} / {fmt(two_wall):<6} | {fmt(scaling, '.2f'):>10}")
print()
print("goals: 10 000 voices on 2 threads ≤ 0.5 s wall per audio s; "
      "2t÷1t wall ≤ 0.6 from 1024 voices; Init < 20 ms")
for t in (1, 2):
    init = med("init", 0, t, "wall")
    if init is not None:
        print(f"Engine construction (Init), {t} thread(s): {init:.2f} ms")
for rate in sorted(k[1] for k in samples if k[0] == "init-rate"):
    print(f"Engine construction (Init) at {rate} Hz, 1 thread: {med('init-rate', rate, 1, 'wall'):.2f} ms")
runs = len(loads) // 2
print(f"medians of {runs} runs each; load average (1 min) per run: "
      + " ".join(f"{x:.2f}" for x in loads) + f"; after: {load_after}")
EOF
