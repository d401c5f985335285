"""Writes benchmarks.md and benchmarks.png from the figures that
bench/bench.py saved in each environment (one JSON file each).

    python bench/report.py --out docs build/bench/full-ft.json build/bench/full-314t.json \
        build/bench/full-314.json
"""

import argparse
import json
import pathlib

ENV_TITLES = {
    "ft": "ft: free-threaded CPython 3.13",
    "314t": "314t: free-threaded CPython 3.14",
    "314": "314: CPython 3.14 (with the GIL)",
}
# How each peer is drawn; the order is the order of the bars in a group.
PEERS = {
    "pandas": ("pandas", "tab:blue"),
    "sklearn": ("scikit-learn", "tab:orange"),
    "pyarrow": ("pyarrow, from the same data", "tab:red"),
    "pyarrow-native": ("pyarrow, on its own string arrays", "lightsalmon"),
    "polars": ("polars, from the same data", "tab:purple"),
    "polars-native": ("polars, on its own String columns", "plum"),
    "floor": ("numpy astype(object): the floor of any decode", "tab:gray"),
    "memcpy": ("memcpy of the input's and the result's bytes: the floor of any encode", "silver"),
    "kavrel-first": ("kavrel's first call, which makes the label strs", "yellowgreen"),
    "kavrel-encode": ("kavrel's encode of the same table", "darkseagreen"),
}
KAVREL_COLOR = "tab:green"

TABLES = """\
## The tables

The same in every environment (seed 0); the quick run makes them with 100,000 rows
(1,000,000 for the long column).

- *wide*: 1,000,000 x 8, 4 text columns of 10, 1,000, 100,000 and 1,000,000 distinct
  strings of 5-20 characters (a few non-ASCII), then 4 float columns; as an object
  ndarray, as a DataFrame of object and float columns, as one whose text columns
  have pandas' `string` dtype (Arrow storage under pandas 3, Python storage under 2.3),
  and as ones with Arrow-backed text columns: pandas 3's default `str`, and
  `string[pyarrow]` where `string` is not it already (only pandas and pyarrow are
  timed on these).
- *low-cardinality*: 1,000,000 x 7, 4 text columns of 10, 100, 1,000 and 50,000 distinct
  ASCII strings of 3-12 bytes, then 3 float columns; as an object ndarray, as an object
  and float DataFrame, as a DataFrame whose text columns are pandas 3's default `str`
  dtype (`pd.StringDtype("pyarrow", na_value=np.nan)`: Arrow storage; pandas 2.3 has the
  same dtype as an opt-in, which the 314 run uses), the same with `string[pyarrow]` (only
  pandas and pyarrow timed), and its 4 text columns as a 2-D numpy `StringDType` array.
- *a str per cell*: the wide and the low-cardinality tables again, as an object ndarray
  and an object and float DataFrame whose text cells are each a str object of their own,
  as a csv or json parser or pandas 3's `to_numpy(dtype=object)` makes them (the tables
  above share their labels' objects); encode (pandas, pyarrow and polars from the same
  data) and transform.
- *distinct ids*: 1,000,000 x 1, every cell distinct, `"id000123456"`-like 11-byte ids
  sharing their first bytes, shuffled.
- *text column*: 10,000,000 x 1, 1,000 distinct strings of 5-20 characters.

Every peer starts from the same table as kavrel; "(text)" means it encodes the text
columns only. Before a peer is timed, the codes it gives are checked equal to kavrel's.
Decode starts from each tool's own codes; scikit-learn decodes the same whole table as
kavrel (fitted on all its columns, so its float columns come back as floats too), pandas
the text columns. A first call after an encode makes the label strs that later calls
hand out again: "first call" rows time it on fresh copies of the encoder. Transform
codes the table with what its encode learned; scikit-learn transforms the text columns
after its own fit. The "timed code" column is the expression
that is timed (`m` the ndarray, `df` the DataFrame, `s` the StringDType array, `col` one
column, `pd`/`pa`/`pl` pandas/pyarrow/polars). "On its own" arrays or columns (`arr`,
polars' `df`) are built before the timing starts, from the same data: only the encode is
timed. "peer ÷ kavrel" above 1 means kavrel is faster.

Each encode table also has a floor: the time to read the input's bytes once and write
the result once, as two single-threaded `np.copyto` between buffers already in memory,
of the same byte counts (the input: a pointer per object cell and its UTF-8 text, or a
float's 8 bytes; 16 bytes a cell and its text for StringDType; the Arrow buffers; the
numbers' arrays). kavrel's time as a multiple of it shows the headroom left.
"""


def fmt_seconds(s):
    return f"{s:.3f}" if s >= 0.01 else f"{s:.4f}"


def load_note(data):
    if "load" not in data:
        return []
    start, end = data["load"]
    cores = data["machine"].split(", ")[1]
    return [f"Load average (1 minute) when the run started and ended: {start:.1f} and {end:.1f}, on "
            f"{cores}; a load above the number of cores means other work shared them, and slowed every "
            "figure here.", ""]


