// The whole run: set-up, the libraries one after the other, and the closing steps.
#pragma once

#include <string>
#include <vector>

#include "support/JsonValue.h"

class LibraryMetrics;
class ReadAnnotationFiles;
struct RunParameters;

// The report preamble: each value of the metadata's Output_Header (array or object) as a line.
// Throws std::runtime_error("Cannot create iterator for non-iterable type: ...") otherwise.
std::string outputHeaderText(JsonValue& metadata);

// The closing steps after the last library: sorted and compressed tables, the log archive, the
// run-wide metrics and the report.
void finishRun(const RunParameters& params, JsonValue& metadata, ReadAnnotationFiles& files,
               std::vector<LibraryMetrics>& metricsList, std::vector<std::string>& libraryNames);

// The whole run; returns the process exit status.
int runAmbrel(int argc, const char* const* argv);
