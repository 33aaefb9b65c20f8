#!/usr/bin/env python3
"""Share of the worker threads' CPU samples spent in HTSlib's BAM decoding and encoding.

  perf record --call-graph dwarf,16384 -o perf.data build/release/bench/worker_bench --workers 1
  perf script -i perf.data | python3 bench/perf_shares.py

Counts the samples of the threads that run annotationMetricsAndCounting. A sample is BAM decode/encode when its call stack passes
through reading or writing records (sam_read1, sam_write1 and what they call, BGZF, libdeflate)
or copying and freeing them (bam_dup1, bam_destroy1); everything else (feature assignment,
classification, tags, metrics, valid-reads and FASTQ output including its zlib compression) is
annotation.
"""
import collections
import re
import sys

BAM_IO = re.compile(r"^(sam_read1|bam_read1|sam_write1|bam_write1|bgzf_|hts_open|hts_hopen|"
                    r"hts_close|sam_hdr_read|sam_hdr_write|bam_dup1|bam_copy1|bam_destroy1|"
                    r"libdeflate_)")
HEADER = re.compile(r"^\S.*?\s(\d+)\s+[\d.]+:")
FRAME = re.compile(r"^\s+[0-9a-f]+\s+(.*?)\s+\((\S+)\)\s*$")

samples = collections.defaultdict(list)  # tid -> list of stacks [(symbol, dso)]
tid, stack = None, []
for line in sys.stdin:
    if not line.strip():
        if tid is not None:
            samples[tid].append(stack)
        tid, stack = None, []
        continue
    header = HEADER.match(line)
    if header and tid is None:
        tid = int(header.group(1))
        continue
    frame = FRAME.match(line)
    if frame:
        symbol = re.sub(r"\+0x[0-9a-f]+$", "", frame.group(1))
        stack.append((symbol, frame.group(2).rsplit("/", 1)[-1]))
if tid is not None:
    samples[tid].append(stack)
if not samples:
    sys.exit("no samples parsed (record with --call-graph dwarf)")

# The worker threads: those whose stacks pass through the worker function.
workers = {t: st for t, st in samples.items()
           if any(any(sym.startswith("annotationMetricsAndCounting") for sym, _ in s) for s in st)}
if not workers:
    sys.exit("no worker thread found in the samples")
stacks = [s for st in workers.values() for s in st]
tid = ",".join(str(t) for t in sorted(workers))
total = len(stacks)
io = 0
leaf_owner = collections.Counter()
step_owner = collections.Counter()
for stack in stacks:
    in_io = any(BAM_IO.match(symbol) or dso.startswith("libdeflate") for symbol, dso in stack)
    io += in_io
    if not in_io and stack:
        symbol, dso = stack[0]
        leaf_owner[(symbol if symbol != "[unknown]" else "?", dso)] += 1
        # The worker's own step this sample belongs to: the frame just below the worker.
        names = [sym for sym, _ in stack]
        below = "?"
        for k, name in enumerate(names):
            if name.startswith("annotationMetricsAndCounting"):
                below = names[k - 1] if k > 0 else name
                break
        step_owner[below] += 1
print(f"thread {tid}: {total} samples")
print(f"BAM decode/encode (sam_read1, sam_write1, BGZF, bam_dup1/destroy1): {100.0 * io / total:.1f}%")
print(f"annotation and outputs: {100.0 * (total - io) / total:.1f}%")
print("\nannotation samples by worker step:")
for name, n in step_owner.most_common(10):
    print(f"  {100.0 * n / total:5.1f}%  {name[:90]}")
print("\nannotation samples by leaf function:")
for (symbol, dso), n in leaf_owner.most_common(20):
    print(f"  {100.0 * n / total:5.1f}%  {symbol[:70]}  ({dso})")
