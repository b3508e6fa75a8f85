"""Draws the benchmark chart from the figures the benchmarks saved.

    scripts/dev build/venv/bin/python bench/chart.py [--out docs/benchmark.png]

Left: median µs per warm call against the number of ids, for corvid_py, numpy and torch on the
32768 x 256 F32 table (build/bench/warm.json, from bench/compare.py). Right: texts per second
embedding the generated corpus (build/bench/corpus.json, from bench/corpus.py).
"""

import argparse
import json
import pathlib

import matplotlib
import matplotlib.ticker

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parent.parent
RESULTS = REPO / "build" / "bench"
WARM_MODEL = "32768 x 256 F32"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=REPO / "docs" / "benchmark.png")
    args = parser.parse_args()
    warm = json.loads((RESULTS / "warm.json").read_text())
    corpus = json.loads((RESULTS / "corpus.json").read_text())

    figure, (calls, throughput) = plt.subplots(1, 2, figsize=(11, 4.2), layout="constrained")
    for name, microseconds in warm["microseconds"][WARM_MODEL].items():
        calls.plot(warm["id_counts"], microseconds, marker="o", label=name)
    calls.set(xscale="log", yscale="log", xlabel="ids per call", ylabel="µs per call (median)",
              title=f"One warm call, {WARM_MODEL} (lower is better)")
    calls.set_xticks(warm["id_counts"], [str(count) for count in warm["id_counts"]])
    calls.yaxis.set_major_locator(matplotlib.ticker.LogLocator(subs=(1, 2, 5)))
    calls.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
    calls.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    calls.grid(True, which="major", alpha=0.3)
    calls.legend()

    names = list(corpus["texts_per_second"])
    rates = [corpus["texts_per_second"][name] for name in names]
    colours = ["tab:orange" if name.startswith("numpy") else "tab:blue" for name in names]  # the recipes
    bars = throughput.barh(names, rates, color=colours)
    throughput.bar_label(bars, [f"{rate:,.0f}" for rate in rates], padding=3)
    throughput.invert_yaxis()
    throughput.set_xlim(0, max(rates) * 1.2)
    throughput.set(xlabel="texts per second",
                   title=f"{corpus['lines']:,} lines, 30,000 x 256 (higher is better)")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(args.out, dpi=110)
    print(args.out)


if __name__ == "__main__":
    main()
