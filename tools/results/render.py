#!/usr/bin/python3
"""Renders the results collection: docs/results/*.json, one file per
processor measured, each in the JSON that `isabench-fidelity --search --json`
prints (a file converted from a data set says so in context.source). From
them it writes, between the markers below, the per-processor tables of
docs/results/README.md and the README's summary table (elements per cycle,
one column per processor), and the chart docs/results/elements-per-cycle.svg.
The lines, their lanes and the chart's widths come from the program's
tables (src/tables.json). A line's "bound" (schema 3; older files may lack
it) is the larger of its loop's latency and its port cycles per iteration.

usage: tools/results/render.py          write the tables and the chart
       tools/results/render.py --check  write nothing; exit 1 where either
                                        README's tables or the chart's
                                        figures are not the files'
       tools/results/render.py --bounds TOOL
                                        first take each line's bound in the
                                        files again from the fidelity tool
                                        TOOL (--explain --processor), for
                                        the processor and loop each file
                                        names: the files a converted result
                                        or an earlier llvm-mca left behind

Only the chart needs matplotlib, which Debian installs for /usr/bin/python3
(package python3-matplotlib), hence that interpreter above. --check imports
none: the chart carries the figures it shows as its description, which is
compared instead of the picture, so the check runs under any Python 3 and
on any matplotlib or none."""
import argparse
import difflib
import glob
import html
import json
import os
import re
import subprocess
import sys
import textwrap

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RESULTS = os.path.join(ROOT, "docs", "results")
README = os.path.join(ROOT, "README.md")
RESULTS_README = os.path.join(RESULTS, "README.md")
CHART = os.path.join(RESULTS, "elements-per-cycle.svg")
BEGIN, END = "<!-- results: begin -->\n", "<!-- results: end -->\n"

with open(os.path.join(ROOT, "src", "tables.json"), encoding="utf-8") as tables_file:
    TABLES = json.load(tables_file)
# Each line's lanes, in the order the program prints the lines.
LANES = {row["label"]: row["lanes"] for row in TABLES["variants"]}
# What each line needs, named as the tool's files list a processor's
# extensions.
TEXTS = {row["NAME"]: row["text"] for row in TABLES["features"] + TABLES["states"]}
NEEDS = {row["label"]: {TEXTS[name] for name in row["extensions"]} for row in TABLES["variants"]}
# The chart's widths, each with its lines: the lines of one width differ
# only in encoding and instruction set, and the width shows the fastest.
WIDTHS = [("scalar" if lanes == 1 else f"{64 * lanes}-bit", [label for label in LANES if LANES[label] == lanes])
          for lanes in sorted(set(LANES.values()))]
VENDORS = {"AuthenticAMD": "amd", "GenuineIntel": "intel"}


def file_name(processor):
    vendor = VENDORS.get(processor["vendor"], processor["vendor"].lower())
    return f"{vendor}-{processor['family']}-{processor['model']}.json"


def load():
    """The results files, by vendor, family and model; a misnamed file or a
    schema this script does not know stops it, with the reason."""
    results = []
    for path in glob.glob(os.path.join(RESULTS, "*.json")):
        with open(path, encoding="utf-8") as f:
            result = json.load(f)
        name, processor = os.path.basename(path), result["context"]["processor"]
        if result["schema"] not in (1, 2, 3):
            sys.exit(f"render.py: {name}: schema {result['schema']}, not 1, 2 or 3")
        if name != file_name(processor):
            sys.exit(f"render.py: {name} holds {processor['vendor']} family {processor['family']} model "
                     f"{processor['model']}: name it {file_name(processor)}")
        result["file"] = name
        results.append(result)
    return sorted(results, key=lambda r: (r["context"]["processor"]["vendor"], r["context"]["processor"]["family"],
                                          r["context"]["processor"]["model"]))


BOUND = re.compile(r'"bound": (\{[^{}]*\}|null)')


