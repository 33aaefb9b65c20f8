#include <gtest/gtest.h>

#include "TestSupport.h"
#include "support/LibraryName.h"
#include "support/Logger.h"

TEST(LibraryName, FromFileNames) {
    EXPECT_EQ(getLibraryName("lib_Aligned.sortedByCoord.out.bam"), "lib_Aligned");
    EXPECT_EQ(getLibraryName("path/to/S1_L001_R1_001.fastq.gz"), "S1");
    EXPECT_EQ(getLibraryName("Sample_S12_L003_R2_001.fastq.gz"), "Sample");
    EXPECT_EQ(getLibraryName("dir/"), "DefaultName");
    EXPECT_EQ(getLibraryName("FASTQ.a.b"), "DefaultName");
    EXPECT_EQ(getLibraryName("_-_.a.b"), "DefaultName");
}
