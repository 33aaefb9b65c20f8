#!/usr/bin/env bash
# Installs the dependencies, builds, and runs Ambrel on the bundled demo data (demo/) in a fresh
# output directory; then prints where the outputs are and the report's sequencing and alignment
# rows.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh --run-only
bash scripts/build.sh run >/dev/null

out="$root/demo-output/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"
# The aligner's output for library "Sample1" of run "Demo", as BAM.
samtools view -b -o "$out/Demo_Sample1_Aligned.out.bam" demo/reads.sam

cd "$out"
"$root/build/run/ambrel" \
    --run-metadata "$root/demo/run_metadata.json" \
    --r2-bam Demo_Sample1_Aligned.out.bam \
    --assay WTA \
    --gtf "$root/demo/genes.gtf" \
    --transcript-length "$root/demo/transcript_lengths.json" \
    --extra-seqs "$root/demo/extra.fasta" \
    --quality-metrics "$root/demo/ReadQualityMetrics.json" \
    --threads 2 2> ambrel-stderr.txt

echo "Ambrel finished; its outputs are in $out (its log: ambrel-stderr.txt):"
ls -1 "$out" | sed 's/^/    /'
echo
for segment in '#Sequencing#' '#Alignment_Categories#'; do
    awk -v s="$segment" '$0 == s {show = 1; print; next} /^#/ {show = 0} show' Demo_SeqMetrics.csv
done
