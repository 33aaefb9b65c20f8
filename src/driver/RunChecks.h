// Everything known to fail later in a run, checked before the run creates, truncates or deletes
// any output.
#pragma once

#include <string>
#include <unordered_set>

#include "RunSetup.h"

// Throws, with the message the later failure would give (naming the file, value or program), when
// an input file is missing or unreadable, the metadata lacks what the report needs, the
// read-quality file is unreadable or incomplete, two BAMs give one library name, the run base
// name is not a plain file name, or an external program is not found. A missing or unreadable
// extra FASTA file is only warned about.
void checkRunInputs(const RunParameters& params, JsonValue& metadata);

class FeatureAssigner;

// How many of a BAM's first records checkBamContents reads.
extern const int FIRST_RECORDS_CHECKED;

// Throws naming the BAM when it cannot be read, when none of its reference names (but for the
// extra sequences) is a chromosome of the gene model, with a few names of each and the likely
// fix, when almost all of a sample of its mapped reads lie on references with no gene (a warning
// when many do), or when none of its first FIRST_RECORDS_CHECKED read names carries
// ";<cell>;<UMI>". A BAM without records gets a warning when the read-quality file gives its
// library reads.
void checkBamContents(const RunParameters& params, const std::string& bamPath,
                      const FeatureAssigner& model,
                      const std::unordered_set<std::string>& extraReferenceNames);

// The program file that `name` runs: as given when it holds a '/', else the first executable
// file of that name on PATH; empty when there is none.
std::string findProgram(const std::string& name);

// Makes every input path of params absolute (relative to the working folder), so that the run
// can work in a folder of its own; empty paths stay empty.
void makeInputPathsAbsolute(RunParameters& params);