def refresh_bounds(results, tool):
    """Writes into each results file the bounds the tool gives now for the
    loop each line measured on the file's processor, with the line's ratio
    to them; a line whose loop is no longer the one the table gives that
    processor keeps none, and the script says so. Only the bound objects of
    a file change, in place."""
    for result in results:
        table = result["context"]["processor"]["table"]
        out = subprocess.run([tool, "--explain", "--processor", table, "--json"], capture_output=True, text=True)
        if out.returncode != 0:
            sys.exit(f"render.py: {tool} --explain --processor {table!r}: {out.stderr.strip()}")
        now = {row["label"]: row for row in json.loads(out.stdout)["variants"]}
        texts = []
        for variant in result["variants"]:
            row, cycles = now[variant["label"]], variant["isabench_cycles_per_iteration"]
            if row["own_form"] != variant["own_form"]:
                print(f"render.py: {result['file']}: {variant['label']} measured {variant['own_form']}, which "
                      f"{table} no longer runs ({row['own_form']}): no bound", file=sys.stderr)
                texts.append("null")
                continue
            bound = dict(row["bound"], ratio=round(cycles / row["bound"]["cycles"], 3) if cycles else None)
            texts.append(json.dumps(bound))
        path = os.path.join(RESULTS, result["file"])
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if len(BOUND.findall(text)) != len(texts):
            sys.exit(f"render.py: {result['file']}: not one bound object for each line to take again")
        replacements = iter(texts)

        def replace(match):
            # In the layout of the object it replaces: one line, or one
            # member a line as the file's indentation has it.
            new = next(replacements)
            if "\n" not in match.group(1) or new == "null":
                return '"bound": ' + new
            margin = text[text.rfind("\n", 0, match.start()) + 1:match.start()]
            return '"bound": ' + json.dumps(json.loads(new), indent=1).replace("\n", "\n" + margin)

        with open(path, "w", encoding="utf-8") as f:
            f.write(BOUND.sub(replace, text))


def title(result):
    processor = result["context"]["processor"]
    table = processor["table"]
    return table if table and table != "other processors" else processor["brand"] or processor["vendor"]


def elements_per_cycle(variant):
    cycles = variant["isabench_cycles_per_iteration"]
    return LANES[variant["label"]] / cycles if cycles else None


def bound_elements_per_cycle(variant):
    """The line's bound in elements per cycle; None where the file gives none."""
    cycles = (variant.get("bound") or {}).get("cycles")
    return LANES[variant["label"]] / cycles if cycles else None


def interval(variant):
    """The line's paired 95% interval in elements per cycle, low end first:
    its own form's cycles times the ends of the line's ratio to that form;
    None where the file lacks either or an end."""
    own, ends = variant.get("own_form_cycles_per_iteration"), variant.get("ratio_to_own_form_interval")
    if not own or not ends or None in ends:
        return None
    return LANES[variant["label"]] / (own * ends[1]), LANES[variant["label"]] / (own * ends[0])


def figure(value):
    return "?" if value is None else f"{value:.2f}"


def provenance(result):
    context = result["context"]
    if context.get("source"):
        return context["source"]
    tool = "`isabench-fidelity --search`" if result["search"] else "`isabench-fidelity`"
    said = f"measured by {tool} {context['version']} on {context['date'][:10]}, {result['rounds']} paired rounds"
    if context.get("system", "").startswith("Windows"):
        said += f", under {context['system']}"
    if result["warnings"]:
        count = len(result["warnings"])
        said += f", with {count} warning{'s' if count > 1 else ''} (in the file)"
    return said


def tables(results):
    """docs/results/README.md's tables: one per processor, with each line's
    loop, cycles, elements per cycle and the fastest form found."""
    out = []
    for result in results:
        processor = result["context"]["processor"]
        about = [processor["brand"] or processor["vendor"], f"family {processor['family']} model {processor['model']}"]
        if processor["logical_processors"]:
            about.append(f"{processor['logical_processors']} logical processors"
                         + (" under a hypervisor" if processor["hypervisor"] else ""))
        if result["clock_ghz"]:
            about.append(f"{result['clock_ghz']:.2f} GHz")
        heading = f"**{title(result)}** ({', '.join(about)}), {provenance(result)}: [{result['file']}]({result['file']})"
        # Wrapped as the documents' prose is; never inside a word or a name.
        out.append(textwrap.fill(heading, 76, break_long_words=False, break_on_hyphens=False) + "\n\n")
        out.append("| line | its loop | cycles per iteration | bound (cycles) | ratio to the bound "
                   "| elements per cycle | fastest form found |\n")
        out.append("|---|---|---|---|---|---|---|\n")
        variants = {v["label"]: v for v in result["variants"]}
        for label in LANES:
            v = variants.get(label)
            if v is None:
                out.append(f"| {label} | | | | | | {absent(result, label)} |\n")
                continue
            if v["fastest_form"] == v["own_form"]:
                fastest = "the line's own"
            else:
                fastest = (f"`{v['fastest_form']}`, {figure(v['fastest_cycles_per_iteration'])}"
                           f" ({'confirmed' if v['fastest_confirmed'] else 'not confirmed'} in paired rounds)")
            bound = [figure(v["bound"]["cycles"]), figure(v["bound"]["ratio"])] if v.get("bound") else ["", ""]
            out.append(f"| {label} | `{v['own_form']}` | {figure(v['isabench_cycles_per_iteration'])} "
                       f"| {' | '.join(bound)} | {figure(elements_per_cycle(v))} | {fastest} |\n")
        out.append("\n" + ports(result))
    return "".join(out)


