"""Turns pytest-benchmark's JSON into the Markdown table and the PNG plot."""
import json
import pathlib
import statistics
from collections import defaultdict


def _load(raws):
    """(workload, label, size, unit) -> impl -> seconds: the median over the passes of
    each pass's median."""
    passes = defaultdict(lambda: defaultdict(list))
    for raw in raws:
        for bench in json.loads(pathlib.Path(raw).read_text())["benchmarks"]:
            info = bench["extra_info"]
            key = (info["workload"], info["label"], info["size"], info["unit"])
            passes[key][info["impl"]].append(bench["stats"]["median"])
    return {key: {impl: statistics.median(times) for impl, times in impls.items()}
            for key, impls in passes.items()}


def _time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def table(rows):
    lines = ["| workload | case | size | native | twin | floor | native vs twin | native / floor |",
             "|---|---|---|---|---|---|---|---|"]
    for (workload, label, size, unit), t in sorted(rows.items()):
        if set(t) != {"native", "twin", "floor"}:
            continue
        native, twin, floor = t["native"], t["twin"], t["floor"]
        if workload == "f":  # per call, and the cost beyond the client's own
            native, twin, floor = native / size, twin / size, floor / size
            speed = f"{(native - floor) / (twin - floor):.2f}x the twin's cost beyond the client"
            size_text = "per call"
        else:
            speed = f"{twin / native:.2f}x faster"
            size_text = f"{size:,} {unit}"
        lines.append(f"| ({workload}) | {label} | {size_text} | {_time(native)} | {_time(twin)} "
                     f"| {_time(floor)} | {speed} | {native / floor:.2f}x |")
    return "\n".join(lines)


def scaling(rows):
    out = []
    for (workload, label, size, unit), t in sorted(rows.items()):
        if workload != "a" or size != 1000 or "native" not in t:
            continue
        big = rows.get((workload, label, 100000, unit), {}).get("native")
        if big:
            small = t["native"] / 1000
            out.append(f"| {label} | {_time(small)} | {_time(big / 100000)} "
                       f"| {big / 100000 / small:.2f} |")
    if not out:
        return ""
    return "\n".join(["| transcript | per message at 1,000 | per message at 100,000 | ratio |",
                      "|---|---|---|---|", *out])


def memory_table(memory):
    n = memory["count"]
    lines = [f"| {n:,} pending operations | native | twin coroutine | native / twin |",
             "|---|---|---|---|"]
    for state in ("created", "suspended"):
        a, b = memory["native"][state], memory["twin"][state]
        lines.append(f"| bytes per operation, {state} | {a:,} | {b:,} | {a / b:.2f} |")
    return "\n".join(lines)


def plot(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = sorted({label for (w, label, _, _) in rows if w == "a"})
    fig, axes = plt.subplots(2, 2, figsize=(11, 8), sharex=True)
    for ax, label in zip(axes.flat, labels):
        series = sorted((size, t) for (w, lab, size, _), t in rows.items() if lab == label)
        for impl, style in (("native", "o-"), ("twin", "s--"), ("floor", "^:")):
            ax.loglog([s for s, _ in series], [t[impl] for _, t in series], style, label=impl)
        ax.set_title(label)
        ax.set_xlabel("messages")
        ax.set_ylabel("median time (s)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def write(raws, memory, out, machine, interpreter, rounds):
    rows = _load(raws)
    out = pathlib.Path(out)
    text = [f"Measured on {machine}; {interpreter}.", "",
            f"Each figure: the median over {len(raws)} pass{'es' if len(raws) > 1 else ''} of "
            "the whole set, each pass giving the median of the rounds pytest-benchmark ran "
            f"for the case (at least {rounds}).",
            "Floor: only the host calls the behaviour cannot avoid (its `json.loads` calls, "
            "the `str()` of non-text values, one dict lookup per record, and one join of "
            "the finished pieces).", "", table(rows), ""]
    scale = scaling(rows)
    if scale:
        text += ["Time per message of the native transcript:", "", scale, ""]
    text += ["Memory (tracemalloc):", "", memory_table(memory), ""]
    (out / "results.md").write_text("\n".join(text))
    plot(rows, out / "results.png")
