"""Draws the benchmark chart (PNG) from the JSON that run_bench.py saves.

    python bench/chart.py RESULTS.json CHART.png

Needs matplotlib, which the benchmark hosts need not have: run_bench.py
calls this with whatever interpreter has it (see --chart there), or it can be
run by hand on a saved JSON file.
"""

import json
import statistics
import sys

# What the chart compares, per side, in this order.
BARS = {
    "encode": [("native_encode", "ormek_compressor"), ("plain_encode", "plain Python"),
               ("encode_floor", "floor"), ("tar_zstd", "tar | zstd -6 -T4")],
    "decode": [("native_decode", "ormek_compressor"), ("plain_decode", "plain Python"),
               ("decode_floor", "floor")],
}
COLOURS = {"ormek_compressor": "#1f6fb4", "plain Python": "#c8553d", "floor": "#8c8c8c",
           "tar | zstd -6 -T4": "#6a9f58"}


def median_of(result, field):
    values = result.get(field) or []
    return statistics.median(values) if values else None


def draw(report, out_path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    corpora = report["corpora"]
    fig, axes = plt.subplots(2, 2, figsize=(11, 7.5))
    for row, (metric, unit, scale) in enumerate([("times", "seconds (median)", 1.0),
                                                 ("memories", "peak MB above idle", 1e-6)]):
        for col, side in enumerate(("encode", "decode")):
            ax = axes[row][col]
            labels = [label for _, label in BARS[side]]
            width = 0.8 / len(corpora)
            for i, (name, corpus) in enumerate(corpora.items()):
                results = report["results"][name]
                values = []
                for key, _ in BARS[side]:
                    value = median_of(results.get(key, {}), metric)
                    values.append(0.0 if value is None else value * scale)
                xs = [x + (i - (len(corpora) - 1) / 2) * width for x in range(len(labels))]
                bars = ax.bar(xs, values, width * 0.95,
                              color=[COLOURS[label] for label in labels],
                              alpha=1.0 if i == 0 else 0.55,
                              label=f"{name}: {corpus['bytes'] / 1e6:.0f} MB, {corpus['files']} files")
                ax.bar_label(bars, fmt="%.2f" if metric == "times" else "%.0f", fontsize=7)
            ax.set_xticks(range(len(labels)), labels, fontsize=8)
            ax.set_ylabel(unit)
            ax.set_title(f"{side}: {'time' if metric == 'times' else 'memory'}")
            if row == 0 and col == 0:
                ax.legend(fontsize=7, title="corpus (solid / light)", title_fontsize=7)
    fig.suptitle(f"ormek_compressor on {report.get('host', '?')} "
                 f"({report.get('cpu_count', '?')} cores), level {report['level']}, "
                 f"{report['threads']} threads, {report['runs']} runs")
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