def ports(result):
    """Where the file's port cycles come from, a sentence under its table:
    each model (or none) with its note, and the lines it covers where the
    lines differ."""
    sources = {}
    for v in result["variants"]:
        if v.get("bound"):
            b = v["bound"]
            source = (b["port_model"] or "none") + (f" ({b['port_note']})" if b["port_note"] else "")
            sources.setdefault(source, []).append(v["label"])
    if not sources:
        return ""
    said = "; ".join(s + (f", for {', '.join(labels)}" if len(sources) > 1 else "") for s, labels in sources.items())
    return textwrap.fill(f"Port cycles: {said}.", 76, break_long_words=False, break_on_hyphens=False) + "\n\n"


def absent(result, label):
    """Why `result` has no row for the line `label`: the processor lacks
    what the line needs, or the file predates the line."""
    offered = {e.strip() for e in (result["context"]["processor"].get("extensions") or "").split(",")}
    return "not run: the processor lacks it" if NEEDS[label] - offered else "not measured: no such line in the file"


def origin(result):
    processor = result["context"]["processor"]
    return (f"{processor['family']}/{processor['model']}, "
            f"{'converted' if result['context'].get('source') else 'measured'}")


def summary_table(results):
    """The README's table: elements per cycle of each line on each processor."""
    out = ["| line | " + " | ".join(f"{title(r)} ({origin(r)})" for r in results) + " |\n",
           "|---|" + "---|" * len(results) + "\n"]
    for label in LANES:
        cells = []
        for result in results:
            v = next((v for v in result["variants"] if v["label"] == label), None)
            cells.append(absent(result, label).split(":")[0] if v is None else figure(elements_per_cycle(v)))
        out.append(f"| {label} | " + " | ".join(cells) + " |\n")
    return "".join(out)


def widths(result):
    """The line the chart shows at each of its widths, the one of most
    elements per cycle: None where the cycles are unknown, "none" where the
    processor runs no such line."""
    variants = {v["label"]: v for v in result["variants"]}
    shown = []
    for _, labels in WIDTHS:
        present = [variants[label] for label in labels if label in variants]
        known = [v for v in present if elements_per_cycle(v) is not None]
        shown.append(max(known, key=elements_per_cycle) if known else None if present else "none")
    return shown


def summary(results):
    """The chart's figures as text: its description, which --check compares."""
    def said(v):
        if v is None or v == "none":
            return "none" if v else "?"
        ends = interval(v)
        return (figure(elements_per_cycle(v))
                + (f" bound {figure(bound_elements_per_cycle(v))}" if bound_elements_per_cycle(v) else "")
                + (f" [{figure(ends[0])}..{figure(ends[1])}]" if ends else ""))
    groups = "; ".join(f"{title(r)}: " + ", ".join(map(said, widths(r))) for r in results)
    floors = ", ".join(str(LANES[labels[0]]) for _, labels in WIDTHS)
    return (f"elements per cycle, bound, [paired 95% interval] ({', '.join(w for w, _ in WIDTHS)}; "
            f"floors {floors}): {groups}")


