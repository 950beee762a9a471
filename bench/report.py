#!/usr/bin/env python3
"""Summarises one benchmark run: medians, the target ratios, peak memory, files per second and
the callgrind profile of a text run. Reads what bench/measure.sh left in OUT/results, prints the
summary and writes it as Markdown to OUT/report.md.

usage: report.py OUT
"""
import json
import os
import re
import statistics
import sys

MIB = 1024.0
# The run's own steps and the library calls that matter for its fixed cost.
WATCHED = (r"^(_dl_start|_dl_init|exit|tessary::\w+\(\)|hash_wert\(\)|read_content\(\)|magic_(open|load|file|"
           r"setflags|close)|ucsdet_\w+|ucnv_convert|u_cleanup|MD5_\w+|regcomp|regexec\S*)$")
GROUPS = ["text", "media", "pdf", "office", "corpus-text", "corpus-mixed"]


def load_medians(results):
    """Per hyperfine command, by its name: (median wall seconds, run count, mean CPU seconds),
    pooled over every round of its group (GROUP.ROUND.json). CPU is user plus system time of
    the command and its children; it leaves out time spent waiting for a core on a busy machine."""
    times, cpu = {}, {}
    files = sorted(os.listdir(results))
    for group in GROUPS:
        for name in [f for f in files if f.startswith(group + ".") and f.endswith(".json")]:
            try:
                with open(os.path.join(results, name)) as f:
                    runs = json.load(f)["results"]
            except (OSError, ValueError, KeyError):
                continue  # a round that failed; its commands show as n/a when no round worked
            for r in runs:
                t = r.get("times") or [r["median"]]
                times.setdefault(r["command"], []).extend(t)
                cpu.setdefault(r["command"], []).append(((r["user"] + r["system"]) * len(t), len(t)))
    return {command: (statistics.median(t), len(t),
                      sum(c for c, _ in cpu[command]) / sum(n for _, n in cpu[command]))
            for command, t in times.items()}


def read_pairs(path, sep="\t"):
    rows = []
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                line = line.rstrip("\n")
                if line:
                    rows.append(line.split(sep))
    return rows


def read_keyed(path):
    return dict(line.split("=", 1) for line in open(path).read().splitlines() if "=" in line) \
        if os.path.exists(path) else {}


def ms(seconds):
    return "n/a" if seconds is None else f"{seconds * 1000:.1f}"


def verdict(ok):
    return "n/a" if ok is None else ("yes" if ok else "**no**")


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return lines


def top_functions(path):
    """(instructions, function, object) of every function callgrind_annotate lists, and the
    program total. The listing names an object only where it changes from the line before."""
    entries, total, in_list = [], None, False
    if not os.path.exists(path):
        return entries, total
    for line in open(path, errors="replace"):
        line = line.rstrip("\n")
        m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+PROGRAM TOTALS", line)
        if m:
            total = int(m.group(1).replace(",", ""))
            continue
        if total is not None and "file:function" in line:
            in_list = True
            continue
        if not in_list or line.startswith("---"):
            continue
        if not line.strip():
            if entries:
                break
            continue
        m = re.match(r"\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(.+?)(?:\s+\[(.+)\])?$", line)
        if m:
            obj = os.path.basename(m.group(3) or "")
            entries.append((int(m.group(1).replace(",", "")), m.group(2), obj))
    return entries, total


def function_name(fn):
    """'./posix/regexec.c:re_search_internal' -> 're_search_internal', argument lists dropped;
    code without symbols keeps its address."""
    name = fn.split(":", 1)[1] if ":" in fn and not fn.startswith("(") else fn
    return name.split("(", 1)[0] + "()" if "(" in name and not name.startswith("(") else name


def by_function(entries, combine):
    """Entries merged per function (a function can be listed once per source file it spans),
    with the object of its first listing; `combine` merges two counts (sum for own counts,
    max for inclusive ones)."""
    merged, order = {}, []
    for ir, fn, obj in entries:
        name = function_name(fn)
        if name not in merged:
            merged[name] = [ir, obj]
            order.append(name)
        else:
            merged[name][0] = combine(merged[name][0], ir)
            merged[name][1] = merged[name][1] or obj
    rows = [(merged[n][0], n, merged[n][1]) for n in order]
    return sorted(rows, key=lambda r: -r[0])


