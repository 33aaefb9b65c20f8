// Where the driver cuts a BAM into parts, and workers on those parts, read where they lie.
// Workers at work, together, are the whole runs of the golden test, which also run under
// ThreadSanitizer; reads as aligners and samtools leave them are its variants, damaged inputs the
// failure table's rows.
#include <gtest/gtest.h>

#include <htslib/bgzf.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "TestSupport.h"
#include "annotation/AnnotationWorker.h"
#include "annotation/Semaphore.h"
#include "driver/BamCuts.h"
#include "driver/LibraryAnnotation.h"
#include "metrics/LibraryMetrics.h"
#include "outputs/ReadAnnotationFiles.h"
#include "support/EarlyTerminate.h"

namespace {

// A read's records as the aligner leaves them: three alignments every fifth read, unmapped reads
// (no reference) every seventh, tags of each kind; 200 bases, so a read spans several blocks of
// the cut writer.
std::vector<std::string> alignerRecords(size_t count) {
    std::vector<std::string> lines;
    for (int i = 0; lines.size() < count; ++i) {
        int nh = i % 5 == 2 ? 3 : i % 7 == 3 ? 0 : 1;
        std::string seq(200, "ACGT"[i % 4]), qual(200, "F#"[i % 2]);
        std::string tags = "NH:i:" + std::to_string(nh) + "\tXB:B:s,1,-2," + std::to_string(i) +
                           "\tXZ:Z:r" + std::to_string(i) + "\tXf:f:1.5";
        std::string name = "r" + std::to_string(i) + ";1;ACGTACGT";
        if (nh == 0)
            lines.push_back(samLine(name, 4, "*", 0, "*", tags, seq, qual));
        for (int k = 0; k < nh; ++k)
            lines.push_back(samLine(name, k ? 256 : 0, "chr1", 1011 + k, "200M", tags, seq, qual));
    }
    return lines;
}

// The read name of every record of a BAM, cell and UMI dropped (the annotated BAMs have none).
std::vector<std::string> readNames(const std::string& bam) {
    std::vector<std::string> names;
    for (const std::string& line : readBamAsSam(bam))
        names.push_back(line.substr(0, line.find_first_of(";\t")));
    return names;
}

// Annotates part into out.bam; the names of its records. The run's failures go to failures when
// given, else there must be none.
std::vector<std::string> annotatePart(const BamPart& part, ProgressCounter& progress,
                                      std::vector<std::string>* failures = nullptr) {
    BuiltModel model(standardGtf(true), "human");
    LibraryMetrics metrics("", WTA, ABSEQ_UMI_ONLY, false, {}, {}, "");
    EarlyTerminate record;
    ReadAnnotationFiles files("run", record);
    FeatureCounts counts;
    setSemaphore(gReadSemaphore, 1);
    setSemaphore(gWriteSemaphore, 1);
    annotationMetricsAndCounting(WTA, "out.bam", part, {}, metrics, files, progress, counts,
                                 *model.model, false, false);
    if (failures)
        *failures = record.messages();
    else
        EXPECT_EQ(record.messages(), std::vector<std::string>{});
    return readNames("out.bam");
}

} // namespace

// Wherever the cut search lands in a BAM whose records run over block edges, the first record start
// it recognises is the next true one: the walk over the records' block sizes gives them all.
TEST(BamCuts, TheNextRecordStartIsFoundFromAnyOffset) {
    ScratchDir scratch;
    SamText sam(standardReferences());
    sam.writeBam("in.bam", alignerRecords(300), 1000);
    BGZF* in = bgzf_open("in.bam", "r");
    std::string stream(1 << 22, '\0');
    stream.resize(bgzf_read(in, stream.data(), stream.size()));
    bgzf_close(in);
    std::unique_ptr<sam_hdr_t, void (*)(sam_hdr_t*)> header(sam_hdr_dup(sam.header()),
                                                            sam_hdr_destroy);
    // Past the magic, the header text and the references (name length, name, length).
    auto word = [&stream](size_t at) { return *reinterpret_cast<const uint32_t*>(&stream[at]); };
    size_t records = 12 + word(4);
    for (int k = 0; k < sam_hdr_nref(header.get()); ++k)
        records += 8 + word(records);
    std::vector<size_t> starts;
    for (size_t at = records; at < stream.size(); at += 4 + word(at))
        starts.push_back(at);
    ASSERT_EQ(starts.size(), alignerRecords(300).size());
    const auto* data = reinterpret_cast<const uint8_t*>(stream.data());
    for (size_t from = records; from < stream.size(); from += 37) {
        auto after = std::lower_bound(starts.begin(), starts.end(), from);
        size_t next = after == starts.end() ? stream.size() : *after;
        ASSERT_EQ(from + findBamRecordStart(data + from, stream.size() - from, true, header.get()),
                  next)
            << from;
    }
    // With the end of the data not the end of the file, a record cut short still starts a chain.
    EXPECT_EQ(findBamRecordStart(data + starts[5], starts[7] + 9 - starts[5], false, header.get()),
              0u);
    EXPECT_EQ(findBamRecordStart(data + starts[5], starts[7] + 9 - starts[5], true, header.get()),
              starts[7] + 9 - starts[5]);
}

// Parts cut at shares of the compressed file, in BAMs of HTSlib's blocks (records begin at block
// edges) and of blocks cut anywhere (records and reads over the edges), hold every record once,
// in input order, and never split a read of three records. Many more parts than blocks asked for
// give fewer parts, none empty.
TEST(Worker, PartsCutAtSharesOfTheFileHoldEveryReadOnce) {
    ScratchDir scratch;
    SamText sam(standardReferences());
    std::vector<std::string> lines = alignerRecords(900);
    std::string bam = scratch.file("in.bam"); // the model works in a folder of its own
    for (size_t blockBytes : {0UL, 1000UL, 65280UL}) {
        sam.writeBam(bam, lines, blockBytes);
        std::vector<std::string> expected = readNames(bam);
        for (unsigned long count : {1UL, 2UL, 5UL, 900UL}) {
            std::string what =
                std::to_string(blockBytes) + " bytes a block, " + std::to_string(count) + " parts";
            std::vector<BamPart> parts = partsBetween(bam, readStartCuts(bam, count));
            EXPECT_EQ(parts.size() == count, count < 900) << what;
            // Every record once, in input order, each part beginning with a read's first record.
            std::vector<std::string> all;
            for (const BamPart& part : parts) {
                ProgressCounter progress;
                std::vector<std::string> got = annotatePart(part, progress);
                EXPECT_FALSE(progress.apart.load()) << what << ": " << progress.readApart;
                ASSERT_FALSE(got.empty()) << what;
                if (!all.empty()) {
                    EXPECT_NE(got.front(), all.back()) << what;
                }
                all.insert(all.end(), got.begin(), got.end());
            }
            EXPECT_EQ(all, expected) << what;
        }
    }
    // A cut one byte into a record is caught where the part ends.
    BamPart part = partsBetween(bam, readStartCuts(bam, 2)).front();
    ++part.end;
    ProgressCounter progress;
    std::vector<std::string> failures;
    annotatePart(part, progress, &failures);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("the cut is inside a record"), std::string::npos);
}
