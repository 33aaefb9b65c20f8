#!/usr/bin/env cwl-runner
# One sequencing run through Ambrel: every option, every output.
cwlVersion: v1.2
class: CommandLineTool
label: "Ambrel: gene features, read classification and UMI counting of a run's aligned R2 reads"
doc: |
  Runs `ambrel` in the step's output folder. The BAM file names must start with the metadata's
  Run_Base_Name followed by "_"; their library names come from the rest of the name.
$namespaces:
  edam: http://edamontology.org/
baseCommand: ambrel
# The image of scripts/container.sh (or the Containerfile); a hint, so --no-container runs the
# ambrel on the PATH instead.
hints:
  DockerRequirement:
    dockerPull: localhost/ambrel:0.1.0
requirements:
  ResourceRequirement:
    coresMin: $(inputs.threads)
  InlineJavascriptRequirement: {} # the tables' glob also matches the sample-tag table
stderr: ambrel_stderr.txt
inputs:
  run_metadata:
    type: File
    inputBinding: {prefix: --run-metadata}
  r2_bam:
    type: File[]
    doc: Aligned R2 reads, one BAM per library.
    inputBinding: {prefix: --r2-bam, itemSeparator: ","}
  assay:
    type: {type: enum, symbols: [WTA, Targeted], name: Assay}
    inputBinding: {prefix: --assay}
  gtf:
    type: File
    doc: Gene annotation, plain or gzip/BGZF-compressed.
    inputBinding: {prefix: --gtf}
  transcript_length:
    type: File
    inputBinding: {prefix: --transcript-length}
  extra_seqs:
    type: File[]?
    inputBinding: {prefix: --extra-seqs, itemSeparator: ","}
  quality_metrics:
    type: File
    inputBinding: {prefix: --quality-metrics}
  umi_option:
    type: int?
    doc: "AbSeq UMI: 0 the R1 UMI, 1 the AbSeq UMI (default), 2 both."
    inputBinding: {prefix: --umi-option}
  threads:
    type: int
    default: 2
    inputBinding: {prefix: --threads}
  message_level:
    type: string?
    inputBinding: {prefix: --message-level}
  exclude_intronic_reads:
    type: boolean?
    inputBinding: {prefix: --exclude-intronic-reads}
outputs:
  annotated_bams:
    type: File[]
    format: edam:format_2572 # BAM
    outputBinding: {glob: "*.annotated.*.bam"}
  valid_reads:
    type: File[]
    doc: The gene-partitioned tables (the sample-tag table is sample_tag_valid_reads).
    outputBinding:
      glob: "*_Sorted_Valid_Reads.csv.*.gz"
      outputEval: |
        $(self.filter(function(f) { return f.basename.indexOf("_SampleTag_Sorted_") < 0; }))
  sample_tag_valid_reads:
    type: File
    outputBinding: {glob: "*_SampleTag_Sorted_Valid_Reads.csv.0.gz"}
  vdj_fastq:
    type: File[]
    format: edam:format_1930 # FASTQ
    outputBinding: {glob: "*_VDJ_*_Valid_Reads.fastq.gz"}
  seq_metrics:
    type: File
    format: edam:format_3752 # CSV
    outputBinding: {glob: "*_SeqMetrics.csv"}
  vdj_counts:
    type: File?
    format: edam:format_3464 # JSON
    outputBinding: {glob: num_vdj_reads.json}
  gene_info:
    type: File
    format: edam:format_3464
    outputBinding: {glob: gtf.gene_info.json}
  multiqc:
    type: File[]
    format: edam:format_3464
    outputBinding: {glob: "*_mqc.json"}
  log_archive:
    type: File
    outputBinding: {glob: "*_Ambrel_Logs.tar.gz"}
  ambrel_log:
    type: stderr
