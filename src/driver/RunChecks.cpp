#include "RunChecks.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include <htslib/bgzf.h>

#include "BamCuts.h"
#include "Constants.h"
#include "RunFolder.h"
#include "features/FeatureAssigner.h"
#include "metrics/SeqMetricsReport.h"
#include "outputs/TableSorting.h"
#include "support/Handles.h"
#include "support/Logger.h"
#include "support/SystemError.h"

namespace fs = std::filesystem;

const int FIRST_RECORDS_CHECKED = 200;
const unsigned long MIN_REFERENCE_SAMPLE = 20;
const double OFF_MODEL_REFUSED = 0.95;
const double OFF_MODEL_WARNED = 0.5;

namespace {

// Why path cannot be read as a file, or "" when it can.
std::string unreadable(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errorText(errno);
    struct stat info;
    bool directory = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    close(fd);
    return directory ? errorText(EISDIR) : "";
}

void check_readable(const std::string& kind, const std::string& path) {
    std::string reason = unreadable(path);
    if (!reason.empty())
        throw std::runtime_error("Cannot open the " + kind + " file \"" + path + "\": " + reason);
}

// What in a name for files and reports would make odd file names or break the JSON reports: a
// quote, a backslash or a control character; "" when there is none.
std::string odd_character(const std::string& name) {
    for (char c : name) {
        if (c == '"')
            return "a double quote";
        if (c == '\\')
            return "a backslash";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return "a control character";
    }
    return "";
}

void check_run_base_name(const std::string& name, const std::string& metadataPath) {
    // Every output is named after it, inside the working folder.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw std::runtime_error("The Run_Base_Name \"" + name + "\" of the run metadata \"" +
                                 metadataPath + "\" is not a plain file name");
    std::string odd = odd_character(name);
    if (!odd.empty())
        throw std::runtime_error("The Run_Base_Name \"" + name + "\" of the run metadata \"" +
                                 metadataPath + "\" holds " + odd +
                                 ": it names the outputs and goes into their JSON");
}

void check_library_names(const RunParameters& params, std::vector<std::string>& names) {
    checkBamFileNames(params.bamPaths, params.runBaseName);
    std::map<std::string, std::string> seen; // library name -> BAM path
    for (const std::string& bam : params.bamPaths) {
        std::string name = libraryNameFromBamPath(bam, params.runBaseName);
        std::string odd = odd_character(name);
        if (!odd.empty())
            throw std::runtime_error("The library name \"" + name + "\" of the BAM file \"" + bam +
                                     "\" holds " + odd +
                                     ": it names the annotated BAMs and goes into the reports' "
                                     "JSON; rename the file");
        auto earlier = seen.emplace(name, bam);
        if (!earlier.second)
            throw std::runtime_error("The BAM files \"" + earlier.first->second + "\" and \"" +
                                     bam + "\" give the same library name \"" + name +
                                     "\": their annotated BAMs and report rows would overwrite "
                                     "each other");
        names.push_back(name);
    }
}

void check_output_header(JsonValue& metadata, const std::string& metadataPath) {
    std::string type = metadata.hasMember("Output_Header")
                           ? metadata["Output_Header"].getTypeString()
                           : std::string("undefined");
    if (type == "array" || type == "object")
        return;
    throw std::runtime_error("The run metadata file \"" + metadataPath + "\": Output_Header is " +
                             (type == "undefined" ? std::string("missing") : type) +
                             ", not the list of the report's header lines (Cannot create iterator "
                             "for non-iterable type: " +
                             type + ")");
}

// The prefix is cut by length: a BAM of another run would pass with a mangled library name.
void warn_foreign_bam_names(const RunParameters& params) {
    std::string prefix = params.runBaseName + "_";
    for (const std::string& bam : params.bamPaths) {
        std::string fileName = fs::path(bam).filename().string();
        if (fileName.compare(0, prefix.size(), prefix) != 0)
            gLogger.warning("The BAM file name \"%s\" does not begin with \"%s\", the run's "
                            "Run_Base_Name and \"_\"; its first %lu characters are cut all the "
                            "same to name its library",
                            fileName.c_str(), prefix.c_str(),
                            static_cast<unsigned long>(prefix.size()));
    }
}

