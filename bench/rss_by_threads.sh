#!/usr/bin/env bash
# Peak RSS of whole runs on the whole-run dataset (made by whole_run_bench.sh or make_dataset) at
# several thread counts: what a run needs per thread beyond the gene model.
#
#   bash bench/rss_by_threads.sh [DIR] [THREADS...]      (defaults: /tmp/ambrel_bench/e2e 2 8 32)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-/tmp/ambrel_bench/e2e}"
shift || true
counts=("${@:-2 8 32}")
[ "$#" -gt 0 ] && counts=("$@") || counts=(2 8 32)
bin="$root/build/release/ambrel"
[ -f "$dir/Bench_Lib1_Aligned.out.bam" ] || { echo "no dataset in $dir" >&2; exit 2; }
printf '%-8s %10s %10s %14s\n' threads "wall s" "cpu s" "peak RSS MB"
for threads in "${counts[@]}"; do
    for bam in Bench_Empty_Aligned.out.bam Bench_Lib1_Aligned.out.bam; do
        run="$dir/rss_$threads"
        rm -rf "$run" && mkdir -p "$run" && ln -s "$dir/$bam" "$run/$bam"
        (cd "$run" && /usr/bin/time -f "%e %U %S %M" -o "$dir/time.txt" "$bin" \
            --run-metadata "$dir/meta.json" --assay WTA --gtf "$dir/genes.gtf" \
            --transcript-length "$dir/lengths.json" --extra-seqs "$dir/extra.fa" \
            --quality-metrics "$dir/quality.json" --threads "$threads" --r2-bam "$bam" \
            >/dev/null 2>"$run.log")
        read -r wall user system rss < "$dir/time.txt"
        label="$threads"
        [ "$bam" = Bench_Empty_Aligned.out.bam ] && label="$threads (model only)"
        printf '%-8s %10.2f %10.2f %14.0f\n' "$label" "$wall" "$(echo "$user + $system" | bc)" \
            "$(echo "$rss / 1024" | bc)"
    done
done
