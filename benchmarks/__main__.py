"""One command for the benchmarks: runs them, then writes the Markdown table and the
plot to benchmarks/results/ (or --out DIR).

    python -m benchmarks [--quick] [--out DIR] [--rounds N] [--passes N]

On a shared machine a slow spell of a few seconds falls on whichever cases run then, so
the whole set is run several times over (passes), and each case's figure is the median
of its passes.
"""
import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys

from benchmarks import report

HERE = pathlib.Path(__file__).resolve().parent


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smallest sizes, one round each: checks that everything runs")
    parser.add_argument("--out", default=str(HERE / "results"), help="output directory")
    parser.add_argument("--rounds", type=int, default=7, help="minimum rounds per case")
    parser.add_argument("--passes", type=int, default=3,
                        help="times the whole set runs; each case takes its median pass")
    parser.add_argument("-k", default=None, help="pytest -k expression to pick cases")
    args = parser.parse_args(argv)

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    passes = 1 if args.quick else max(1, args.passes)
    raws = [out / f"raw-{n}.json" for n in range(1, passes + 1)]
    env = dict(os.environ, SUMMARIZER_BENCH_QUICK="1" if args.quick else "0")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent), env.get("PYTHONPATH")]))
    rounds = 1 if args.quick else args.rounds
    command = [sys.executable, "-m", "pytest", str(HERE / "test_bench.py"), "-q", "-p",
               "no:cacheprovider", "--benchmark-only",
               f"--benchmark-min-rounds={rounds}", "--benchmark-sort=name",
               "--benchmark-max-time=" + ("0" if args.quick else "0.5"),
               "--benchmark-disable-gc", "--benchmark-columns=median"]
    if args.quick:
        command.append("--benchmark-warmup=off")
    if args.k:
        command += ["-k", args.k]
    for raw in raws:
        if subprocess.run([*command, f"--benchmark-json={raw}"], env=env).returncode != 0:
            print("benchmarks failed", file=sys.stderr)
            return 1
    memory = subprocess.run([sys.executable, "-m", "benchmarks.memory",
                             "1000" if args.quick else "10000"],
                            env=env, capture_output=True, text=True)
    if memory.returncode != 0:
        print(memory.stderr, file=sys.stderr)
        return 1
    formats = subprocess.run([sys.executable, "-m", "benchmarks.formats",
                              "1000" if args.quick else "186000", "--seconds",
                              "0.2" if args.quick else "8", "--out", str(out / "formats.md")],
                             env=env, capture_output=True, text=True)
    if formats.returncode != 0:
        print(formats.stderr, file=sys.stderr)
        return 1
    machine = f"{platform.machine()}, {os.cpu_count()} cores, {platform.platform()}"
    interpreter = f"CPython {platform.python_version()}"
    report.write(raws, json.loads(memory.stdout), out, machine, interpreter, rounds)
    print(f"wrote {out / 'results.md'}, {out / 'results.png'} and {out / 'formats.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