// Each library needs its read-quality entry: say which BAM it comes from and what the file has.
void check_quality_entries(JsonValue& quality, const RunParameters& params,
                           const std::vector<std::string>& libraries) {
    if (quality.getType() != JsonValue::OBJECT || !quality.hasMember(READ_QUALITY_METRICS) ||
        quality[READ_QUALITY_METRICS].getType() != JsonValue::OBJECT)
        return; // reported by checkReadQualityMetrics
    JsonValue& entries = quality[READ_QUALITY_METRICS];
    for (size_t k = 0; k < libraries.size(); ++k)
        if (!entries.hasMember(libraries[k]))
            throw std::runtime_error(
                "The Read Quality Metrics json file is missing information for the library: " +
                libraries[k] + ", cannot create the metrics summary file ! The library name \"" +
                libraries[k] + "\" comes from the BAM file \"" + params.bamPaths[k] +
                "\"; the read-quality file \"" + params.qualityMetricsPath +
                "\" has entries for: " + strJoin(entries.keys(), ", "));
}

// Run folders of failed runs are kept for the user to look into; say that they are there.
void warn_unfinished_runs() {
    DIR* folder = opendir(".");
    if (!folder) {
        int error = errno;
        throw systemError(error, "Cannot list the working folder");
    }
    std::vector<std::string> unfinished;
    errno = 0;
    while (dirent* entry = readdir(folder))
        if (std::strncmp(entry->d_name, UNFINISHED_RUN_PREFIX,
                         std::strlen(UNFINISHED_RUN_PREFIX)) == 0)
            unfinished.push_back(entry->d_name);
    int error = errno;
    closedir(folder);
    if (error)
        throw std::system_error(error, std::generic_category(), "Cannot list the working folder");
    std::sort(unfinished.begin(), unfinished.end());
    if (unfinished.empty())
        return;
    // A run killed by SIGKILL leaves its bulk: say how much, and how to free it.
    std::vector<std::string> sized;
    for (const std::string& name : unfinished) {
        std::uintmax_t bytes = 0;
        std::error_code walkError;
        for (fs::recursive_directory_iterator it(name, walkError), end; !walkError && it != end;
             it.increment(walkError))
            if (it->is_regular_file(walkError))
                bytes += it->file_size(walkError);
        char size[32];
        std::snprintf(size, sizeof size, "%.1f MB", static_cast<double>(bytes) / 1e6);
        sized.push_back(name + " (" + size + ")");
    }
    gLogger.warning("The working folder holds the folders of earlier runs that did not "
                    "complete, left as they were: %s. They hold no results; remove them with: "
                    "rm -rf %s",
                    strJoin(sized, ", ").c_str(), strJoin(unfinished, " ").c_str());
}

} // namespace

namespace {

// The first file of that name (as given when it holds a '/', else on PATH) that is a regular
// file and, with mustRun, executable; empty when there is none.
std::string findFile(const std::string& name, bool mustRun) {
    auto found = [mustRun](const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
               (!mustRun || access(path.c_str(), X_OK) == 0);
    };
    if (name.find('/') != std::string::npos)
        return found(name) ? name : "";
    const char* path = std::getenv("PATH");
    for (const std::string& folder : strSplit(path ? path : "", ':')) {
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (found(candidate))
            return candidate;
    }
    return "";
}

// The run's programs, found before anything is touched, as a shell would say they cannot run.
void checkProgram(const std::string& name) {
    if (!findProgram(name).empty())
        return;
    std::string file = findFile(name, false);
    if (!file.empty())
        throw std::runtime_error("cannot run " + name + ": " + errorText(EACCES) + " (" + file +
                                 " is not executable)");
    throw std::runtime_error("cannot run " + name + ": " + errorText(ENOENT) +
                             (name.find('/') == std::string::npos ? " on PATH" : ""));
}

} // namespace

std::string findProgram(const std::string& name) {
    return findFile(name, true);
}

