// GTF text and gene models for the feature-assignment tests.
#pragma once

#include <memory>
#include <string>

#include "TestSupport.h"
#include "features/FeatureAssigner.h"
#include "support/Logger.h"

inline std::string gtfLine(const std::string& chromosome, const std::string& feature,
                           unsigned long start, unsigned long end, char strand,
                           const std::string& attributes) {
    return chromosome + "\ttest\t" + feature + "\t" + std::to_string(start) + "\t" +
           std::to_string(end) + "\t.\t" + std::string(1, strand) + "\t.\t" + attributes + "\n";
}

inline std::string geneAttributes(const std::string& id, const std::string& name,
                                  const std::string& type = "protein_coding") {
    return "gene_id \"" + id + "\"; gene_name \"" + name + "\"; gene_type \"" + type + "\";";
}

// Builds a model from GTF text inside a scratch directory; keeps the log and gene-info JSON text.
struct BuiltModel {
    BuiltModel(const std::string& gtfText, const std::string& vdjVersion = "") {
        writeFile(dir.file("genes.gtf"), gtfText);
        Logger logger("T", Logger::ALL, dir.file("model.log"), Logger::NO_TIMESTAMP);
        model = std::make_unique<FeatureAssigner>(dir.file("genes.gtf"), vdjVersion, logger);
        geneInfoJson = readFile(dir.file("gtf.gene_info.json"));
        log = readFile(dir.file("model.log"));
    }
    ScratchDir dir;
    std::unique_ptr<FeatureAssigner> model;
    std::string geneInfoJson;
    std::string log;
};
