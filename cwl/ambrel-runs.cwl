#!/usr/bin/env cwl-runner
# Several sequencing runs through Ambrel at once: one step per run, each with its own BAMs,
# metadata and read-quality metrics, all with the same annotation.
cwlVersion: v1.2
class: Workflow
label: Ambrel over several sequencing runs
requirements:
  ScatterFeatureRequirement: {}
inputs:
  run_metadata: File[]
  r2_bam:
    type: {type: array, items: {type: array, items: File}}
    doc: The BAMs of each run, in the order of run_metadata.
  quality_metrics: File[]
  assay:
    type: {type: enum, symbols: [WTA, Targeted], name: Assay}
  gtf: File
  transcript_length: File
  extra_seqs: File[]?
  threads:
    type: int
    default: 2
steps:
  ambrel:
    run: ambrel.cwl
    scatter: [run_metadata, r2_bam, quality_metrics]
    scatterMethod: dotproduct
    in:
      run_metadata: run_metadata
      r2_bam: r2_bam
      quality_metrics: quality_metrics
      assay: assay
      gtf: gtf
      transcript_length: transcript_length
      extra_seqs: extra_seqs
      threads: threads
    out: [seq_metrics, annotated_bams, valid_reads, sample_tag_valid_reads, vdj_fastq, multiqc,
          ambrel_log]
outputs:
  seq_metrics:
    type: {type: array, items: File}
    outputSource: ambrel/seq_metrics
  annotated_bams:
    type: {type: array, items: {type: array, items: File}}
    outputSource: ambrel/annotated_bams
  valid_reads:
    type: {type: array, items: {type: array, items: File}}
    outputSource: ambrel/valid_reads
  sample_tag_valid_reads:
    type: {type: array, items: File}
    outputSource: ambrel/sample_tag_valid_reads
  vdj_fastq:
    type: {type: array, items: {type: array, items: File}}
    outputSource: ambrel/vdj_fastq
  multiqc:
    type: {type: array, items: {type: array, items: File}}
    outputSource: ambrel/multiqc
  ambrel_log:
    type: {type: array, items: File}
    outputSource: ambrel/ambrel_log
