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