def chart(results):
    # Not at the top: only the chart needs matplotlib (see the docstring).
    import matplotlib
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    # The same files give the same bytes: no date, fixed ids, text as text.
    matplotlib.rcParams.update({"svg.hashsalt": "isabench", "svg.fonttype": "none"})
    figure_ = Figure(figsize=(8, 4.5))
    ax = figure_.subplots()
    # Each width's slot in a group: its bar on the left, the bound's marker
    # in the gap on the right, the floor dashed across both.
    slot = 0.8 / len(WIDTHS)
    bar, marks = 0.7 * slot, dict(color="black", linewidth=1)
    bound, caps = dict(marker="<", markersize=6, linestyle="none", **marks), dict(marker="_", markersize=4, **marks)
    shown = [v for r in results for v in widths(r) if isinstance(v, dict)]
    drawn, values = [], []   # what a value label must keep clear of; the labels, each above its bar
    for k, (width, labels) in enumerate(WIDTHS):
        floor, named = LANES[labels[0]], False
        for n, result in enumerate(results):
            left = n + (k - len(WIDTHS) / 2) * slot
            x, v = left + bar / 2, widths(result)[k]
            if v == "none":
                ax.text(x, 0.1, "none", ha="center", fontsize=7, rotation=90)
                continue
            drawn += ax.plot([left, left + slot], [floor, floor], "--", **marks,
                             label="one iteration per cycle" if n == 0 and k == 0 else None)
            if v is None:
                values.append((x, 0, "?"))
                continue
            # The legend names each width once, at its first bar.
            ax.bar(x, elements_per_cycle(v), bar, color=f"C{k}", label=None if named else width)
            named = True
            if bound_elements_per_cycle(v):
                drawn += ax.plot(left + (slot + bar) / 2, bound_elements_per_cycle(v), **bound)
            if interval(v):
                drawn += ax.plot([x, x], interval(v), **caps)
            values.append((x, elements_per_cycle(v), figure(elements_per_cycle(v))))
    ax.set_xticks(range(len(results)))
    ax.set_xticklabels([f"{title(r)}\n{origin(r)}" for r in results], fontsize=8)
    ax.set_ylabel("elements per cycle")
    marked = [b for v in shown for b in (bound_elements_per_cycle(v), *(interval(v) or ())) if b]
    ax.set_ylim(0, 1.25 * max([*LANES.values(), *marked]))
    shared = "; ".join(f"{width}: the fastest of {', '.join(labels)}" for width, labels in WIDTHS if len(labels) > 1)
    ax.set_title("isabench: elements per cycle by width" + (f" ({shared})" if shared else ""), fontsize=10)
    # The marks' legend entries, once each, where the chart draws them.
    if any(map(bound_elements_per_cycle, shown)):
        ax.plot([], [], label="bound", **bound)
    if any(map(interval, shown)):
        ax.plot([], [], label="paired 95% interval", **caps)
    ax.legend(fontsize=8, loc="upper left", ncol=4)
    figure_.tight_layout()
    # Each value label sits 2 points above its bar; where it would meet a
    # dashed line, a marker, an interval or another label there, it moves to
    # 2 points above the highest it meets, until it meets none.
    renderer = FigureCanvasAgg(figure_).get_renderer()
    gap = 2 * figure_.dpi / 72
    boxes = [artist.get_window_extent(renderer).padded(gap / 2) for artist in drawn]
    for x, y, text in values:
        label = ax.text(x, y, text, ha="center", va="bottom", fontsize=7)
        top = ax.transData.transform((x, y))[1]
        while True:
            label.set_y(ax.transData.inverted().transform((0, top + gap))[1])
            hits = [box.y1 for box in boxes if box.overlaps(label.get_window_extent(renderer))]
            if not hits:
                break
            top = max(hits)
        boxes.append(label.get_window_extent(renderer))
    figure_.savefig(CHART, format="svg", metadata={"Date": None, "Description": summary(results)})


# The generated part of each document, between the markers: what makes it.
DOCUMENTS = [(RESULTS_README, tables), (README, summary_table)]


def parts(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if text.count(BEGIN) != 1 or text.count(END) != 1 or text.index(BEGIN) > text.index(END):
        sys.exit(f"render.py: {os.path.relpath(path, ROOT)} must hold {BEGIN.strip()} once, then {END.strip()} once")
    head, rest = text.split(BEGIN)
    body, tail = rest.split(END)
    return head, body, tail


def check(results):
    failures = []
    for path, make in DOCUMENTS:
        _, body, _ = parts(path)
        expected = make(results)
        if body != expected:
            name = os.path.relpath(path, ROOT)
            diff = difflib.unified_diff(body.splitlines(True), expected.splitlines(True), name, "the results files")
            failures.append(f"{name}'s tables are not the results files':\n" + "".join(diff))
    try:
        with open(CHART, encoding="utf-8") as f:
            shown = re.search(r"<dc:description>(.*?)</dc:description>", f.read(), re.S)
    except FileNotFoundError:
        shown = None
    if shown is None or html.unescape(shown.group(1)) != summary(results):
        failures.append(f"{os.path.relpath(CHART, ROOT)} does not show the results files' figures:\n"
                        f"  it shows: {html.unescape(shown.group(1)) if shown else '(no chart or no description)'}\n"
                        f"  the files: {summary(results)}")
    for failure in failures:
        print(failure, file=sys.stderr)
    if failures:
        print("render.py: run tools/results/render.py and commit both READMEs and the chart", file=sys.stderr)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description="the results' tables and the chart, from docs/results")
    parser.add_argument("--check", action="store_true", help="only check that the tables and the chart are current")
    parser.add_argument("--bounds", metavar="TOOL", help="first take the files' bounds again from isabench-fidelity")
    arguments = parser.parse_args()
    if arguments.bounds:
        refresh_bounds(load(), arguments.bounds)
    results = load()
    if arguments.check:
        return check(results)
    for path, make in DOCUMENTS:
        head, _, tail = parts(path)
        with open(path, "w", encoding="utf-8") as f:
            f.write(head + BEGIN + make(results) + END + tail)
    try:
        chart(results)
    except ImportError:
        sys.exit("render.py: wrote the tables; the chart needs matplotlib (Debian: apt-get install "
                 "python3-matplotlib, then run this with /usr/bin/python3)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
