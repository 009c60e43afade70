// How several files are spread over associations, and how a tree of paths becomes files.

#include "StoreFiles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using testsupport::TempDir;

namespace {

StoreFileEntry entry(const std::string& sopClass, const std::string& ts = ExplicitLittleEndian) {
    StoreFileEntry e;
    e.FileName = sopClass;
    e.SopClassUID = sopClass;
    e.TransferSyntaxUID = ts;
    e.Exists = true;
    return e;
}

} // namespace

// Repeated classes share a context; a new association starts only with the context that would
// be one too many; files that are not DICOM are in none; the file order stays.
TEST(StoreFilesPlan, ContextsDecideTheAssociations) {
    std::vector<StoreFileEntry> files = {entry("1.1"),
                                         entry("1.2"),
                                         entry("1.1"),
                                         entry(""),
                                         entry("1.3"),
                                         entry("1.2"),
                                         entry("1.1", ImplicitLittleEndian),
                                         entry("1.4")};
    using Groups = std::vector<std::vector<std::size_t>>;
    EXPECT_EQ(PlanStoreAssociations(files, 128), (Groups{{0, 1, 2, 4, 5, 6, 7}}));
    // 1.1 in its two syntaxes are two contexts.
    EXPECT_EQ(PlanStoreAssociations(files, 4), (Groups{{0, 1, 2, 4, 5, 6}, {7}}));
    EXPECT_EQ(PlanStoreAssociations(files, 2), (Groups{{0, 1, 2}, {4, 5}, {6, 7}}));
    EXPECT_EQ(PlanStoreAssociations({entry(""), entry("")}, 128), Groups{});
    // A syntax that no accepted context could carry is not proposed as the alternative.
    EXPECT_EQ(StoreContextFor(entry("1.1", "1.2.840.10008.1.2.5")).OtherTransferSyntax, "");
}

TEST(StoreFilesPlan, DirectoriesExpandRecursivelyInNameOrder) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "b" / "c");
    for (const char* name : {"b/z", "b/c/y", "a", "b/a"})
        testsupport::writeFileBytes(dir.path() / name, std::vector<uint8_t>{1});
    std::string root = dir.path().string();
    EXPECT_EQ(ExpandStorePaths({root + "/b", root + "/a", root + "/none"}),
              (std::vector<std::string>{root + "/b/a", root + "/b/c/y", root + "/b/z", root + "/a",
                                        root + "/none"}));
    StoreFileEntry missing = InspectStoreFile(root + "/none");
    EXPECT_FALSE(missing.Exists);
    StoreFileEntry text = InspectStoreFile(root + "/a");
    EXPECT_TRUE(text.Exists);
    EXPECT_EQ(text.SopClassUID, "");
    EXPECT_EQ(text.Size, 1u);
}
