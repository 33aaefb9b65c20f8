#!/usr/bin/env cwl-runner
# One Ambrel run's outputs in a folder of their own, named after the run's Run_Base_Name (taken
# from its report, <Run_Base_Name>_SeqMetrics.csv): runs whose libraries share a name keep their
# files apart without the workflow engine renaming any of them.
cwlVersion: v1.2
class: CommandLineTool
label: An Ambrel run's outputs as one folder named after the run
# The image of scripts/container.sh (or the Containerfile); a hint, so --no-container runs the
# machine's own sh instead.
hints:
  DockerRequirement:
    dockerPull: localhost/ambrel:0.1.0
baseCommand: [sh, -c]
arguments:
  - 'base=`basename "$1" _SeqMetrics.csv` && mkdir -- "$base" && cp -- "$@" "$base"/'
  - run-folder
inputs:
  seq_metrics:
    type: File
    inputBinding: {position: 1}
  outputs:
    type: File[]
    doc: Every other output of the run.
    inputBinding: {position: 2}
outputs:
  run:
    type: Directory
    outputBinding: {glob: "*"}
