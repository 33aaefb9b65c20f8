#include "Constants.h"

const char* const STRING_NOT_ALIGNED = "__not_aligned";
const char* const STRING_NO_FEATURE = "__no_feature";
const char* const STRING_INTERGENIC = "__intergenic";
const char* const STRING_AMBIGUOUS = "__ambiguous";
const char* const STRING_STAR_PADDING_REFERENCE = "STARReferenceCPadding";

const char* const TAG_FEATURE = "XF";
const char* const TAG_CL_NAME = "CB";
const char* const TAG_UMI_NAME = "MR";
const char* const TAG_TRANSCRIPT_NAME = "TR";
const char* const TAG_FRAGMENT_LENGTH = "TF";

const std::unordered_set<std::string> SET_STRING_HUMAN_C_GENES = {
    "IGHA1", "IGHA2", "IGHD",  "IGHE",  "IGHG1", "IGHG2", "IGHG3",
    "IGHG4", "IGHM",  "IGKC",  "IGLC1", "IGLC2", "IGLC3", "IGLC6",
    "IGLC7", "TRAC",  "TRBC1", "TRBC2", "TRDC",  "TRGC1", "TRGC2"};

const std::unordered_set<std::string> SET_STRING_MOUSE_C_GENES = {
    "Igha",  "Ighg1", "Ighg2a", "Ighg2b", "Ighg2c", "Ighe",  "Ighm",  "Ighd",  "Igkc",  "Iglc1",
    "Iglc2", "Iglc3", "Trac",   "Trbc1",  "Trbc2",  "Trgc1", "Trgc2", "Trgc3", "Trgc4", "Trdc"};

const char* const STRING_PHIX174 = "phiX174";
const char* const STRING_ERCC_PREFIX = "ERCC-00";
const char* const TAG_NUMBER_ALIGNMENTS = "NH";

const std::vector<std::string> WTA_ALIGNMENT_TYPES = {"Mapped_to_Genes_mRNA",
                                                      "Mapped_to_Genes_AbSeq",
                                                      "Mapped_to_Genes_SMK",
                                                      "Mapped_to_Genes_VDJ_TCR",
                                                      "Mapped_to_Genes_VDJ_BCR",
                                                      "Unaligned",
                                                      "Not_Unique",
                                                      "Other",
                                                      "Other_No_Feature",
                                                      "Other_Ambiguous",
                                                      "Other_Introns",
                                                      "Other_Antisense",
                                                      "Other_Antisense_Exons",
                                                      "Other_Antisense_Introns",
                                                      "Other_Intergenic"};

namespace {

std::vector<std::string> alignment_category_columns() {
    std::vector<std::string> columns = {"Cellular_Reads"};
    for (const std::string& category : WTA_ALIGNMENT_TYPES) {
        columns.push_back("Cellular_Reads_" + category);
        columns.push_back("Pct_Cellular_" + category);
    }
    columns.push_back("Library");
    return columns;
}

} // namespace

const std::map<std::string, std::pair<std::string, std::vector<std::string>>>
    METRICS_SEGMENT_COLUMN_HEADER_MAP = {
        {"#Read_Filtering#",
         {"filter_stats",
          {"Num_Reads_in_FASTQ", "Num_Read_Pair_non_Overlap", "Pct_Read_Pair_Overlap",
           "Num_Reads_After_Length_Filter", "Pct_Len_Filter", "Num_Reads_After_Q20_Filter",
           "Pct_Qual_Filter", "Num_Reads_After_SNF_Filter", "Pct_SNF_Filter",
           "Num_Reads_After_Combined_Filter", "Pct_Discarded_by_All_Filters",
           "Pct_Q30_Bases_in_Filtered_R2", "Library"}}},
        {"#Sequencing#",
         {"read_stats",
          {"Total_Reads", "Cellular_Reads", "Pct_Cellular", "Cellular_Reads_Aligned_Uniquely",
           "Pct_Cellular_Reads_Aligned_Uniquely", "Useful_Reads", "Pct_Useful", "Library"}}},
        {"#Alignment_Categories#", {"map_stats", alignment_category_columns()}},
        {"#Sample_Tags#",
         {"tag_stats",
          {"Total_Reads", "Useful_Reads", "Pct_Useful", "Cellular_Reads", "Pct_Cellular",
           "Reads_with_Correct_Start_Position", "Pct_Correct_Start",
           "Reads_Passing_Alignment_Length", "Pct_Align_Len",
           "Final_Useful_Reads_After_Subsampling", "Library"}}},
        {"#VDJ#",
         {"vdj_stats",
          {"Total_Reads", "Cellular_Reads", "Pct_Cellular", "Cellular_VDJ_Filtered_Reads",
           "Pct_Cellular_VDJ_Filtered", "Cellular_VDJ_BCR_Filtered_Reads",
           "Pct_Cellular_VDJ_BCR_Filtered", "Cellular_VDJ_TCR_Filtered_Reads",
           "Pct_Cellular_VDJ_TCR_Filtered", "Library"}}}};

const std::vector<std::string> METRICS_SEGMENT_ORDERING = {
    "#Read_Filtering#", "#Sequencing#", "#Alignment_Categories#", "#Sample_Tags#", "#VDJ#"};
