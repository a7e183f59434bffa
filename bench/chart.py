"""Draws the benchmark chart (PNG) from the JSON that run_bench.py saves.

    python bench/chart.py RESULTS.json CHART.png

Two rows, encode on the left and decode on the right: time as a multiple of
the floor of the same side, and transient memory (peak above idle less the
kept dictionaries) as a multiple of the corpus size, for each corpus side
by side, with the targets drawn as dashed lines.

Needs matplotlib, which the benchmark hosts need not have: run_bench.py
calls this with whatever interpreter has it (see --chart there), or it can be
run by hand on a saved JSON file.
"""

import json
import sys

# What the chart compares, per side, in this order.
BARS = {
    "encode": [("native_encode", "ormek_compressor"), ("plain_encode", "plain Python"),
               ("encode_floor", "floor"), ("tar_zstd", "tar | zstd -6 -T4")],
    "decode": [("native_decode", "ormek_compressor"), ("plain_decode", "plain Python"),
               ("decode_floor", "floor")],
}
FLOORS = {"encode": "encode_floor", "decode": "decode_floor"}
COLOURS = {"ormek_compressor": "#1f6fb4", "plain Python": "#c8553d", "floor": "#8c8c8c",
           "tar | zstd -6 -T4": "#6a9f58"}
ROWS = [("time", "time / floor of the same side"), ("transient", "transient memory / corpus size")]


def value_of(report, corpus, key, side, metric):
    """The bar's height, or None where the measurement did not run."""
    results = report["results"][corpus]
    value = results.get(key, {}).get(metric)
    if value is None:
        return None
    if metric == "time":
        floor = results[FLOORS[side]].get("time")
        return value / floor if floor else None
    return value / report["corpora"][corpus]["bytes"]


def draw(report, out_path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    corpora = report["corpora"]
    targets = {(t["measurement"], t["metric"]): t["target"] for t in report["targets"]}
    fig, axes = plt.subplots(2, 2, figsize=(11, 7.5))
    for row, (metric, unit) in enumerate(ROWS):
        for col, side in enumerate(("encode", "decode")):
            ax = axes[row][col]
            labels = [label for _, label in BARS[side]]
            width = 0.8 / len(corpora)
            for i, (name, corpus) in enumerate(corpora.items()):
                values = [value_of(report, name, key, side, metric) for key, _ in BARS[side]]
                xs = [x + (i - (len(corpora) - 1) / 2) * width for x in range(len(labels))]
                bars = ax.bar(xs, [0.0 if v is None else v for v in values], width * 0.95,
                              color=[COLOURS[label] for label in labels],
                              alpha=1.0 if i == 0 else 0.55,
                              label=f"{name}: {corpus['bytes'] / 1e6:.0f} MB, {corpus['files']} files")
                ax.bar_label(bars, labels=["n/a" if v is None else f"{v:.2f}" for v in values],
                             fontsize=7)
            target = targets.get((f"native_{side}", metric))
            if target is not None:
                ax.axhline(target, color=COLOURS["ormek_compressor"], linestyle="--", linewidth=1)
                ax.annotate(f"target {target}x", (len(labels) - 0.5, target), fontsize=7,
                            ha="right", va="bottom", color=COLOURS["ormek_compressor"])
            ax.set_xticks(range(len(labels)), labels, fontsize=8)
            ax.set_ylabel(unit)
            ax.set_title(f"{side}: {metric}")
            if row == 0 and col == 0:
                ax.legend(fontsize=7, title="corpus (solid / light)", title_fontsize=7)
    fig.suptitle(f"ormek_compressor on {report.get('host', '?')} "
                 f"({report.get('cpu_count', '?')} cores), level {report['level']}, "
                 f"{report['threads']} threads, median of {report['runs']} runs")
    fig.tight_layout()
    fig.savefig(out_path, dpi=110)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    with open(argv[1], encoding="utf-8") as f:
        report = json.load(f)
    draw(report, argv[2])
    print(f"chart saved to {argv[2]}")


if __name__ == "__main__":
    main(sys.argv)
