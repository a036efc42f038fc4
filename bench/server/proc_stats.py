"""What /proc says of a contender's processes: CPU time (utime + stime of
/proc/PID/stat, every thread included) and memory (VmRSS, VmHWM of
/proc/PID/status). A contender of several processes (nginx's master and
workers) is the sum over them."""

import os

TICKS = os.sysconf("SC_CLK_TCK")


def parse_stat(text):
    """(ppid, cpu seconds) of a /proc/PID/stat line. The command name, in
    parentheses, may hold spaces and parentheses: fields are read after the
    last ')'."""
    fields = text[text.rindex(")") + 2:].split()
    # fields[0] is field 3 (state): ppid is field 4, utime 14, stime 15.
    return int(fields[1]), (int(fields[11]) + int(fields[12])) / TICKS


def parse_status(text):
    """{"VmRSS": kib, "VmHWM": kib} of a /proc/PID/status text (missing: 0)."""
    out = {"VmRSS": 0, "VmHWM": 0}
    for line in text.splitlines():
        name, _, value = line.partition(":")
        if name in out and value.strip().endswith(" kB"):
            out[name] = int(value.split()[0])
    return out


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:  # the process is gone
        return None


def process_tree(pid):
    """`pid` and its children (one level: nginx's workers)."""
    pids = [pid]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            text = _read("/proc/%s/stat" % entry)
            if text and parse_stat(text)[0] == pid:
                pids.append(int(entry))
    return pids


def cpu_seconds(pids):
    total = 0.0
    for pid in pids:
        text = _read("/proc/%d/stat" % pid)
        if text:
            total += parse_stat(text)[1]
    return total


def memory_kib(pids):
    total = {"VmRSS": 0, "VmHWM": 0}
    for pid in pids:
        text = _read("/proc/%d/status" % pid)
        if text:
            for k, v in parse_status(text).items():
                total[k] += v
    return total
