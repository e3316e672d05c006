#!/usr/bin/env python3
"""Prints the benchmark's 1280x720 scenes side by side as Markdown tables.

    build/bench/analysis_bench --benchmark_repetitions=5 \
        --benchmark_filter='/w:1280/' --benchmark_format=json > run.json
    bench/side_by_side.py run.json

Times are CPU times of one run (medians when the run has repetitions);
ratios compare runs made side by side on the same machine.
"""
import json
import statistics
import sys

SCENES = {0: "red ball before a textured wall", 1: "uniformly random colours", 2: "mostly red (about 95 % target)"}
# The ball scene in each target colour, segmented against that colour.
BALL_COLOURS = {0: "red", 3: "orange", 4: "yellow", 5: "green", 6: "blue", 7: "magenta"}
PAIR_PIXELS = 2 * 1280 * 720


def times(run):
    """CPU time in microseconds of each benchmark name, median of repetitions."""
    samples = {}
    for b in run["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        factor = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
        samples.setdefault(b["run_name"], []).append(b["cpu_time"] * factor)
    return {name: statistics.median(values) for name, values in samples.items()}


def main():
    with open(sys.argv[1]) as f:
        t = times(json.load(f))
    memcpy = t.get("BM_Memcpy/scene:0/w:1280/h:720")
    print("| scene (1280x720 pair, intake + analysis) | Kestrova | literal forms | OpenCV | "
          "vs literal | vs memcpy | vs OpenCV | work images read too | cold table |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for scene, title in SCENES.items():
        suffix = f"/scene:{scene}/w:1280/h:720"
        ours, literal = t.get("BM_Tick" + suffix), t.get("BM_TickLiteral" + suffix)
        opencv, cold = t.get("BM_TickOpenCV" + suffix), t.get("BM_TickColdTable" + suffix)
        read = t.get("BM_TickWorkImageRead" + suffix)
        if ours is None:
            continue
        cell = lambda v: f"{v:,.0f} us" if v else "-"
        ratio = lambda a, b: f"{a / b:.1f}x" if a and b else "-"
        print(f"| {title} | {cell(ours)} | {cell(literal)} | {cell(opencv)} | {ratio(literal, ours)} faster | "
              f"{ratio(ours, memcpy)} the time | {ratio(opencv, ours)} faster | "
              f"{cell(read)} ({ratio(read, memcpy)} memcpy) | {cell(cold)} |")
    if memcpy:
        print(f"\nmemcpy of the pair: {memcpy:,.0f} us")
    whole = t.get("BM_WholeTick/scene:0/w:1280/h:720")
    if whole:
        print(f"whole tick with painting (ball scene): {whole:,.0f} us")
    colours(t)


def colours(t):
    """The ball scene per target colour: ns a pixel of the pair and the ratio to red."""
    stages = [("BM_Tick", "tick"), ("BM_WholeTick", "whole tick"), ("BM_Segmentation", "segmentation")]
    if t.get("BM_Tick/scene:3/w:1280/h:720") is None:
        return
    print("\n| ball scene in | " + " | ".join(f"{title} | vs red" for _, title in stages) + " |")
    print("|---|" + "---:|---:|" * len(stages))
    for scene, colour in BALL_COLOURS.items():
        cells = []
        for name, _ in stages:
            ours, red = t.get(f"{name}/scene:{scene}/w:1280/h:720"), t.get(f"{name}/scene:0/w:1280/h:720")
            cells.append(f"{ours * 1000 / PAIR_PIXELS:.3f} ns" if ours else "-")
            cells.append(f"{ours / red:.2f}x" if ours and red else "-")
        print(f"| {colour} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
