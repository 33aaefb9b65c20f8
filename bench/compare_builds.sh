#!/usr/bin/env bash
# Two builds of ambrel on the same whole-run dataset (made by whole_run_bench.sh or make_dataset),
# in aligner order and sorted by coordinate, rounds alternating between the builds so that both
# meet the same machine; median wall and CPU seconds and peak RSS of each, and whether their
# tables and report are the same bytes.
#
#   bash bench/compare_builds.sh OLD_AMBREL NEW_AMBREL [DIR] [ROUNDS]
set -euo pipefail
old="$(realpath "$1")"
new="$(realpath "$2")"
dir="${3:-/tmp/ambrel_bench/e2e}"
rounds="${4:-3}"
[ -f "$dir/Bench_Lib1_Aligned.out.bam" ] || { echo "no dataset in $dir" >&2; exit 2; }
mkdir -p "$dir/coordinate"
[ -f "$dir/coordinate/Bench_Lib1_Aligned.out.bam" ] ||
    samtools sort -@ 2 -o "$dir/coordinate/Bench_Lib1_Aligned.out.bam" \
        "$dir/Bench_Lib1_Aligned.out.bam"
args=(--run-metadata "$dir/meta.json" --assay WTA --gtf "$dir/genes.gtf"
      --transcript-length "$dir/lengths.json" --extra-seqs "$dir/extra.fa"
      --quality-metrics "$dir/quality.json" --threads 2 --r2-bam Bench_Lib1_Aligned.out.bam)
results="$dir/compare.tsv"
: > "$results"
for round in $(seq "$rounds"); do
    for build in old new; do
        for order in aligner coordinate; do
            bam="$dir/Bench_Lib1_Aligned.out.bam"
            [ "$order" = coordinate ] && bam="$dir/coordinate/Bench_Lib1_Aligned.out.bam"
            run="$dir/compare_${build}_$order"
            rm -rf "$run" && mkdir -p "$run" && ln -s "$bam" "$run/Bench_Lib1_Aligned.out.bam"
            binary="$old"
            [ "$build" = new ] && binary="$new"
            (cd "$run" && /usr/bin/time -f "%e\t%U\t%S\t%M" -o "$dir/time.txt" "$binary" \
                "${args[@]}" >/dev/null 2>"$run.log")
            printf '%s\t%s\t%s\n' "$build" "$order" "$(cat "$dir/time.txt")" >> "$results"
        done
    done
done
python3 - "$results" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    build, order, wall, user, system, rss = line.split()
    rows.setdefault((build, order), []).append((float(wall), float(user) + float(system),
                                                int(rss) / 1024))
print(f"{'build':<6}{'order':<12}{'wall s':>9}{'cpu s':>9}{'peak RSS MB':>13}   rounds (wall s)")
for (build, order), runs in sorted(rows.items(), key=lambda kv: (kv[0][1], kv[0][0] != "old")):
    med = [statistics.median(r[i] for r in runs) for i in range(3)]
    print(f"{build:<6}{order:<12}{med[0]:>9.2f}{med[1]:>9.2f}{med[2]:>13.0f}   "
          + " ".join(f"{r[0]:.2f}" for r in runs))
PY
for order in aligner coordinate; do
    same=yes
    for f in "$dir/compare_old_$order"/*.csv* ; do
        name="$(basename "$f")"
        cmp -s "$f" "$dir/compare_new_$order/$name" || same="no ($name)"
    done
    echo "$order order: tables and report the same bytes in both builds: $same"
done
