#!/usr/bin/env cwl-runner
# Several sequencing runs through Ambrel at once: one step per run, each with its own BAMs,
# metadata and read-quality metrics, all with the same annotation. Each run's outputs come back as
# a folder named after its Run_Base_Name, so runs whose libraries share a name keep every file.
cwlVersion: v1.2
class: Workflow
label: Ambrel over several sequencing runs
requirements:
  ScatterFeatureRequirement: {}
  SubworkflowFeatureRequirement: {}
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
    run: ambrel-run-folder.cwl
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
    out: [run]
outputs:
  runs:
    type: {type: array, items: Directory}
    doc: One folder per run, named after its Run_Base_Name.
    outputSource: ambrel/run
