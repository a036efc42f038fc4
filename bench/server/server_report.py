"""The table of make bench-server and its targets, from the runs' figures.
Pure: no I/O, so that its tests feed it figures.

A contender's entry (run_bench.py builds it):
  {"name": ..., "key": "RSA-2048" | "ECDSA P-256", "skipped": reason or None,
   "levels": {terminals: [loadgen "load" JSON of each round, in round order]},
   "cpu_s": server CPU seconds over its load runs, "served": fetches served in them,
   "peak_kib": VmHWM after the load runs,
   "burst": loadgen "burst" JSON or None}
"""

import statistics

NGINX = "nginx, fixed reply"
SERVER = "parambridge-server"
IDLE_LIMIT_MIB = 150


def spread(values):
    """(median, lowest, highest), or None for no values."""
    return (statistics.median(values), min(values), max(values)) if values else None


def level_figures(rounds):
    """The figures of one contender at one number of terminals, over rounds."""
    if not rounds:
        return None
    return {
        "rate": spread([r["per_second"] for r in rounds]),
        "p50": statistics.median(r["p50_ms"] for r in rounds),
        "p99": statistics.median(r["p99_ms"] for r in rounds),
        "slowest": max(r["max_ms"] for r in rounds),
        "not_served": sum(r["unavailable"] + r["no_answer"] + r["wrong"] for r in rounds),
        "wrong": sum(r["wrong"] for r in rounds),
        "resumed": sum(r["resumed"] for r in rounds),
    }


def paired_ratio(rounds, baseline, field):
    """Median and spread of round-by-round ratios rounds[i][field] /
    baseline[i][field] (rounds ran interleaved, so round i of each ran side
    by side); None when there is nothing to pair."""
    pairs = [(a[field], b[field]) for a, b in zip(rounds, baseline) if b[field] > 0]
    return spread([a / b for a, b in pairs])


def _find(entries, name, key):
    for e in entries:
        if e["name"] == name and e["key"] == key and not e.get("skipped"):
            return e
    return None


def targets(entries, idle_wanted, burst_wanted):
    """[(what, figure, verdict)] where verdict is "met", "MISSED" or "n/a"."""
    out = []
    for e in entries:
        if not e["name"].startswith(SERVER):
            continue
        label = "%s, %s" % (e["name"], e["key"])
        if e.get("skipped"):
            out.append((label, "skipped: " + e["skipped"], "n/a"))
            continue
        nginx = _find(entries, NGINX, e["key"])
        for level in sorted(e["levels"]):
            ratio = paired_ratio(e["levels"][level], nginx["levels"].get(level, []), "per_second") if nginx else None
            out.append(_ratio_target("%s: fetches/s at %s terminals >= 0.9x nginx's" % (label, _n(level)),
                                     ratio, lambda r: r >= 0.9))
        top = max(e["levels"]) if e["levels"] else None
        if top is not None:
            ratio = paired_ratio(e["levels"][top], nginx["levels"].get(top, []), "p99_ms") if nginx else None
            out.append(_ratio_target("%s: p99 at %s terminals <= 1.2x nginx's" % (label, _n(top)),
                                     ratio, lambda r: r <= 1.2))
        b = e.get("burst")
        if b is None:
            out.append(("%s: burst" % label, "not run", "n/a"))
            continue
        idle_mib = b["idle_rss_kib"] / 1024
        all_open = b["idle_open_at_sample"] >= idle_wanted
        out.append(("%s: memory with %s idle connections < %d MiB" % (label, _n(idle_wanted), IDLE_LIMIT_MIB),
                    "%.1f MiB (%s open when sampled)" % (idle_mib, _n(b["idle_open_at_sample"])),
                    "met" if idle_mib < IDLE_LIMIT_MIB and all_open else "MISSED"))
        whole = (b["served_terminals"] == burst_wanted and b["wrong"] == 0 and b["unserved_terminals"] == 0)
        out.append(("%s: burst of %s fully served, no wrong answer" % (label, _n(burst_wanted)),
                    "%s served, last at %.1f s; %s 503s, %s fetches without an answer (retried), %s wrong, %s unserved"
                    % (_n(b["served_terminals"]), b["last_served_s"], _n(b["unavailable"]), _n(b.get("no_answer", 0)),
                       _n(b["wrong"]), _n(b["unserved_terminals"])),
                    "met" if whole else "MISSED"))
    return out


def _ratio_target(what, ratio, ok):
    if ratio is None:
        return (what, "no nginx figures to compare", "n/a")
    return (what, "%.2fx (rounds %.2f to %.2f)" % ratio, "met" if ok(ratio[0]) else "MISSED")


def _n(x):
    return "{:,}".format(x)


HEADER = ["Contender", "Key", "Terminals", "Fetches/s median (rounds)", "p50 ms", "p99 ms", "Slowest ms",
          "Not served", "CPU ms/fetch", "Peak MiB", "Burst: last served; 503s, no answer; wrong", "MiB with idle open (how many)"]


def table_rows(entries):
    """The table's rows of text cells: one per contender, key and number of
    terminals; the per-process and burst figures on a contender's first row."""
    rows = []
    for e in entries:
        if e.get("skipped"):
            rows.append([e["name"], e["key"], "-", "skipped (below)"] + [""] * (len(HEADER) - 4))
            continue
        first = True
        for level in sorted(e["levels"]):
            f = level_figures(e["levels"][level])
            cells = [e["name"], e["key"], _n(level)]
            if f is None:
                cells += ["-"] * 5
            else:
                cells += ["%.0f (%.0f to %.0f)" % f["rate"], "%.1f" % f["p50"], "%.1f" % f["p99"],
                          "%.1f" % f["slowest"],
                          _n(f["not_served"]) + (" (%s wrong)" % _n(f["wrong"]) if f["wrong"] else "")]
            if first:
                cpu = "%.2f" % (e["cpu_s"] * 1000 / e["served"]) if e.get("served") else "-"
                peak = "%.1f" % (e["peak_kib"] / 1024) if e.get("peak_kib") else "-"
                b = e.get("burst")
                burst = ("%.1f s; %s, %s; %s" % (b["last_served_s"], _n(b["unavailable"]), _n(b.get("no_answer", 0)),
                                                  _n(b["wrong"]))
                         + ("" if not b["unserved_terminals"] else ", %s unserved" % _n(b["unserved_terminals"]))
                         if b else "-")
                idle = ("%.1f (%s); %.1f before the burst" % (
                    b["idle_rss_kib"] / 1024, _n(b["idle_open_at_sample"]),
                    b.get("idle_before_burst_rss_kib", 0) / 1024) if b else "-")
                cells += [cpu, peak, burst, idle]
                first = False
            else:
                cells += [""] * 4
            rows.append(cells)
    return rows


def render_text(rows):
    widths = [max(len(r[i]) for r in [HEADER] + rows) for i in range(len(HEADER))]
    line = lambda cells: "  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip()
    return "\n".join([line(HEADER), line(["-" * w for w in widths])] + [line(r) for r in rows])


def render_markdown(rows):
    esc = lambda c: c.replace("|", "\\|")
    out = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    out += ["| " + " | ".join(esc(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def skipped_lines(entries):
    """Why each skipped contender did not run, one line each."""
    return ["  %s, %s: %s" % (e["name"], e["key"], e["skipped"]) for e in entries if e.get("skipped")]


def render_targets(found):
    return "\n".join("  [%s] %s: %s" % (verdict, what, figure) for what, figure, verdict in found)
