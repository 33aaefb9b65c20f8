#include <gtest/gtest.h>

#include "TestSupport.h"
#include "features/FastaFile.h"

using Names = std::unordered_set<std::string>;

// Names are the identifier up to its first blank, whatever the line ends; unreadable files, empty
// paths and text before the first header add none.
TEST(FastaHeaders, NamesAreTheIdentifierUpToItsFirstBlank) {
    ScratchDir dir;
    writeFile("a.fa", "junk before any header\n>chr_extra some description\nACGT\n>  spaced\nAC\n"
                      ">pAbO-CD4|ENSG|CD4 extra\nTT\n");
    writeFile("b.fa", ">chr_extra\nGG\n>win\r\nAC\r\nGT\r\n");
    writeFile("noheader.fa", "ACGT\nACGT\n");
    Names names;
    getFastaHeaders(names, {"a.fa", "", "b.fa", "noheader.fa", "missing.fa"});
    EXPECT_EQ(names, (Names{"chr_extra", "spaced", "pAbO-CD4|ENSG|CD4", "win"}));
}

TEST(FastaFile, SequencesAreNormalisedAndDuplicatesKept) {
    ScratchDir dir;
    writeFile("d.fa", ">x\nac gt-1*\r\n\nNN\n>x\nTT\n>\xc3\xa9y\nA\n");
    FastaFile all;
    all.readFile("d.fa", true);
    EXPECT_EQ(all.identifiers, (std::set<std::string>{"x", "y"}));
    ASSERT_EQ(all.sequences["x"].size(), 2u);
    EXPECT_EQ(all.sequences["x"][0].sequence, "acgt-*NN");
    EXPECT_EQ(all.sequences["x"][1].sequence, "TT");
}
