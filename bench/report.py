#!/usr/bin/env python3
"""Runs the core benchmarks once and prints the ratios that matter, each
measured side by side in that one run."""
import json
import subprocess
import sys


def main():
    binary = sys.argv[1]
    out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_min_time=0.3"],
                         check=True, capture_output=True, text=True).stdout
    runs = {b["name"]: b for b in json.loads(out)["benchmarks"]}
    ns = {name: b["real_time"] for name, b in runs.items()}  # time unit: ns

    def gbps(name):
        return runs[name]["bytes_per_second"] / 1e9

    rows = [
        ("ParseDouble, 4 typical texts", f"{ns['BM_ParseDouble']:.1f} ns"),
        ("  istringstream read / ParseDouble", f"{ns['BM_IstringstreamRead'] / ns['BM_ParseDouble']:.1f}x"),
        ("  ParseDouble / bare from_chars", f"{ns['BM_ParseDouble'] / ns['BM_FromChars']:.2f}x"),
        ("func101 after a load (cached read)", f"{ns['BM_Func101Path']:.2f} ns"),
        ("  func101 path / std::map::find", f"{ns['BM_Func101Path'] / ns['BM_MapFind']:.2f}x"),
        ("DecodeReply, 1 MiB reply", f"{gbps('BM_DecodeReply1MiB'):.2f} GB/s"),
        ("  memcpy, 1 MiB", f"{gbps('BM_Memcpy1MiB'):.2f} GB/s"),
        ("DecodeReply, typical 20 pairs", f"{ns['BM_DecodeReplyTypical20Pairs']:.0f} ns"),
        ("DecodeReply, 64 MiB reply: peak heap beyond the reply",
         f"{runs['BM_DecodeReplyPeak64MiB/iterations:1']['peak_over_reply_MiB']:.1f} MiB"),
        ("  of which the store keeps", f"{runs['BM_DecodeReplyPeak64MiB/iterations:1']['store_MiB']:.1f} MiB"),
        ("DecodeReply, 64 MiB error page: peak heap beyond the reply",
         f"{runs['BM_DecodeReplyErrorPage64MiB/iterations:1']['peak_over_reply_MiB']:.1f} MiB"),
    ]
    width = max(len(r[0]) for r in rows)
    for label, value in rows:
        print(f"{label:<{width}}  {value}")


if __name__ == "__main__":
    main()