def walk_section(rows):
    """The whole-tree table (files per second and CPU per file of tessary-walk, xargs -P2 tessary,
    the peers and the floor on each corpus) and the walk's targets."""
    by, peaks = {}, {}
    for corpus, name, files, wall, cpu, peak in rows:
        by[(corpus, name)] = (int(files), float(wall), float(cpu))
        peaks[(corpus, name)] = int(peak)
    md = ["Whole trees (median wall clock of the runs; CPU is user + system time, children included, "
          "per file; the floor is the two libmagic lookups per file in one warm process):", ""]
    trows = []
    for (corpus, name), (files, wall, cpu) in by.items():
        trows.append([corpus, name, files, f"{wall:.2f}", f"{files / wall:.0f}" if wall > 0 else "n/a",
                      f"{1000 * cpu / files:.2f}"])
    md += table(["corpus", "command", "files", "wall s", "files/s", "CPU ms/file"], trows)
    md.append("")
    md.append("(The walks' own peak memory, VmHWM in KiB: " + ", ".join(
        f"{c} {peaks[(c, n)]}" for (c, n) in peaks if n == "tessary-walk -j2") + ".)")
    md.append("")
    checks = []

    def rate(corpus, name):
        v = by.get((corpus, name))
        return v[0] / v[1] if v and v[1] > 0 else None

    def cpu_per_file(corpus, name):
        v = by.get((corpus, name))
        return v[2] / v[0] if v else None

    walk, xargs = rate("text", "tessary-walk -j2"), rate("text", "xargs -P2 tessary")
    if walk and xargs:
        checks.append(["text corpus: tessary-walk -j2 / xargs -P2 tessary (files/s)", f"{walk / xargs:.2f}",
                       ">= 2.5", verdict(walk / xargs >= 2.5)])
    w, f = cpu_per_file("text", "tessary-walk -j2"), cpu_per_file("text", "floor (libmagic lookups)")
    if w and f:
        checks.append(["text corpus: CPU per file, tessary-walk / floor", f"{w / f:.2f}", "<= 1.3",
                       verdict(w / f <= 1.3)])
    recoll = rate("text", "recollindex")
    if walk and recoll:
        checks.append(["text corpus: tessary-walk -j2 / recollindex (files/s)", f"{walk / recoll:.2f}", "goal >= 1",
                       verdict(walk / recoll >= 1)])
    second = rate("tree", "tessary-walk -j2, unchanged")
    if second:
        checks.append(["100,000-file tree, second walk (files/s)", f"{second:.0f}", ">= 50000",
                       verdict(second >= 50000)])
    small, large = peaks.get(("tree1k", "tessary-walk -j2")), peaks.get(("tree", "tessary-walk -j2"))
    if small and large:
        growth = (large - small) / small
        checks.append([f"walk's own peak memory, 1,000 -> 100,000 files (KiB {small} -> {large})",
                       f"{100 * growth:+.1f}%", "within 10%", verdict(abs(growth) <= 0.10)])
    if checks:
        md += table(["target", "value", "target", "met"], checks)
        md.append("")
    return md