void checkRunInputs(const RunParameters& params, JsonValue& metadata) {
    check_run_base_name(params.runBaseName, params.metadataPath);
    checkFolderHoldsNoOtherRun(".", params.runBaseName);
    std::vector<std::string> libraries;
    check_library_names(params, libraries);
    for (const std::string& bam : params.bamPaths)
        check_readable("BAM", bam);
    check_readable("GTF", params.gtfPath);
    check_readable("transcript-length", params.transcriptLengthPath);
    // A typo here would silently zero the counts of the reads aligned to its references.
    for (const std::string& fasta : params.extraFastaPaths)
        if (!fasta.empty())
            check_readable("extra sequences", fasta);
    check_output_header(metadata, params.metadataPath);
    warn_foreign_bam_names(params);

    JsonValue quality;
    std::string error;
    if (!loadJsonFile(quality, params.qualityMetricsPath.c_str(), &error))
        throw std::runtime_error("Cannot read the read-quality metrics file \"" +
                                 params.qualityMetricsPath + "\": " + error);
    check_quality_entries(quality, params, libraries);
    libraries.push_back("Combined_stats");
    checkReadQualityMetrics(quality, libraries, params.qualityMetricsPath);

    for (const char* program : {"sort", "tar"})
        checkProgram(program);
    sortingMemoryBudget(); // a budget set in the environment must be a number
    warn_unfinished_runs();
}

void makeInputPathsAbsolute(RunParameters& params) {
    auto absolute = [](std::string& path) {
        if (!path.empty())
            path = fs::absolute(path).string();
    };
    absolute(params.metadataPath);
    absolute(params.gtfPath);
    absolute(params.transcriptLengthPath);
    absolute(params.qualityMetricsPath);
    for (std::string& path : params.bamPaths)
        absolute(path);
    for (std::string& path : params.extraFastaPaths)
        absolute(path);
}

namespace {

// At most `most` names of a list, for a message.
std::string some_names(const std::vector<std::string>& names, size_t most = 3) {
    std::vector<std::string> shown(names.begin(), names.begin() + std::min(most, names.size()));
    return "\"" + strJoin(shown, "\", \"") + "\"" + (names.size() > most ? ", ..." : "");
}

// The likely cause when a BAM's reference names miss the annotation's chromosomes.
std::string naming_hint(const std::vector<std::string>& bamNames,
                        const std::set<std::string>& gtfNames) {
    for (const std::string& name : bamNames) {
        bool chr = strStartsWith(name, "chr");
        std::string other = chr ? name.substr(3) : "chr" + name;
        if (!gtfNames.count(other))
            continue;
        const std::string& with = chr ? name : other;
        const std::string& without = chr ? other : name;
        return std::string("The ") + (chr ? "BAM" : "GTF") +
               " names its chromosomes with \"chr\" (" + with + "), the " + (chr ? "GTF" : "BAM") +
               " without (" + without +
               "): use the GTF of the genome the reads were aligned to, or one whose chromosome "
               "names match";
    }
    return "Were the reads aligned to the genome of this annotation?";
}

} // namespace