def env_section(data):
    v = data["versions"]
    peers = ", ".join(f"{name} {v[name]}" for name in ("pyarrow", "scikit-learn", "polars") if v.get(name))
    lines = [
        f"## {ENV_TITLES.get(data['env'], data['env'])}",
        "",
        f"Command: `{data['command']}`. Python {v['python']} "
        f"({'free-threaded, GIL off' if data['free_threaded'] else 'GIL'}), numpy {v['numpy']}, "
        f"pandas {v['pandas']}; peers: {peers}. "
        f"Median of {data['repeat']} run{'s' if data['repeat'] > 1 else ''} after a warm-up "
        "(1 run where the warm-up took over 4 s; the runs column).",
        "",
        *load_note(data),
        "| case | tool | timed code | seconds | runs | peer ÷ kavrel |",
        "|---|---|---|---:|---:|---:|",
    ]
    ours = {r["case"]: r["seconds"] for r in data["rows"] if r["peer"] == "kavrel"}
    for r in data["rows"]:
        ratio = "" if r["peer"] == "kavrel" else f"{r['seconds'] / ours[r['case']]:.2f}"
        tool = f"**{r['tool']}**" if r["peer"] == "kavrel" else r["tool"]
        if r["peer"] == "memcpy":
            tool += f" (kavrel takes {ours[r['case']] / r['seconds']:.1f}× it)"
        code = r["code"].replace("|", "\\|")
        lines.append(f"| {r['case']} | {tool} | `{code}` | {fmt_seconds(r['seconds'])} | {r['runs']} | {ratio} |")
    if data["notes"]:
        grouped = {}
        for n in data["notes"]:
            grouped.setdefault((n["tool"], n["why"]), []).append(n["case"])
        lines += ["", "Not measured here:", ""]
        for (tool, why), cases in grouped.items():
            where = "any table" if len(cases) > 3 else "; ".join(cases)
            lines.append(f"- {tool}, on {where}: {why}")
    pool, threads, peak = data["pool"], data["threads"], data["peak"]
    rows, cols = peak["shape"]
    lines += [
        "",
        f"Pool of 1 thread vs 2 (`RAYON_NUM_THREADS`), encode of a {data['long_rows']:,} x 1 text column "
        f"(1,000 distinct): as an object ndarray, whose cells are read on the pool, "
        f"{pool['object 1']:.3f} s vs {pool['object 2']:.3f} s, speed-up "
        f"{pool['object 1'] / pool['object 2']:.2f}; as a DataFrame of one Arrow-backed `str` "
        f"column, read where it lies, {pool['arrow 1']:.3f} s vs {pool['arrow 2']:.3f} s, speed-up "
        f"{pool['arrow 1'] / pool['arrow 2']:.2f}.",
        "",
        "| Python threads | each encodes its own quarter of the wide table (s) | all decode with one encoder (s) |",
        "|---:|---:|---:|",
    ]
    for n, (e, d) in threads.items():
        lines.append(f"| {n} | {e:.3f} | {d:.3f} |")
    if "scaling" in data:
        lines += [
            "",
            "Serial share: the calling thread's CPU time (`time.thread_time()`) over the call's wall time, in a "
            "process pinned to one CPU with `RAYON_NUM_THREADS=1` (in brackets: over that process's CPU time, "
            "which other work on the machine does not inflate); speed-up: that call's wall time over the same "
            "call's in a process on two CPUs with the default pool (`bench/scaling.py`).",
            "",
            "| table | encode: serial share | speed-up | transform: serial share | speed-up |",
            "|---|---:|---:|---:|---:|",
        ]
        for name, calls in data["scaling"].items():
            cells = [f"{c['serial_share']:.2f} ({c['cpu_share']:.2f}) | {c['speedup']:.2f}x" for c in calls.values()]
            lines.append(f"| {name} | {' | '.join(cells)} |")
    lines += [
        "",
        f"Serial part (reading the Python objects of numeric object cells): {data['read_ns']:.1f} ns per cell.",
        "",
        f"Peak memory of one encode of the {rows:,} x {cols} wide object ndarray, above the table itself "
        f"(fresh process): {peak['bytes'] / 2**20:.0f} MiB, {peak['bytes'] / peak['out_bytes']:.1f} times "
        f"its result's {peak['out_bytes'] / 2**20:.0f} MiB.",
        "",
    ]
    return lines


def side_by_side(runs):
    """kavrel's own seconds for each case, one column per environment, in
    the order of the runs; a case one of them does not time is left blank."""
    if len(runs) < 2:
        return []
    seconds = [{r["case"]: r["seconds"] for r in d["rows"] if r["peer"] == "kavrel"} for d in runs]
    cases = list(dict.fromkeys(case for d in seconds for case in d))
    lines = [
        "## kavrel in each environment",
        "",
        "kavrel's own seconds for every case, from the runs below (the peers' are in each "
        "environment's table).",
        "",
        "| case | " + " | ".join(d["env"] for d in runs) + " |",
        "|---|" + "---:|" * len(runs),
    ]
    for case in cases:
        cells = [fmt_seconds(d[case]) if case in d else "" for d in seconds]
        lines.append(f"| {case} | " + " | ".join(cells) + " |")
    return lines + [""]


