"""Steadier ratios on a noisy machine: the native call, the twin and the floor of each
chosen case run in turn, round after round, for a fixed time, so that a slow spell of
the machine falls on all three alike.

    python -m benchmarks.interleaved [--seconds S] CASE...   (names as "a:transcript text ascii:10000")
"""
import argparse
import gc
import time

from benchmarks import cases


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m benchmarks.interleaved")
    parser.add_argument("--seconds", type=float, default=10.0, help="time per case")
    parser.add_argument("cases", nargs="+", help="case names, as in results.md's raw data")
    args = parser.parse_args(argv)
    chosen = [c for c in cases.all_cases() if c.name in args.cases]
    if len(chosen) != len(set(args.cases)):
        known = ", ".join(c.name for c in cases.all_cases())
        parser.error(f"unknown case among {args.cases}; known: {known}")
    print("| case | rounds | native vs twin | native / floor |")
    print("|---|---|---|---|")
    for case in chosen:
        fns = case.make()
        times = {name: [] for name in fns}
        gc.disable()
        end = time.perf_counter() + args.seconds
        while time.perf_counter() < end:
            for name, fn in fns.items():
                start = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - start)
        gc.enable()
        med = {name: sorted(t)[len(t) // 2] for name, t in times.items()}
        print(f"| {case.label}, {case.size:,} {case.unit} | {len(times['native'])} | "
              f"{med['twin'] / med['native']:.2f}x faster | {med['native'] / med['floor']:.2f}x |")


if __name__ == "__main__":
    main()
