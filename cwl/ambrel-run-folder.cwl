#!/usr/bin/env cwl-runner
# One sequencing run through Ambrel, its outputs returned as one folder named after the run.
cwlVersion: v1.2
class: Workflow
label: Ambrel over one run, its outputs in a folder of their own
requirements:
  MultipleInputFeatureRequirement: {}
inputs:
  run_metadata: File
  r2_bam: File[]
  quality_metrics: File
  assay:
    type: {type: enum, symbols: [WTA, Targeted], name: Assay}
  gtf: File
  transcript_length: File
  extra_seqs: File[]?
  threads: int
steps:
  ambrel:
    run: ambrel.cwl
    in:
      run_metadata: run_metadata
      r2_bam: r2_bam
      quality_metrics: quality_metrics
      assay: assay
      gtf: gtf
      transcript_length: transcript_length
      extra_seqs: extra_seqs
      threads: threads
    out: [seq_metrics, annotated_bams, valid_reads, sample_tag_valid_reads, vdj_fastq, vdj_counts,
          gene_info, multiqc, log_archive, ambrel_log]
  folder:
    run: run-folder.cwl
    in:
      seq_metrics: ambrel/seq_metrics
      outputs:
        source: [ambrel/annotated_bams, ambrel/valid_reads, ambrel/sample_tag_valid_reads,
                 ambrel/vdj_fastq, ambrel/vdj_counts, ambrel/gene_info, ambrel/multiqc,
                 ambrel/log_archive, ambrel/ambrel_log]
        linkMerge: merge_flattened
        pickValue: all_non_null
    out: [run]
outputs:
  run:
    type: Directory
    outputSource: folder/run