def write_markdown(runs, out, command):
    first = runs[0]
    lines = [
        "# Benchmarks",
        "",
        f"Command: `{command}`, which runs `bench/bench.py` in each environment "
        "(`scripts/bench`) and then `bench/report.py`, which writes this page and the chart.",
        "",
        f"Machine: {first['machine']}.",
        "",
        TABLES,
        "![chart](benchmarks.png)",
        "",
        *side_by_side(runs),
    ]
    for data in runs:
        lines += env_section(data)
    (out / "benchmarks.md").write_text("\n".join(lines))


def chart_label(case, seconds):
    """"encode 1,000 x 8 object ndarray (wide)" -> two short lines."""
    verb, rows, _, cols, what = case.split(" ", 4)
    return f"{verb}: {what}\n{rows} x {cols}, kavrel {fmt_seconds(seconds)} s"


def draw_panel(ax, data):
    import matplotlib.ticker

    ours = {r["case"]: r["seconds"] for r in data["rows"] if r["peer"] == "kavrel"}
    y, ticks, labels, ratios = 0.0, [], [], []
    for case in ours:
        bars = sorted((r for r in data["rows"] if r["case"] == case and r["peer"] != "kavrel"),
                      key=lambda r: list(PEERS).index(r["peer"]))
        start = y
        for r in bars:
            ratio = r["seconds"] / ours[case]
            ratios.append(ratio)
            ax.barh(y, abs(ratio - 1), left=min(ratio, 1), height=0.8, color=PEERS[r["peer"]][1])
            text = f"{ratio:.2g}× ({fmt_seconds(r['seconds'])} s)"
            ax.text(ratio * (1.06 if ratio >= 1 else 1 / 1.06), y, text, va="center",
                    ha="left" if ratio >= 1 else "right", fontsize=6.5)
            y += 1
        ticks.append((start + y - 1) / 2)
        labels.append(chart_label(case, ours[case]))
        ax.axhline(y - 0.5 + 0.4, color="0.85", linewidth=0.6)
        y += 0.8
    ax.set_yticks(ticks, labels, fontsize=7)
    ax.set_ylim(y - 0.5, -0.8)
    ax.set_xscale("log")
    lo, hi = min(ratios + [1]) / 6, max(ratios + [1]) * 5
    ax.set_xlim(lo, hi)
    import math

    # 1-2-5 steps while they fit, else 1-3: never a crowded axis.
    mantissas = (1, 2, 5) if math.log10(hi / lo) <= 3.5 else (1, 3)
    steps = [s * 10**e for e in range(-4, 5) for s in mantissas]
    ax.xaxis.set_major_locator(matplotlib.ticker.FixedLocator([s for s in steps if lo <= s <= hi]))
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}×"))
    ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    ax.tick_params(axis="x", labelsize=7, labeltop=True, top=True)
    ax.grid(axis="x", color="0.9", linewidth=0.6)
    ax.set_axisbelow(True)
    ax.axvline(1, color=KAVREL_COLOR, linewidth=2)
    v = data["versions"]
    ax.set_title(f"{ENV_TITLES.get(data['env'], data['env'])}\nnumpy {v['numpy']}, pandas {v['pandas']}",
                 fontsize=9)
    ax.set_xlabel("peer's time ÷ kavrel's (log scale): right of the green line kavrel is faster, "
                  "left of it the peer is", fontsize=7)


def write_chart(runs, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.patches
    import matplotlib.lines
    import matplotlib.pyplot as plt

    bars = max(len(d["rows"]) for d in runs)
    fig, axes = plt.subplots(1, len(runs), figsize=(9 * len(runs), 0.19 * bars + 2.5), squeeze=False)
    for ax, data in zip(axes[0], runs):
        draw_panel(ax, data)
    present = {r["peer"] for d in runs for r in d["rows"]}
    handles = [matplotlib.lines.Line2D([], [], color=KAVREL_COLOR, linewidth=2,
                                       label="kavrel = 1× (its time is under each case)")]
    handles += [matplotlib.patches.Patch(color=color, label=name)
                for peer, (name, color) in PEERS.items() if peer in present]
    fig.legend(handles=handles, loc="upper center", ncol=len(handles), fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.5 / fig.get_figheight()))
    fig.savefig(out / "benchmarks.png", dpi=110)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True, type=pathlib.Path)
    parser.add_argument("--command", required=True, help="the command behind every figure")
    parser.add_argument("runs", nargs="+", type=pathlib.Path, help="JSON files saved by bench.py")
    args = parser.parse_args()
    runs = [json.loads(p.read_text()) for p in args.runs]
    args.out.mkdir(parents=True, exist_ok=True)
    write_markdown(runs, args.out, args.command)
    write_chart(runs, args.out)
    print(f"wrote {args.out / 'benchmarks.md'} and {args.out / 'benchmarks.png'}")


if __name__ == "__main__":
    main()
