// Writes the end-to-end benchmark's dataset into a directory, deterministically: a human-scale GTF
// (60,000 genes), one library of N reads as the aligner leaves it, a header-only BAM, the run
// metadata, the read-quality metrics and the extra FASTA names.
//
//   build/release/bench/make_dataset DIR [READS]
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "DatasetGenerator.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_dataset DIR [READS]\n");
        return 2;
    }
    std::string dir = argv[1];
    size_t reads = argc > 2 ? std::stoul(argv[2]) : 2000000;
    std::filesystem::create_directories(dir);
    GeneratedAnnotation annotation = generateAnnotation(60000, 20261205);
    if (!std::filesystem::exists(dir + "/genes.gtf"))
        writeGtf(annotation, dir + "/genes.gtf");
    std::string bam = dir + "/Bench_Lib1_Aligned.out.bam";
    size_t records = writeReadsBam(annotation, bam, reads, 1001);
    writeReadsBam(annotation, dir + "/Bench_Empty_Aligned.out.bam", 0, 1);

    std::ofstream(dir + "/meta.json")
        << "{\"Run_Base_Name\": \"Bench\", \"Output_Header\": [\"## benchmark\"]}\n";
    std::ofstream(dir + "/lengths.json") << "{}\n";
    std::string entry = "{\"Total number of reads\": " + std::to_string(reads) +
                        ", \"Overlapping reads\": 0, \"Short reads\": 0, \"Low quality score per "
                        "base reads\": 0, \"High single nucleotide frequency reads\": 0, \"Number "
                        "of reads after quality filtering\": " +
                        std::to_string(reads) +
                        ", \"Percentage of Q30 bases in filtered R2 reads\": 90}";
    std::ofstream(dir + "/quality.json")
        << "{\"Read Quality Metrics\": {\"Lib1\": " << entry << ", \"Empty\": " << entry
        << ", \"Combined_stats\": " << entry << "}}\n";
    std::ofstream fasta(dir + "/extra.fa");
    for (const std::string& name : extraReferenceNamesOf())
        fasta << ">" << name << "\nACGT\n";
    std::printf("%s: %zu reads, %zu records\n", bam.c_str(), reads, records);
    return 0;
}
