// labels: unit
// The image store: folder and file names per module, version order, versions in file names,
// the newest-file search in real directories (names in any case), and the path operations.
#include "firmware/image_store.h"
#include "firmware/paths.h"

#include "fw_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace firmware;

namespace {

// ---------------------------------------------------------------------------------------------
// GetImageNames

struct NamesCase {
    uint8_t family, platform, generation;
    const char* folder; // below the images root; nullptr: no images
    const char* firmware;
    const char* boot;
};

class ImageNamesTable : public testing::TestWithParam<NamesCase> {};

TEST_P(ImageNamesTable, FolderAndFiles) {
    const NamesCase& c = GetParam();
    const std::string program = "/nonexistent-tessan-test/bin/";
    ImageNames names;
    names.firmwareName = "stale";
    const bool has = GetImageNames(program, c.family, c.platform, c.generation, names);
    const std::string what = "family " + std::to_string(c.family) + " platform " +
                             std::to_string(c.platform) + " generation " +
                             std::to_string(c.generation);
    EXPECT_EQ(names.imagesRoot, program + "images/") << what;
    if (!c.folder) {
        EXPECT_FALSE(has) << what;
        EXPECT_EQ(names.folder, program + "images/") << what;
        EXPECT_EQ(names.firmwareName, "") << what;
        EXPECT_EQ(names.bootLoaderName, "") << what;
        return;
    }
    EXPECT_TRUE(has) << what;
    EXPECT_EQ(names.folder, program + "images/" + c.folder) << what;
    EXPECT_EQ(names.firmwareName, c.firmware) << what;
    EXPECT_EQ(names.bootLoaderName, c.boot) << what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageNamesTable,
    testing::Values(NamesCase{0, 10, 0, "r1q-nbx/", "r1qnbx.bin", "boot.bin"},
                    NamesCase{0, 10, 1, "r1q-nbx100/", "r1qnbx100.bin", "boot100.bin"},
                    NamesCase{0, 2, 0, "q2-nbx/", "q2nbx.bin", "boot.bin"},
                    NamesCase{0, 4, 1, "q4-nbx100/", "q4nbx100.bin", "boot100.bin"},
                    NamesCase{0, 0, 0, "q0-nbx/", "q0nbx.bin", "boot.bin"},
                    NamesCase{0, 2, 2, "q2-nbx/", "q2nbx.bin",
                              "boot.bin"}, // second only when the flag is 1
                    NamesCase{1, 10, 0, "q10-lcm/", "q10lcm.bin", "boot.bin"},
                    NamesCase{1, 2, 0, "q2-lcm/", "q2lcm.bin", "boot.bin"},
                    NamesCase{1, 2, 1, "q2-lcm100/", "q2lcm100.bin", "boot100.bin"},
                    NamesCase{1, 3, 1, "q3-lcm100/", "q3lcm100.bin", "boot100.bin"},
                    NamesCase{3, 1, 0, "ha-dvx2/", "hadvx2.bin", "boot.bin"},
                    NamesCase{3, 2, 1, "ha-dvx1/", "hadvx1.bin", "boot.bin"},
                    NamesCase{3, 3, 0, "ha-dvx3/", "hadvx3.bin", "boot.bin"},
                    NamesCase{3, 4, 1, "gs-dvx/", "gsdvx.bin", "boot.bin"},
                    NamesCase{3, 0, 0, nullptr, nullptr, nullptr},
                    NamesCase{3, 5, 0, nullptr, nullptr, nullptr},
                    NamesCase{4, 3, 0, "q3-mtr/", "q3mtr.bin", "boot.bin"},
                    NamesCase{4, 10, 1, "q10-mtr100/", "q10mtr100.bin", "boot100.bin"},
                    NamesCase{7, 10, 0, "r1q-fbs/", "r1qfbs.bin", "pbusboot.bin"},
                    NamesCase{7, 10, 1, "r1q-fbs/", "r1qfbs.bin", "pbusboot.bin"},
                    NamesCase{7, 2, 1, "q2-fbs/", "q2fbs.bin", "pbusboot.bin"},
                    NamesCase{8, 10, 1, "r1q-fbsc/", "r1qfbsc.bin", "pbusboot.bin"},
                    NamesCase{8, 4, 0, "q4-fbsc/", "q4fbsc.bin", "pbusboot.bin"},
                    NamesCase{2, 2, 0, nullptr, nullptr, nullptr},
                    NamesCase{5, 2, 0, nullptr, nullptr, nullptr},
                    NamesCase{6, 1, 0, nullptr, nullptr, nullptr},
                    NamesCase{9, 2, 0, nullptr, nullptr, nullptr},
                    NamesCase{0xFF, 2, 0, nullptr, nullptr, nullptr}));

TEST(GetImageNames, RootIsBesideTheProgram) {
    ImageNames names;
    ASSERT_TRUE(GetImageNames(1, 2, 1, names));
    EXPECT_EQ(names.imagesRoot, GetProgramFolder() + "images/");
    EXPECT_EQ(names.folder, GetProgramFolder() + "images/q2-lcm100/");
}

TEST(GetImageNames, ExistingFoldersComeBackInTheirOwnCase) {
    fwtest::TempDir dir;
    std::filesystem::create_directories(dir / "Images/Q2-LCM100");
    ImageNames names;
    ASSERT_TRUE(GetImageNames(dir.path(), 1, 2, 1, names));
    EXPECT_EQ(names.imagesRoot, dir / "Images/");
    EXPECT_EQ(names.folder, dir / "Images/Q2-LCM100/");
    EXPECT_EQ(ImagesRoot(dir.path()), dir / "Images/");
    // A folder not there yet keeps the lower-case form below the existing root.
    ASSERT_TRUE(GetImageNames(dir.path(), 0, 10, 0, names));
    EXPECT_EQ(names.folder, dir / "Images/r1q-nbx/");
    EXPECT_FALSE(PathExists(names.folder));
}

// ---------------------------------------------------------------------------------------------
// Versions

struct CompareCase {
    VersionTriple a, b;
    int result;
};

class CompareVersionsTable : public testing::TestWithParam<CompareCase> {};

TEST_P(CompareVersionsTable, Orders) {
    const CompareCase& c = GetParam();
    EXPECT_EQ(CompareVersions(c.a, c.b), c.result)
        << VersionText(c.a) << " vs " << VersionText(c.b);
    EXPECT_EQ(CompareVersions(c.b, c.a), -c.result);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompareVersionsTable,
                         testing::Values(CompareCase{{4, 0, 300}, {4, 1, 0}, -1},
                                         CompareCase{{4, 1, 0}, {4, 1, 0}, 0},
                                         CompareCase{{5, 0, 0}, {4, 255, 65535}, 1},
                                         CompareCase{{4, 1, 2}, {4, 1, 1}, 1},
                                         CompareCase{{0, 0, 0}, {0, 0, 1}, -1},
                                         // unsigned: 200 is above 100, 40000 above 30000
                                         CompareCase{{200, 0, 0}, {100, 0, 0}, 1},
                                         CompareCase{{1, 200, 0}, {1, 100, 0}, 1},
                                         CompareCase{{1, 1, 40000}, {1, 1, 30000}, 1},
                                         CompareCase{{255, 255, 65535}, {255, 255, 65535}, 0}));

TEST(VersionText, MajorMinorBuild) {
    EXPECT_EQ(VersionText({4, 0, 1234}), "4.0.1234");
    EXPECT_EQ(VersionText({255, 255, 65535}), "255.255.65535");
}

struct NameVersionCase {
    const char* name;
    bool valid;
    VersionTriple version;
};

class VersionFromFileNameTable : public testing::TestWithParam<NameVersionCase> {};

TEST_P(VersionFromFileNameTable, Reads) {
    VersionTriple v{9, 9, 9};
    EXPECT_EQ(VersionFromFileName(GetParam().name, v), GetParam().valid) << GetParam().name;
    if (GetParam().valid) {
        EXPECT_EQ(v, GetParam().version) << GetParam().name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionFromFileNameTable,
    testing::Values(NameVersionCase{"q2lcm_4_0_1234.bin", true, {4, 0, 1234}},
                    NameVersionCase{"q2lcm_4_1.bin", true, {4, 1, 0}},
                    NameVersionCase{"q2lcm_4.bin", true, {0, 0, 0}},
                    NameVersionCase{"q2lcm.bin", true, {0, 0, 0}},
                    NameVersionCase{"q2lcm__1_2.bin", true, {0, 1, 2}},
                    NameVersionCase{"q2lcm_4x_1y_7z.bin", true, {4, 1, 7}},
                    NameVersionCase{"q2lcm_a_b_c.bin", true, {0, 0, 0}},
                    NameVersionCase{"q2lcm_4_1_2_9.bin", true, {4, 1, 2}},
                    NameVersionCase{"boot100_3_0_77.bin", true, {3, 0, 77}},
                    NameVersionCase{"q2lcm_255_255_65535.bin", true, {255, 255, 65535}},
                    // numbers beyond their fields are not versions (no silent truncation)
                    NameVersionCase{"q2lcm_256_0_0.bin", false, {}},
                    NameVersionCase{"q2lcm_1_256_0.bin", false, {}},
                    NameVersionCase{"q2lcm_1_0_65536.bin", false, {}},
                    NameVersionCase{"q2lcm_99999999999999999999999_0_0.bin", false, {}}));

// ---------------------------------------------------------------------------------------------
// FindNewestImage in real folders

void touch(const std::string& path) {
    fwtest::writeText(path, "x");
}

struct NewestCase {
    const char* what;
    std::vector<const char*> files;
    const char* defaultName;
    const char* chosen; // nullptr: nothing chosen
    VersionTriple version;
};

class FindNewestImageTable : public testing::TestWithParam<NewestCase> {};

TEST_P(FindNewestImageTable, Chooses) {
    const NewestCase& c = GetParam();
    fwtest::TempDir dir;
    for (const char* f : c.files)
        touch(dir / f);
    std::string name = c.defaultName;
    VersionTriple v{7, 7, 7};
    const bool found = FindNewestImage(dir.path(), name, &v);
    if (!c.chosen) {
        EXPECT_FALSE(found) << c.what;
        EXPECT_EQ(name, c.defaultName) << c.what;
        EXPECT_EQ(v, (VersionTriple{7, 7, 7})) << c.what;
        return;
    }
    EXPECT_TRUE(found) << c.what;
    EXPECT_EQ(name, c.chosen) << c.what;
    EXPECT_EQ(v, c.version) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindNewestImageTable,
    testing::Values(
        NewestCase{"newest of three",
                   {"q2lcm_4_0_10.bin", "q2lcm_4_1_2.bin", "q2lcm_3_9_99.bin"},
                   "q2lcm.bin",
                   "q2lcm_4_1_2.bin",
                   {4, 1, 2}},
        NewestCase{"default name only", {"q2lcm.bin"}, "q2lcm.bin", nullptr, {}},
        NewestCase{"two parts count", {"q2lcm_4_1.bin"}, "q2lcm.bin", "q2lcm_4_1.bin", {4, 1, 0}},
        NewestCase{"one part is no version", {"q2lcm_4.bin"}, "q2lcm.bin", nullptr, {}},
        NewestCase{"0.0.0 never chosen", {"q2lcm_0_0_0.bin"}, "q2lcm.bin", nullptr, {}},
        NewestCase{"stem cut to 7 matches a sibling",
                   {"q2lcm105_1_0_0.bin"},
                   "q2lcm100.bin",
                   "q2lcm105_1_0_0.bin",
                   {1, 0, 0}},
        NewestCase{"boot* also matches boot100",
                   {"boot_2_0_0.bin", "boot100_3_0_0.bin"},
                   "boot.bin",
                   "boot100_3_0_0.bin",
                   {3, 0, 0}},
        NewestCase{"other extension ignored",
                   {"q2lcm_9_0_0.hex", "q2lcm_1_0_0.bin"},
                   "q2lcm.bin",
                   "q2lcm_1_0_0.bin",
                   {1, 0, 0}},
        NewestCase{"other stem ignored", {"q3lcm_9_0_0.bin"}, "q2lcm.bin", nullptr, {}},
        NewestCase{"case does not matter",
                   {"Q2LCM_5_0_1.BIN", "q2lcm_5_0_0.bin"},
                   "q2lcm.bin",
                   "Q2LCM_5_0_1.BIN",
                   {5, 0, 1}},
        NewestCase{"equal versions: first in name order",
                   {"q2lcm_4_1_2.bin", "q2lcm_04_01_02.bin"},
                   "q2lcm.bin",
                   "q2lcm_04_01_02.bin",
                   {4, 1, 2}},
        NewestCase{"out-of-range version skipped",
                   {"q2lcm_300_0_0.bin", "q2lcm_2_0_0.bin"},
                   "q2lcm.bin",
                   "q2lcm_2_0_0.bin",
                   {2, 0, 0}},
        NewestCase{"build compared as a number",
                   {"q2lcm_4_1_9.bin", "q2lcm_4_1_10.bin"},
                   "q2lcm.bin",
                   "q2lcm_4_1_10.bin",
                   {4, 1, 10}}));

TEST(FindNewestImage, FolderInAnyCaseAndNoVersionOut) {
    fwtest::TempDir dir;
    touch(dir / "Images/Q2-LCM/q2lcm_4_2_0.bin");
    std::string name = "q2lcm.bin";
    EXPECT_TRUE(FindNewestImage(dir / "images/q2-lcm/", name));
    EXPECT_EQ(name, "q2lcm_4_2_0.bin");
}

TEST(FindNewestImage, MissingFolderAndDirectoriesAreNotChosen) {
    fwtest::TempDir dir;
    std::string name = "q2lcm.bin";
    EXPECT_FALSE(FindNewestImage(dir / "nothing-here/", name));
    EXPECT_EQ(name, "q2lcm.bin");
    std::filesystem::create_directories(dir / "q2lcm_9_9_9.bin");
    EXPECT_FALSE(FindNewestImage(dir.path(), name));
    EXPECT_EQ(name, "q2lcm.bin");
}

// ---------------------------------------------------------------------------------------------
// Paths

struct SplitCase {
    const char* path;
    const char* directory;
    const char* fileName;
    const char* extension;
    bool dot;
};

class SplitPathTable : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitPathTable, SplitsAndRejoins) {
    const SplitCase& c = GetParam();
    PathParts p = SplitPath(c.path);
    EXPECT_EQ(p.drive, "") << c.path;
    EXPECT_EQ(p.directory, c.directory) << c.path;
    EXPECT_EQ(p.fileName, c.fileName) << c.path;
    EXPECT_EQ(p.extension, c.extension) << c.path;
    EXPECT_EQ(p.dot, c.dot) << c.path;
    EXPECT_EQ(JoinPath(p), c.path);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitPathTable,
                         testing::Values(SplitCase{"/opt/t3/images/q2-lcm/q2lcm.bin",
                                                   "/opt/t3/images/q2-lcm/", "q2lcm", "bin", true},
                                         SplitCase{"q2lcm.bin", "", "q2lcm", "bin", true},
                                         SplitCase{"/opt/t3/", "/opt/t3/", "", "", false},
                                         SplitCase{"/a.b/file", "/a.b/", "file", "", false},
                                         SplitCase{"/x/archive.tar.gz", "/x/", "archive.tar", "gz",
                                                   true},
                                         SplitCase{"/x/name.", "/x/", "name", "", true},
                                         SplitCase{"/x/.hidden", "/x/", "", "hidden", true},
                                         SplitCase{"rel/dir/f.bin", "rel/dir/", "f", "bin", true},
                                         SplitCase{"", "", "", "", false}));

struct PathOpCase {
    const char* input;
    const char* argument;
    const char* expected;
};

class SetFileNameTable : public testing::TestWithParam<PathOpCase> {};
TEST_P(SetFileNameTable, ReplacesTheName) {
    EXPECT_EQ(SetFileName(GetParam().input, GetParam().argument), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, SetFileNameTable,
    testing::Values(PathOpCase{"/opt/images/q2-lcm/", "q2lcm.bin", "/opt/images/q2-lcm/q2lcm.bin"},
                    PathOpCase{"/opt/images/old.bin", "new.bin", "/opt/images/new.bin"},
                    PathOpCase{"old.bin", "new.bin", "new.bin"}, PathOpCase{"/opt/", "", "/opt/"}));

class AppendToStemTable : public testing::TestWithParam<PathOpCase> {};
TEST_P(AppendToStemTable, CutsToEight) {
    EXPECT_EQ(AppendToStem(GetParam().input, GetParam().argument), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, AppendToStemTable,
                         testing::Values(PathOpCase{"/i/q2lcm100.bin", "*", "/i/q2lcm10*.bin"},
                                         PathOpCase{"/i/q2lcm.bin", "*", "/i/q2lcm*.bin"},
                                         PathOpCase{"/i/boot.bin", "*", "/i/boot*.bin"},
                                         PathOpCase{"/i/r1qnbx100.bin", "*", "/i/r1qnbx1*.bin"},
                                         PathOpCase{"/i/abcdefghij.bin", "XY", "/i/abcdefXY.bin"},
                                         PathOpCase{"/i/abc.bin", "123456789", "/i/12345678.bin"},
                                         PathOpCase{"/i/abc", "*", "/i/abc*"}));

class AppendSubfolderTable : public testing::TestWithParam<PathOpCase> {};
TEST_P(AppendSubfolderTable, AppendsToTheDirectory) {
    EXPECT_EQ(AppendSubfolder(GetParam().input, GetParam().argument), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, AppendSubfolderTable,
    testing::Values(PathOpCase{"/opt/t3/", "Images", "/opt/t3/Images/"},
                    PathOpCase{"/opt/t3/", "Images/", "/opt/t3/Images/"},
                    PathOpCase{"/opt/t3/Images/", "q2-lcm", "/opt/t3/Images/q2-lcm/"},
                    PathOpCase{"/opt/t3/list.txt", "sub", "/opt/t3/sub/list.txt"},
                    // relative paths stay relative
                    PathOpCase{"list.txt", "sub", "sub/list.txt"},
                    PathOpCase{"rel/", "sub", "rel/sub/"}));

TEST(FileNamePart, NameDotExtension) {
    EXPECT_EQ(FileNamePart("/opt/images/q2lcm_4_1_2.bin"), "q2lcm_4_1_2.bin");
    EXPECT_EQ(FileNamePart("/opt/images/"), "");
    EXPECT_EQ(FileNamePart("name."), "name.");
}

struct WildcardCase {
    const char* pattern;
    const char* name;
    bool matches;
};
class WildcardTable : public testing::TestWithParam<WildcardCase> {};
TEST_P(WildcardTable, Matches) {
    EXPECT_EQ(WildcardMatchNoCase(GetParam().pattern, GetParam().name), GetParam().matches)
        << GetParam().pattern << " ~ " << GetParam().name;
}
INSTANTIATE_TEST_SUITE_P(
    Cases, WildcardTable,
    testing::Values(WildcardCase{"q2lcm10*.bin", "q2lcm100_4_0_1.bin", true},
                    WildcardCase{"q2lcm10*.bin", "Q2LCM100.BIN", true},
                    WildcardCase{"q2lcm10*.bin", "q2lcm100.bin.bak", false},
                    WildcardCase{"q2lcm10*.bin", "q2lcm1.bin", false}, WildcardCase{"*", "", true},
                    WildcardCase{"a?c", "abc", true}, WildcardCase{"a?c", "ac", false},
                    WildcardCase{"*.bin", ".bin", true}, WildcardCase{"a*b*c", "axxbyyc", true},
                    WildcardCase{"a*b*c", "axxbyy", false}));

TEST(ResolvePath, FindsEachComponentInAnyCase) {
    fwtest::TempDir dir;
    touch(dir / "Images/Q2-LCM/Q2LCM.BIN");
    EXPECT_EQ(ResolvePath(dir / "images/q2-lcm/q2lcm.bin"), dir / "Images/Q2-LCM/Q2LCM.BIN");
    EXPECT_EQ(ResolvePath(dir / "IMAGES/q2-lcm/"), dir / "Images/Q2-LCM/");
    // The existing part is resolved, the rest kept as given.
    EXPECT_EQ(ResolvePath(dir / "images/q3-lcm/x.bin"), dir / "Images/q3-lcm/x.bin");
    // An exact match wins over another case.
    touch(dir / "images/other.bin");
    EXPECT_EQ(ResolvePath(dir / "images/other.bin"), dir / "images/other.bin");
    EXPECT_EQ(ResolvePath(dir / "IMAGES/q2-lcm/"), dir / "Images/Q2-LCM/"); // first by name
}

TEST(PathExists, ExistingPathsInAnyCase) {
    fwtest::TempDir dir;
    touch(dir / "Images/q2lcm.bin");
    EXPECT_TRUE(PathExists(dir.path()));
    EXPECT_TRUE(PathExists(dir / "images/"));
    EXPECT_TRUE(PathExists(dir / "images"));
    EXPECT_TRUE(PathExists(dir / "IMAGES/Q2LCM.bin"));
    EXPECT_FALSE(PathExists(dir / "images/q3lcm.bin"));
    EXPECT_FALSE(PathExists(dir / "missing/"));
}

TEST(GetProgramFolder, IsTheDirectoryOfThisExecutable) {
    const std::string folder = GetProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.back(), '/');
    struct stat st {};
    EXPECT_EQ(stat((folder + "firmware_image_store_test").c_str(), &st), 0) << folder;
}

} // namespace
