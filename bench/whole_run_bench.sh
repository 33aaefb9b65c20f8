#!/usr/bin/env bash
# End-to-end benchmark: Ambrel against featureCounts and the samtools decode/encode floor on a
# human-scale dataset (generated once into $DIR), 3 alternating rounds, medians reported.
#
#   bash bench/whole_run_bench.sh [DIR] [READS]      (defaults: /tmp/ambrel_bench/e2e 2000000)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-/tmp/ambrel_bench/e2e}"
reads="${2:-2000000}"
threads=2
bin="$root/build/release"
[ -x "$bin/bench/make_dataset" ] || bash "$root/scripts/build.sh" release >/dev/null
mkdir -p "$dir"
[ -f "$dir/Bench_Lib1_Aligned.out.bam" ] || "$bin/bench/make_dataset" "$dir" "$reads"
# The same reads as an aligner told to sort by coordinate writes them.
mkdir -p "$dir/coordinate"
[ -f "$dir/coordinate/Bench_Lib1_Aligned.out.bam" ] ||
    samtools sort -@ "$threads" -o "$dir/coordinate/Bench_Lib1_Aligned.out.bam" \
        "$dir/Bench_Lib1_Aligned.out.bam"

results="$dir/results.tsv"
: > "$results"
measure() { # label, working directory, command...
    local label="$1" cwd="$2"
    shift 2
    # Peak disk of the working folder (links to the input not followed), sampled every 0.2 s.
    rm -f "$dir/done"
    echo 0 > "$dir/disk.txt"
    (peak=0; while [ ! -f "$dir/done" ]; do
         used=$(du -sb "$cwd" 2>/dev/null | cut -f1); [ "${used:-0}" -gt "$peak" ] && peak=$used
         echo "$peak" > "$dir/disk.txt"; sleep 0.2; done) &
    local sampler=$!
    (cd "$cwd" && /usr/bin/time -f "%e\t%U\t%S\t%M" -o "$dir/time.txt" "$@" >/dev/null 2>"$dir/$label.stderr")
    touch "$dir/done"
    wait "$sampler" || true
    printf '%s\t%s\t%s\n' "$label" "$(cat "$dir/time.txt")" "$(cat "$dir/disk.txt")" >> "$results"
}
ambrel_run() { # working directory, BAM (relative to $dir)
    rm -rf "$1" && mkdir -p "$1" && ln -s "$dir/$2" "$1/$(basename "$2")"
    echo "$1"
}
args=(--run-metadata "$dir/meta.json" --assay WTA --gtf "$dir/genes.gtf"
      --transcript-length "$dir/lengths.json" --extra-seqs "$dir/extra.fa"
      --quality-metrics "$dir/quality.json" --threads "$threads")

for round in 1 2 3; do
    echo "round $round" >&2
    w=$(ambrel_run "$dir/run_full" Bench_Lib1_Aligned.out.bam)
    measure ambrel_full "$w" "$bin/ambrel" --r2-bam Bench_Lib1_Aligned.out.bam "${args[@]}"
    cp "$dir/ambrel_full.stderr" "$dir/ambrel_full_$round.log"
    w=$(ambrel_run "$dir/run_coordinate" coordinate/Bench_Lib1_Aligned.out.bam)
    measure ambrel_coordinate_sorted "$w" "$bin/ambrel" --r2-bam Bench_Lib1_Aligned.out.bam \
        "${args[@]}"
    w=$(ambrel_run "$dir/run_load" Bench_Empty_Aligned.out.bam)
    measure ambrel_gtf_load "$w" "$bin/ambrel" --r2-bam Bench_Empty_Aligned.out.bam "${args[@]}"
    measure featurecounts "$dir" featureCounts -T "$threads" -s 1 -t exon -g gene_name -M -R BAM \
        -a "$dir/genes.gtf" -o "$dir/fc.txt" "$dir/Bench_Lib1_Aligned.out.bam"
    measure featurecounts_gtf_load "$dir" featureCounts -T "$threads" -s 1 -t exon -g gene_name \
        -a "$dir/genes.gtf" -o "$dir/fc_empty.txt" "$dir/Bench_Empty_Aligned.out.bam"
    measure samtools_floor "$dir" samtools view -@ "$threads" -b --output-fmt-option level=1 \
        -o "$dir/floor.bam" \
        "$dir/Bench_Lib1_Aligned.out.bam"
done

input_bytes=$(stat -c %s "$dir/Bench_Lib1_Aligned.out.bam")
output_bytes=$(du -sb "$dir/run_full" | cut -f1)
python3 - "$results" "$dir" "$input_bytes" "$output_bytes" <<'PY'
import re, statistics, sys, datetime
rows = {}
for line in open(sys.argv[1]):
    label, wall, user, system, rss, disk = line.rstrip("\n").split("\t")
    rows.setdefault(label, []).append((float(wall), float(user) + float(system), int(rss) / 1024,
                                       int(disk) / 1e6))
med = {k: tuple(statistics.median(v[i] for v in vs) for i in range(4)) for k, vs in rows.items()}
print(f"{'run':<26}{'wall s':>9}{'cpu s':>9}{'peak RSS MB':>13}{'peak disk MB':>14}")
for k in ("ambrel_full", "ambrel_coordinate_sorted", "ambrel_gtf_load", "featurecounts", "featurecounts_gtf_load", "samtools_floor"):
    w, c, r, d = med[k]
    print(f"{k:<26}{w:>9.2f}{c:>9.2f}{r:>13.0f}{d:>14.0f}")
full, load, fc, fcload, floor = (med[k][0] for k in
    ("ambrel_full", "ambrel_gtf_load", "featurecounts", "featurecounts_gtf_load", "samtools_floor"))
print(f"\nambrel / featureCounts -M -R BAM:          {full / fc:.2f}  (target <= 0.65 at 2M, 0.75 at 20M)")
print(f"coordinate-sorted input / unsorted input:   {med['ambrel_coordinate_sorted'][0] / full:.2f}"
      "  (target <= 1.5)")
print(f"(ambrel - its GTF load) / samtools floor:   {(full - load) / floor:.2f}  (target <= 2)")
print(f"ambrel GTF load / featureCounts GTF load:   {load / fcload:.2f}  (target <= 1.0)")
print(f"ambrel peak RSS with the loaded model:      {med['ambrel_gtf_load'][2]:.0f} MB (target < 300)")
inp, out = int(sys.argv[3]) / 1e6, int(sys.argv[4]) / 1e6
print(f"peak disk of the run folder:                {med['ambrel_full'][3]:.0f} MB, outputs {out:.0f} MB "
      f"+ {(med['ambrel_full'][3] - out) / inp * 100:.1f} % of the {inp:.0f} MB input (target <= 10 %)")
# Phases of the last full run, from its log's timestamps (1 s resolution).
marks = []
for line in open(f"{sys.argv[2]}/ambrel_full_3.log"):
    m = re.match(r"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] Ambrel: INFO\s+(.*)", line)
    if m:
        marks.append((datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S"), m.group(2)))
def at(prefix):
    return next(t for t, text in marks if text.startswith(prefix))
phases = [("GTF load", "Building the feature assigner", "Bam file:"),
          ("annotation", "Starting annotation", "Finished annotation"),
          ("sort and compression", "Sorting the output CSVs", "Writing aggregate"),
          ("report", "Writing aggregate", "Ambrel has completed")]
print("\nphases of the last full run (log timestamps, 1 s resolution):")
for name, a, b in phases:
    print(f"  {name:<22}{(at(b) - at(a)).total_seconds():>5.0f} s")
PY
