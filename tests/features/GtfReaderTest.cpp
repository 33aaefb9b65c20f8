#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <system_error>

#include <htslib/bgzf.h>

#include "TestSupport.h"
#include "features/GtfLine.h"
#include "support/Logger.h"

namespace {

// What stops building a model from the GTF at path, or "" when the model is built.
std::string buildError(const std::string& path) {
    Logger quiet("T", Logger::NONE);
    try {
        FeatureAssigner model(path, "", quiet);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(GtfLineParsing, ColumnsCommentsAndRejections) {
    char text[] = "chr1\tsrc\texon\t100\t200\t3.5\t-\t2\tgene_id \"G\"; # note\n";
    GTFLine line;
    ASSERT_TRUE(parseGtfLine(line, text));
    EXPECT_EQ(std::string(line.seqname) + "|" + line.feature + "|" + std::to_string(line.start) +
                  "|" + std::to_string(line.end) + "|" + line.strand + "|" + line.attributes,
              "chr1|exon|100|200|-|gene_id \"G\"; ");
    char emptySource[] = "c\t\tgene\t1\t2\t.\t+\t.\t\n";
    EXPECT_TRUE(parseGtfLine(line, emptySource));
    for (std::string bad : {"c\ts\tgene\t1\t2\t.\t+\t.\n", "#!genome-build GRCh38\n",
                            "c\ts\tgene\t1#\t2\t.\t+\t.\tx", ""})
        EXPECT_FALSE(parseGtfLine(line, bad.data())) << bad;
}

TEST(GeneModel, LabelsStandInsAndGeneInformation) {
    BuiltModel built(
        gtfLine("chr1", "gene", 1000, 5000, '+', geneAttributes("G1", "A")) +
        gtfLine("chr1", "transcript", 1000, 5000, '+', geneAttributes("G1", "A")) +
        gtfLine("chr1", "exon", 1000, 1100, '+', geneAttributes("G1", "A")) +
        gtfLine("chr1", "CDS", 1000, 1100, '+', geneAttributes("G1", "A")) +
        gtfLine("chr2", "gene", 1, 1, '-', "gene_id \"G2\";") +
        gtfLine("chr2", "gene", 300, 200, '-', "gene_name \"B\";") +
        gtfLine("chr3", "gene", 10, 20, '+', "transcript_id \"T\";") +
        gtfLine("chrX", "gene", 10, 20, '.', geneAttributes("G9", "Dot")) +
        gtfLine("chr4", "gene", 10, 20, '+', "gene_id \"G5\"; # gene_name \"Hidden\";"));
    const FeatureAssigner& model = *built.model;
    EXPECT_EQ(treeLabels(model, "gene", true),
              "chr1+:A@999-4999 chr2-:B@199-299 chr2-:G2@0-0 chr4+:G5@9-19");
    EXPECT_EQ(treeLabels(model, "exon", true), "chr1+:A@999-1099");
    EXPECT_EQ(model.chromosomes(), (std::set<std::string>{"chr1", "chr2", "chr4"}));

    EXPECT_EQ(
        built.geneInfoJson,
        R"({"A":{"gene_id":"G1","gene_name":"A"},"B":{"gene_id":"NO_ID_B","gene_name":"B"},)"
        R"("Dot":{"gene_id":"G9","gene_name":"Dot"},"G2":{"gene_id":"G2","gene_name":"NO_NAME_G2"},)"
        R"("G5":{"gene_id":"G5","gene_name":"NO_NAME_G5"}})"
        "\n");
    EXPECT_NE(built.log.find("T WARNING  GTF line missing both gene_name and gene_id\n"),
              std::string::npos);
    EXPECT_NE(built.log.find("T INFO     GTF line neither forward nor reverse\n"),
              std::string::npos);
}

TEST(GeneModel, SharedGeneNamesWarnOnceAndShareTheLabel) {
    std::string gtf;
    for (const char* id : {"G1", "G2"}) {
        unsigned long base = id[1] == '1' ? 100 : 900;
        gtf += gtfLine("chr1", "gene", base, base + 300, '+', geneAttributes(id, "SAME"));
        gtf += gtfLine("chr1", "exon", base, base + 50, '+', geneAttributes(id, "SAME"));
        gtf += gtfLine("chr1", "exon", base + 200, base + 300, '+', geneAttributes(id, "SAME"));
    }
    gtf += gtfLine("chr1", "gene", 5000, 5100, '+', geneAttributes("G1", "OTHER"));
    BuiltModel built(gtf);
    const std::string nameWarning = "gene_name 'SAME' maps to multiple gene_ids: 'G1' and 'G2'. "
                                    "Counts for these gene_ids will be combined under gene_name.";
    size_t first = built.log.find(nameWarning);
    ASSERT_NE(first, std::string::npos) << built.log;
    EXPECT_EQ(built.log.find(nameWarning, first + 1), std::string::npos);
    EXPECT_NE(built.log.find("gene_id 'G1' maps to multiple gene_names: 'SAME' and 'OTHER'"),
              std::string::npos);
    EXPECT_EQ(treeLabels(*built.model, "exon", true),
              "chr1+:SAME@1099-1199 chr1+:SAME@299-399 chr1+:SAME@899-949 chr1+:SAME@99-149");
    // The first line of a label wins the gene-information entry.
    EXPECT_NE(built.geneInfoJson.find(R"("SAME":{"gene_id":"G1","gene_name":"SAME"})"),
              std::string::npos);
}

// About 34 MB of lines of varying length: lines straddle the edges of the blocks the file is read
// in. With a blank line, Windows line ends, a line longer than any block, and no newline at the
// end.
TEST(GeneModel, LinesAcrossBlockEdgesAreReadOnce) {
    std::string text =
        "\n" + gtfLine("chr1", "gene", 1, 10, '+', geneAttributes("G1", "A")) + "\r\n" +
        gtfLine("chr1", "gene", 20, 30, '+',
                geneAttributes("GL", "LONG") + " note \"" + std::string(20 << 20, 'n') + "\";") +
        "chr1\tt\tgene\t40\t50\t.\t+\t.\tgene_id \"G3\"; gene_name \"C\";\r\n";
    for (int g = 0; g < 100000; ++g) {
        std::string id = "G" + std::to_string(g);
        text +=
            gtfLine("chr" + std::to_string(1 + g % 3), g % 2 ? "exon" : "gene", 100 + g, 150 + g,
                    g % 5 ? '+' : '-',
                    geneAttributes(id, "N" + id) + " pad \"" + std::string(g % 97, 'p') + "\";");
        text += "chr1\ttest\ttranscript\t1\t2\t.\t+\t.\tgene_id \"" + id + "\";\n";
    }
    BuiltModel built(text + "chr1\tt\tgene\t60\t70\t.\t+\t.\tgene_id \"G4\"; gene_name \"D\";");
    EXPECT_NE(built.log.find("100004 gene and exon features of 100004 genes on 3 chromosomes"),
              std::string::npos)
        << built.log.substr(0, 2000);
    // Every feature once, with its coordinates whole.
    std::string genes = treeLabels(*built.model, "gene", true);
    for (const char* edge :
         {"chr1+:A@0-9 ", "chr1+:LONG@19-29 ", "chr1+:C@39-49 ", "chr1+:D@59-69 "})
        EXPECT_NE(genes.find(edge), std::string::npos) << edge;
    size_t intervals = 0;
    for (const std::string& entry : words(genes + " " + treeLabels(*built.model, "exon", true))) {
        if (entry.find(":NG") == std::string::npos)
            continue;
        size_t at = entry.find('@'), dash = entry.find('-', at);
        EXPECT_EQ(std::stoul(entry.substr(dash + 1)) - std::stoul(entry.substr(at + 1)), 50u)
            << entry;
        ++intervals;
    }
    EXPECT_EQ(intervals, 100000u);
}

// GENCODE and Ensembl ship their GTFs gzipped: gzip of two members and BGZF, both cut mid-line,
// give the model of the plain file, from a pipe too; a cut or damaged file stops the build, naming
// the file.
TEST(GeneModel, CompressedGtfGivesTheSameModel) {
    BuiltModel plain(standardGtf(true), "human");
    std::string text = readFile(plain.dir.file("genes.gtf"));
    ScratchDir dir;
    Logger quiet("T", Logger::NONE);
    for (const char* mode : {"wg", "wb"}) {
        BGZF* out = bgzf_open("genes.gtf.gz", mode);
        size_t half = text.size() / 2;
        ASSERT_TRUE(out && bgzf_write(out, text.data(), half) == static_cast<ssize_t>(half) &&
                    bgzf_flush(out) == 0 &&
                    bgzf_write(out, text.data() + half, text.size() - half) > 0 &&
                    bgzf_close(out) == 0);
        FeatureAssigner model("genes.gtf.gz", "human", quiet);
        model.writeGeneInfoJson(quiet);
        EXPECT_EQ(readFile("gtf.gene_info.json"), plain.geneInfoJson) << mode;
    }
    // Through a pipe, as with --gtf <(zcat genes.gtf.gz): nothing to seek back to.
    for (const char* command : {"cat genes.gtf.gz", "zcat genes.gtf.gz"}) {
        FILE* pipe = popen(command, "r");
        ASSERT_NE(pipe, nullptr);
        FeatureAssigner model("/dev/fd/" + std::to_string(fileno(pipe)), "human", quiet);
        pclose(pipe);
        model.writeGeneInfoJson(quiet);
        EXPECT_EQ(readFile("gtf.gene_info.json"), plain.geneInfoJson) << command;
    }
    std::string bytes = readFile("genes.gtf.gz");
    writeFile("cut.gtf.gz", bytes.substr(0, bytes.size() - 30));
    writeFile("damaged.gtf.gz", bytes.substr(0, 20) + std::string(200, 'x'));
    for (const char* damaged : {"cut.gtf.gz", "damaged.gtf.gz", "."})
        EXPECT_NE(buildError(damaged).find(std::string("\"") + damaged + "\""), std::string::npos)
            << damaged;
}

// A coordinate read as 0 or as a wrapped huge number would let one feature take the reads of
// genes genome-wide: such a gene or exon line stops the build, naming file, line and field.
TEST(GeneModel, CoordinatesThatAreNotWholeNumbersInRangeStopTheBuild) {
    ScratchDir dir;
    const std::string good = gtfLine("chr1", "gene", 100, 200, '+', geneAttributes("G", "A"));
    for (const char* bad : {"abc", "-100", "", "0", "12x", " 5", "99999999999999999999"}) {
        for (bool start : {true, false}) {
            std::string line = "chr1\tt\texon\t" + std::string(start ? bad : "100") + "\t" +
                               (start ? "200" : bad) + "\t.\t+\t.\tgene_id \"G\";\n";
            writeFile("bad.gtf", good + "# comment\n" + line);
            EXPECT_EQ(buildError("bad.gtf"), "The GTF file \"bad.gtf\", line 3: the " +
                                                 std::string(start ? "start" : "end") + " \"" +
                                                 bad +
                                                 "\" of the exon line is not a whole number "
                                                 "from 1 to 1000000000000000");
        }
    }
    // Lines of other feature types are not read for the model.
    writeFile("other.gtf", good + "chr1\tt\tCDS\tabc\t-1\t.\t+\t.\tgene_id \"G\";\n");
    EXPECT_EQ(buildError("other.gtf"), "");
}