namespace {

// The share of a BAM's mapped reads that lie on references with no gene in the model, from
// reads sampled across the file: a coordinate-sorted BAM's first reads all lie on its first
// reference, which may be chrM or a scaffold.
struct ReferenceSample {
    unsigned long reads = 0;
    unsigned long offModel = 0;
    std::map<std::string, unsigned long> byReference; // off the model
};

// Primary records of mapped reads, SAMPLE_READS shared out between the places; extra sequences,
// spike-ins and STAR's padding are not the annotation's.
constexpr unsigned long SAMPLE_PLACES = 16, SAMPLE_READS = 4096;

bool isSampled(const bam1_t* record, const FeatureAssigner::HeaderIndex& index,
               const sam_hdr_t* header,
               const std::unordered_set<std::string>& extraReferenceNames) {
    if (record->core.flag & (BAM_FUNMAP | BAM_FSECONDARY | BAM_FSUPPLEMENTARY) ||
        record->core.tid < 0 || static_cast<size_t>(record->core.tid) >= index.slots.size() ||
        index.slots[record->core.tid] == FeatureAssigner::PADDING)
        return false;
    const char* name = sam_hdr_tid2name(header, record->core.tid);
    return !strStartsWith(name, STRING_PHIX174) && !strStartsWith(name, STRING_ERCC_PREFIX) &&
           !extraReferenceNames.count(name);
}

// A read error: a CRAM whose reference cannot be had, or a damaged BAM.
std::runtime_error unreadableRecords(const std::string& path, const htsFile* input) {
    if (input->format.format == cram)
        return std::runtime_error(
            "Cannot read the CRAM file \"" + path +
            "\": the reference sequences it was compressed against cannot be found. Point "
            "REF_PATH (or REF_CACHE) at them, as samtools does, or convert it to BAM first "
            "(samtools view -b -T <reference.fa> -o <file>.bam " +
            path + ")");
    return std::runtime_error("Cannot read the BAM file \"" + path +
                              "\": it is truncated or corrupt");
}

// Samples from firstRecord (-1: where the input stands, in a SAM or CRAM file) and from read
// starts spread over a BAM file.
ReferenceSample sampleReferences(const std::string& path, htsFile* input, sam_hdr_t* header,
                                 int64_t firstRecord, const FeatureAssigner::HeaderIndex& index,
                                 const std::unordered_set<std::string>& extraReferenceNames) {
    std::vector<int64_t> places = readStartCuts(path, SAMPLE_PLACES);
    places.insert(places.begin(), firstRecord);
    ReferenceSample sample;
    const unsigned long perPlace = SAMPLE_READS / places.size();
    BamRecordHandle record(bam_init1());
    for (size_t k = 0; k < places.size(); ++k) {
        int64_t end = k + 1 < places.size() ? places[k + 1] : INT64_MAX;
        if (places[k] >= 0 && bgzf_seek(input->fp.bgzf, places[k], SEEK_SET) < 0)
            throw unreadableRecords(path, input);
        // The end of a coordinate-sorted BAM holds the unmapped reads: read a bounded stretch.
        unsigned long taken = 0, scanned = 0;
        int result = 0;
        while (taken < perPlace && scanned++ < 16 * perPlace &&
               (places[k] < 0 || bgzf_tell(input->fp.bgzf) < end) &&
               (result = sam_read1(input, header, record.get())) >= 0) {
            if (!isSampled(record.get(), index, header, extraReferenceNames))
                continue;
            ++taken;
            if (index.slots[record->core.tid] >= 0)
                continue;
            ++sample.offModel;
            ++sample.byReference[sam_hdr_tid2name(header, record->core.tid)];
        }
        if (result < -1)
            throw unreadableRecords(path, input);
        sample.reads += taken;
    }
    return sample;
}

// "N of M (x.y %)" and the references that take the most, for a message.
std::string describeSample(const ReferenceSample& sample, std::vector<std::string>& offNames) {
    std::vector<std::pair<unsigned long, std::string>> most;
    for (const auto& [name, count] : sample.byReference)
        most.emplace_back(count, name);
    std::sort(most.rbegin(), most.rend());
    std::string text;
    char share[64];
    std::snprintf(share, sizeof share, "%lu of %lu (%.1f %%)", sample.offModel, sample.reads,
                  100.0 * static_cast<double>(sample.offModel) / static_cast<double>(sample.reads));
    text = share;
    for (size_t k = 0; k < most.size(); ++k) {
        offNames.push_back(most[k].second);
        if (k < 3)
            text += std::string(k ? ", " : " lie on references with no gene in the GTF: ") + "\"" +
                    most[k].second + "\" " + std::to_string(most[k].first);
    }
    return text + (most.size() > 3 ? ", ..." : "");
}

// checkBamContents but for the empty BAM's warning; whether the BAM has records.
bool checkBamRecords(const std::string& bamPath, const std::string& gtfPath,
                     const FeatureAssigner& model,
                     const std::unordered_set<std::string>& extraReferenceNames) {
    samFile* input = sam_open(bamPath.c_str(), "r");
    sam_hdr_t* header = input ? sam_hdr_read(input) : nullptr;
    if (!header) {
        if (input)
            hts_close(input);
        throw std::runtime_error("Cannot read the BAM file \"" + bamPath +
                                 "\": it is not a BAM file or has no header");
    }
    HtsFileHandle closeInput(input);
    SamHeaderHandle closeHeader(header);
    int64_t firstRecord = input->format.format == bam ? bgzf_tell(input->fp.bgzf) : -1;
    // Reference names that the annotation should know: not extra sequences, spike-ins or STAR's
    // padding.
    std::vector<std::string> unknown;
    bool meets = false;
    FeatureAssigner::HeaderIndex index = model.indexHeader(header);
    for (size_t tid = 0; tid < index.slots.size() && !meets; ++tid) {
        std::string name = sam_hdr_tid2name(header, static_cast<int>(tid));
        meets = index.slots[tid] >= 0;
        bool spikeIn =
            strStartsWith(name, STRING_PHIX174) || strStartsWith(name, STRING_ERCC_PREFIX);
        if (index.slots[tid] == FeatureAssigner::NOT_IN_MODEL && !spikeIn &&
            !extraReferenceNames.count(name))
            unknown.push_back(name);
    }
    std::vector<std::string> chromosomes(model.chromosomes().begin(), model.chromosomes().end());
    if (!meets && !unknown.empty())
        throw std::runtime_error("None of the reference names of the BAM file \"" + bamPath +
                                 "\" (" + some_names(unknown) +
                                 ") is a chromosome of the GTF file \"" + gtfPath + "\" (" +
                                 some_names(chromosomes) + "), so no read would get a gene. " +
                                 naming_hint(unknown, model.chromosomes()));
    // The first reads show whether the names carry the cell index and UMI at all.
    BamRecordHandle record(bam_init1());
    std::string firstName;
    int read = 0, named = 0, result = 0;
    for (; read < FIRST_RECORDS_CHECKED && (result = sam_read1(input, header, record.get())) >= 0;
         ++read) {
        const char* name = bam_get_qname(record.get());
        if (read == 0)
            firstName = name;
        const char* last = std::strrchr(name, ';');
        named += last && last != name && memrchr(name, ';', static_cast<size_t>(last - name));
    }
    if (result < -1)
        throw unreadableRecords(bamPath, input);
    if (read == 0)
        return false;
    if (named == 0)
        throw std::runtime_error("The reads of the BAM file \"" + bamPath +
                                 "\" carry no cell index and UMI in their names (the first is \"" +
                                 firstName +
                                 "\"); Ambrel reads names of the form "
                                 "<read>;<cell index>;<UMI>, as the pipeline's earlier step writes "
                                 "them");
    // Names that barely meet (one scaffold in common) pass the first check and still leave
    // almost every read without a gene. A GTF without chrM or the scaffolds leaves a few to a few
    // tens of percent off it: almost all is a mismatch, many is worth a word.
    ReferenceSample sample =
        sampleReferences(bamPath, input, header, firstRecord, index, extraReferenceNames);
    if (sample.reads < MIN_REFERENCE_SAMPLE)
        return true;
    double share = static_cast<double>(sample.offModel) / static_cast<double>(sample.reads);
    std::vector<std::string> offNames;
    std::string described = describeSample(sample, offNames);
    if (share >= OFF_MODEL_REFUSED)
        throw std::runtime_error(
            "Of the mapped reads sampled from the BAM file \"" + bamPath + "\", " + described +
            " (the GTF file \"" + gtfPath + "\" has " + some_names(chromosomes) +
            "), so almost no read would get a gene. " + naming_hint(offNames, model.chromosomes()));
    if (share >= OFF_MODEL_WARNED)
        gLogger.warning("Of the mapped reads sampled from the BAM file \"%s\", %s (the GTF file "
                        "\"%s\" has %s): those reads will get no gene",
                        bamPath.c_str(), described.c_str(), gtfPath.c_str(),
                        some_names(chromosomes).c_str());
    return true;
}

// A header-only BAM where the read-quality file counts reads: the wrong BAM, or one cut short by
// a step before.
void warnAboutEmptyBam(const RunParameters& params, const std::string& bamPath) {
    JsonValue quality;
    if (!loadJsonFile(quality, params.qualityMetricsPath.c_str()))
        return; // checked, and refused, before
    std::string library = libraryNameFromBamPath(bamPath, params.runBaseName);
    JsonValue& entry = quality[READ_QUALITY_METRICS][library];
    unsigned long total = static_cast<unsigned long>(entry["Total number of reads"]);
    if (total > 0)
        gLogger.warning("The BAM file \"%s\" holds no reads, while the read-quality file \"%s\" "
                        "gives its library %s %lu reads: is it the right BAM, and whole?",
                        bamPath.c_str(), params.qualityMetricsPath.c_str(), library.c_str(), total);
}

} // namespace

void checkBamContents(const RunParameters& params, const std::string& bamPath,
                      const FeatureAssigner& model,
                      const std::unordered_set<std::string>& extraReferenceNames) {
    if (!checkBamRecords(bamPath, params.gtfPath, model, extraReferenceNames))
        warnAboutEmptyBam(params, bamPath);
}
