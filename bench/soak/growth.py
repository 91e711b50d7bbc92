#!/usr/bin/env python3
"""Summarises a soak run's samples and tells whether a figure grew (bench/soak.sh).

    growth.py SAMPLES.csv [--settled-at SECONDS|never]

SAMPLES.csv has the header elapsed_s,rss_kb,threads,fds and one row per sample. Prints the
number of samples and the first, last and largest value of each figure, then the verdict.
Exits 0 when nothing grew (or the run was too short to tell), 1 when a figure grew, 2 when
the file cannot be read.

What counts as growth:
- The warm-up is left out: the first 2 minutes, the first fifth of the run, or the time until
  every task had run once (--settled-at, from the log), whichever is longest. Until then the
  program is still opening what it keeps open (the history database, cached connections) and
  building what it keeps per task (its state, its metrics series), which is growth but no
  leak; "never" (not every task ran) leaves nothing to judge.
- The samples after it are cut in thirds; the first third is the baseline, the last third is
  compared with it, and the middle third keeps the two apart.
- Threads and open descriptors are counts: a leak of even one per hour shows as a higher
  maximum in the last third than in the first, so any higher maximum fails. Maxima, not single
  samples, so that a check that happens to be running at a sample (its socket, a resolver
  thread) is seen in both thirds alike.
- The resident set is noisier (the allocator keeps and returns memory in chunks), so its
  median is compared: the last third's may exceed the first third's by 10% or by 3 MB,
  whichever is larger, and no more.
At least 6 samples after the warm-up are needed for a verdict.
"""
import argparse
import csv
import statistics
import sys

WARM_UP_MIN_S = 120
WARM_UP_FRACTION = 5
RSS_MARGIN_FRACTION = 0.10
RSS_MARGIN_MIN_KB = 3 * 1024
MIN_JUDGED_SAMPLES = 6
FIGURES = ("rss_kb", "threads", "fds")


def read_samples(path):
    with open(path, newline="", encoding="ascii") as source:
        reader = csv.DictReader(source)
        if reader.fieldnames != ["elapsed_s", *FIGURES]:
            raise ValueError(f"unexpected header {reader.fieldnames}")
        return [{key: int(value) for key, value in row.items()} for row in reader]


def judge(samples, settled_at):
    """Returns (lines describing the comparison, True when a figure grew or None when too short).

    settled_at: seconds from the first sample until every task had run once; None for never.
    """
    duration = samples[-1]["elapsed_s"] - samples[0]["elapsed_s"]
    if settled_at is None:
        return ["growth: not judged, not every task ran before the end (run longer)"], None
    warm_up = max(WARM_UP_MIN_S, duration / WARM_UP_FRACTION, settled_at)
    judged = [s for s in samples if s["elapsed_s"] - samples[0]["elapsed_s"] >= warm_up]
    if len(judged) < MIN_JUDGED_SAMPLES:
        return [f"growth: not judged, {len(judged)} sample(s) after the {warm_up:.0f} s warm-up "
                f"(at least {MIN_JUDGED_SAMPLES} needed: run longer)"], None
    third = len(judged) // 3
    first, last = judged[:third], judged[-third:]
    lines = [f"growth: warm-up {warm_up:.0f} s; baseline {first[0]['elapsed_s']}-{first[-1]['elapsed_s']} s, "
             f"compared {last[0]['elapsed_s']}-{last[-1]['elapsed_s']} s ({third} samples each)"]
    grew = False
    for figure in ("threads", "fds"):
        before, after = max(s[figure] for s in first), max(s[figure] for s in last)
        bad = after > before
        grew |= bad
        lines.append(f"  {figure}: max {before} -> {after}{'  GREW' if bad else ''}")
    before = statistics.median(s["rss_kb"] for s in first)
    after = statistics.median(s["rss_kb"] for s in last)
    allowed = max(before * RSS_MARGIN_FRACTION, RSS_MARGIN_MIN_KB)
    bad = after > before + allowed
    grew |= bad
    lines.append(f"  rss_kb: median {before:.0f} -> {after:.0f} (allowed +{allowed:.0f}){'  GREW' if bad else ''}")
    return lines, grew


def seconds_or_never(text):
    return None if text == "never" else int(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("samples", help="the CSV of elapsed_s,rss_kb,threads,fds")
    parser.add_argument("--settled-at", type=seconds_or_never, default=0, metavar="SECONDS|never",
                        help="when every task had run once (default 0: at the start)")
    args = parser.parse_args()
    try:
        samples = read_samples(args.samples)
    except (OSError, ValueError) as error:
        print(f"growth: cannot read {args.samples}: {error}", file=sys.stderr)
        return 2
    if not samples:
        print("growth: no samples", file=sys.stderr)
        return 2
    print(f"samples: {len(samples)} over {samples[-1]['elapsed_s'] - samples[0]['elapsed_s']} s")
    for figure in FIGURES:
        values = [s[figure] for s in samples]
        print(f"{figure}: first {values[0]}, last {values[-1]}, max {max(values)}")
    lines, grew = judge(samples, args.settled_at)
    print("\n".join(lines))
    if grew:
        print("growth: FAILED, a figure grew over the run")
        return 1
    if grew is False:
        print("growth: none")
    return 0


if __name__ == "__main__":
    sys.exit(main())
