// The cell index and UMI that the pipeline's earlier step wrote into each read name:
// "<read name>;<cell index>;<UMI>", the two separators counted from the right.
#pragma once

#include <string>

#include <htslib/sam.h>

class EarlyTerminate;

// Fills cellIndex and umi from the record's name. A malformed name marks the run failed in
// failures (its message names the read) and leaves both empty.
void getCellIndexAndUMIFromQName(std::string& cellIndex, std::string& umi, const bam1_t* record,
                                 EarlyTerminate& failures);

// Removes ";<cell index>;<UMI>" from the record's name; a name with fewer than two ';' is left as
// it is. Returns false when HTSlib could not set the name.
[[nodiscard]] bool stripCellAndUMIFromQName(bam1_t* record);
