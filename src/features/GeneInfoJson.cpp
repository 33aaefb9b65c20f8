// "gtf.gene_info.json": gene label -> gene_id and gene_name, for the pipeline steps after this one.
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "FeatureAssigner.h"
#include "support/Handles.h"
#include "support/JsonValue.h"
#include "support/Logger.h"
#include "support/SystemError.h"

namespace {
const char* const GENE_INFO_JSON = "gtf.gene_info.json";
}

void FeatureAssigner::writeGeneInfoJson(Logger& logger) const {
    JsonValue root;
    for (const auto& entry : _geneInfo) {
        JsonValue& gene = root[entry.first];
        gene["gene_name"] = entry.second.first;
        gene["gene_id"] = entry.second.second;
    }
    FileHandle file(std::fopen(GENE_INFO_JSON, "w"));
    if (!file) {
        int error = errno;
        throw systemError(error, std::string("Failed to open ") + GENE_INFO_JSON + " for write.");
    }
    std::string text = root.stringify();
    text += '\n';
    if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() ||
        !closeWritten(file)) {
        int error = errno;
        throw systemError(error, std::string("Failed to write ") + GENE_INFO_JSON);
    }
    logger.info("Gene information JSON written to: %s", GENE_INFO_JSON);
}