def main():
    out = sys.argv[1]
    results = os.path.join(out, "results")
    med = load_medians(results)
    machine = read_keyed(os.path.join(results, "machine.txt"))
    corpus = read_keyed(os.path.join(results, "corpus.txt"))
    get = lambda name: med[name][0] if name in med else None
    get_cpu = lambda name: med[name][2] if name in med else None
    md = []

    md.append("Machine: " + ", ".join(f"{k} {machine[k]}" for k in
              ("cpu", "memory", "kernel", "os") if k in machine) + ".")
    md.append("Load average at the start: " + machine.get("load", "?") + ", at the end: " +
              machine.get("load_end", "?") + ". Tools: " +
              ", ".join(f"{k} {machine[k]}" for k in
                        ("hyperfine", "gs", "metaflac", "libreoffice", "file", "recoll", "omindex")
                        if k in machine) + ".")
    md.append("Program: " + machine.get("tessary", "?") + ", commit " + machine.get("commit", "?") +
              (" (quick run: fewer repetitions)" if machine.get("quick") == "1" else "") + ".")
    md.append("")

    # What each run delivered, so a content branch that is still empty shows up here.
    recs = read_pairs(os.path.join(results, "records.tsv"))
    if recs:
        md.append("Records delivered by one run per type (exit status, stored by tessary-server, content bytes):")
        md.append("")
        md += table(["type", "status", "stored", "content bytes"], recs)
        md.append("")

    try:
        cores = int(re.search(r"(\d+) cores", machine.get("cpu", "")).group(1))
        loads = [float(machine[k].split()[0]) for k in ("load", "load_end") if k in machine]
        if loads and max(loads) > cores / 2:
            md.append(f"**The machine was busy** (1-minute load up to {max(loads):.1f} on {cores} cores): wall-clock "
                      "ratios include waiting for a core and move from run to run; the CPU-time and instruction "
                      "ratios below are the steadier guide.")
            md.append("")
    except (AttributeError, ValueError):
        pass

    md.append("Medians (hyperfine, wall clock; CPU is the mean user + system time):")
    md.append("")
    md += table(["command", "median ms", "CPU ms", "runs"],
                [[n, ms(m), ms(c), r] for n, (m, r, c) in med.items()
                 if not n.startswith(("tessary text,", "tessary mixed,", "recollindex", "omindex"))])
    md.append("")

    rows = []
    for metric, g in (("wall", get), ("CPU", get_cpu)):
        text = g("tessary text")
        fm, md5, combo = g("file --mime-type"), g("md5sum"), g("sh -c 'file --mime-type; md5sum'")
        if None not in (text, fm, md5):
            r = text / (fm + md5)
            rows.append(["text, digest on", metric, "tessary / (file --mime-type + md5sum, run separately)",
                         f"{ms(text)} / ({ms(fm)} + {ms(md5)})", f"{r:.2f}", "<= 1.25", verdict(r <= 1.25)])
        if None not in (text, combo):
            r = text / combo
            rows.append(["text, digest on", metric, "tessary / sh -c 'file --mime-type F; md5sum F'",
                         f"{ms(text)} / {ms(combo)}", f"{r:.2f}", "<= 1.25", verdict(r <= 1.25)])
        for kind, tool, tool_name in (("pdf", "gs txtwrite", "gs"), ("flac", "metaflac", "metaflac"),
                                      ("mp3", None, "none: TagLib in process"),
                                      ("docx", "libreoffice --cat", "libreoffice --cat")):
            t = g("tessary " + kind)
            bare = 0.0 if tool is None else g(tool)
            if None in (t, bare, text):
                rows.append([kind, metric, f"(tessary - {tool_name}) / tessary text", "n/a", "n/a", "<= 1", "n/a"])
                continue
            r = (t - bare) / text
            rows.append([kind, metric, f"(tessary - {tool_name}) / tessary text",
                         f"({ms(t)} - {ms(bare)}) / {ms(text)}", f"{r:.2f}", "<= 1", verdict(r <= 1)])
    md.append("Ratios (the targets are set in wall-clock time; CPU time shown beside it):")
    md.append("")
    md += table(["type", "time", "ratio", "ms", "value", "target", "met"], rows)
    md.append("")

    peaks = dict((n, int(kb)) for n, kb in read_pairs(os.path.join(results, "peaks.tsv")) if kb.isdigit())
    if peaks:
        prow = []
        for kind, tool in (("text", None), ("pdf", "gs txtwrite"), ("mp3", None), ("flac", "metaflac"),
                           ("docx", "libreoffice --cat")):
            whole = peaks.get("tessary " + kind)
            own = peaks.get(f"tessary {kind}, own", whole if tool is None else None)
            mib = lambda kb: "n/a" if kb is None else f"{kb / MIB:.1f}"
            targeted = kind != "docx"
            prow.append([f"tessary {kind}", mib(whole), mib(own), tool or "none",
                         mib(peaks.get(tool)) if tool else "", "< 16" if targeted else "",
                         verdict(own / MIB < 16 if own is not None else None) if targeted else ""])
        for tool in ("file --mime-type", "md5sum"):
            if tool in peaks:
                prow.append([tool, f"{peaks[tool] / MIB:.1f}", "", "", "", "", ""])
        md.append("Peak memory, MiB (maximum resident set size from /usr/bin/time -v). The whole run's figure "
                  "is the largest of tessary and the tool it waited for; tessary's own is measured with the tool "
                  "replaced by a replay of its recorded output:")
        md.append("")
        md += table(["run", "whole run", "tessary own", "tool", "tool alone", "target (own)", "met"], prow)
        md.append("")

    frows = []
    for key, label in (("text", "text"), ("mixed", "mixed")):
        n = corpus.get(key, "").split(" ")[0]
        if not n:
            continue
        for name in [c for c in med if c.startswith(("tessary " + label + ",", "recollindex " + label, "omindex " + label))]:
            m = get(name)
            frows.append([name, f"{key}: {corpus[key]}", ms(m), f"{int(n) / m:.0f}" if m else "n/a"])
    if frows:
        md.append("Files per second (median of whole-corpus runs; tessary via xargs -n1, one process per file):")
        md.append("")
        md += table(["run", "corpus (files)", "median ms", "files/s"], frows)
        md.append("")
    missing = os.path.join(results, "recoll-missing.txt")
    if os.path.exists(missing) and open(missing).read().strip():
        md.append("recollindex reported missing helpers (those files were indexed by name only): " +
                  "; ".join(open(missing).read().split("\n")).strip("; ") + ".")
        md.append("")

    walk = read_pairs(os.path.join(results, "walk.tsv"))
    if walk:
        md += walk_section(walk)

    inst = {n: int(v) for n, v in read_pairs(os.path.join(results, "instructions.tsv")) if v.isdigit()}
    if inst:
        irows = [[n, f"{v:,}", ""] for n, v in inst.items()]
        t, f, m = inst.get("tessary text"), inst.get("file --mime-type"), inst.get("md5sum")
        if None not in (t, f, m):
            irows.append(["tessary text / (file --mime-type + md5sum)", "", f"{t / (f + m):.2f}"])
        for kind in ("pdf", "mp3", "flac", "docx"):
            if t and ("tessary " + kind) in inst:
                irows.append([f"tessary {kind} (own process) / tessary text", "", f"{inst['tessary ' + kind] / t:.2f}"])
        md.append("Instructions (callgrind, user space of the measured process only: no kernel work, tools "
                  "it starts not counted; unmoved by load on the machine):")
        md.append("")
        md += table(["run", "instructions", "ratio"], irows)
        md.append("")

    top, total = top_functions(os.path.join(results, "callgrind-self.txt"))
    if total:
        md.append(f"callgrind, one text run: {total:,} instructions in all. "
                  "Top 15 functions by their own instructions:")
        md.append("")
        own = by_function(top, lambda a, b: a + b)
        md += table(["instructions", "share", "function", "object"],
                    [[f"{ir:,}", f"{100.0 * ir / total:.1f}%", fn, obj] for ir, fn, obj in own[:15]])
        md.append("")
        by_obj = {}
        for ir, _, obj in own:
            by_obj[obj or "?"] = by_obj.get(obj or "?", 0) + ir
        md.append("Own instructions by object: " + ", ".join(
            f"{o} {100.0 * ir / total:.1f}%" for o, ir in sorted(by_obj.items(), key=lambda kv: -kv[1])[:8]) + ".")
        md.append("")
        incl, _ = top_functions(os.path.join(results, "callgrind-inclusive.txt"))
        startup = ("(below main)", "main", "_start", "__libc_start_main@@GLIBC_2.34", "__libc_start_call_main")
        # Recursive frames ("name'2") count the same work again; start-up frames are everything.
        incl = [r for r in by_function(incl, max) if r[1] not in startup and "'" not in r[1] and r[0] < total]
        if incl:
            md.append("Top 15 by inclusive instructions (the function and everything it calls; "
                      "process start-up frames left out):")
            md.append("")
            md += table(["instructions", "share", "function", "object"],
                        [[f"{ir:,}", f"{100.0 * ir / total:.1f}%", fn, obj] for ir, fn, obj in incl[:15]])
            md.append("")
            steps = [r for r in incl if re.match(WATCHED, r[1]) and r[0] >= total / 200]
            if steps:
                md.append("Steps of the run, inclusive, 0.5% and more: " + ", ".join(
                    f"{fn} {100.0 * ir / total:.1f}%" for ir, fn, _ in steps) + ".")
                md.append("")
        md.append("Full profile: " + os.path.join(out, "profile", "callgrind.text.out") +
                  " (e.g. callgrind_annotate --tree=caller on it).")
        md.append("")

    text_out = "\n".join(md) + "\n"
    with open(os.path.join(out, "report.md"), "w") as f:
        f.write(text_out)
    print(text_out)
    print("(also written to " + os.path.join(out, "report.md") + ")")


if __name__ == "__main__":
    main()
