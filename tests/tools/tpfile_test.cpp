// The TP reader: a file as the writer writes it, its escapes and labels, damaged files with the
// line and what was expected, and the differences between two files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tpfile.h"

namespace {

// Two blocks: a category block and an ordinary one with escaped texts, 1- and 2-dimensional
// labels and a double-byte character whose second byte is a backslash.
const std::string kFile =
    ":::SOURCE\n"
    "1038478500:Thu Nov 28 10:15:00 2002;\n"
    "1:FPAR:1:SYSTEM:SYS001:1:MODELS:MODE=1;\n"
    "3:FPAR:3:GR0001:TAG0001:5:MODELA:GAIN=1.500000,TBL[1]=10,TBL[2]=20,MAT[1\\,1]=0,MAT[1\\,2]=5,"
    "NAME=Valve\\:A\\,B\\;C\\\\D,KANJI=\x95\\X;\n"
    "::::SOURCE\n";

tpfile::File Parse(const std::string& text) { return tpfile::parse(text, "tp.txt"); }

}  // namespace

TEST(TpFile, ReadsWhatTheWriterWrites) {
    tpfile::File f = Parse(kFile);
    EXPECT_EQ(f.time, 1038478500);
    EXPECT_EQ(f.timeText, "Thu Nov 28 10:15:00 2002");
    ASSERT_EQ(f.blocks.size(), 2u);
    EXPECT_EQ(f.blocks[0].location, "SYSTEM");
    const tpfile::Block& b = f.blocks[1];
    std::string got = std::to_string(b.seq) + " " + b.location + " " + b.tag + " " + std::to_string(b.blockNo) + " " + b.model;
    for (const auto& it : b.items) got += " " + it.label + "=" + it.value;
    EXPECT_EQ(got, "3 GR0001 TAG0001 5 MODELA GAIN=1.500000 TBL[1]=10 TBL[2]=20 MAT[1,1]=0 MAT[1,2]=5 "
                   "NAME=Valve:A,B;C\\D KANJI=\x95\\X");
}

TEST(TpFile, DamagedFilesNameTheLineAndWhatWasExpected) {
    struct Case {
        std::string text;
        std::string what;
    } cases[] = {
        {"", "tp.txt:1: expected \":::SOURCE\""},
        {":::SOURCE\n", "tp.txt:2: expected the head line"},
        {":::SOURCE\nx:y;\n::::SOURCE\n", "tp.txt:2: expected the head line"},
        {":::SOURCE\n1:t;\n", "tp.txt:3: expected \"::::SOURCE\""},
        {":::SOURCE\n1:t;\n1:FPAR:2:L:T:1:M:A=1;\n::::SOURCE\n", "tp.txt:3: expected \"<seq>:FPAR:<seq>:\""},
        {":::SOURCE\n1:t;\n1:FPAR:1:L:T:1:M:A=1\n::::SOURCE\n", "tp.txt:3: expected a parameter line"},
        {":::SOURCE\n1:t;\n1:FPAR:1:L:T:0:M:A=1;\n::::SOURCE\n", "tp.txt:3: expected a block number"},
        {":::SOURCE\n1:t;\n1:FPAR:1:L:T:1:M:A;\n::::SOURCE\n", "tp.txt:3: expected \"<label>=<value>\""},
        {":::SOURCE\n1:t;\n1:FPAR:1:L:T:2:M:A=1;\n2:FPAR:2:L:T:2:M:A=1;\n::::SOURCE\n", "tp.txt:4: expected block"},
        {":::SOURCE\n1:t;\n::::SOURCE\nmore\n", "tp.txt:4: expected the end of the file"},
        {":::SOURCE\n1:t;\n::::SOURCE", "tp.txt:3: expected a line feed"},
    };
    for (const Case& c : cases) {
        try {
            Parse(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const tpfile::Error& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, c.what.size()), c.what) << c.text;
        }
    }
}

TEST(TpFile, DiffListsChangedAddedAndRemovedValuesAndBlocks) {
    tpfile::File a = Parse(kFile);
    std::string next = kFile;
    next.replace(next.find("GAIN=1.500000"), 13, "GAIN=2.000000");
    next.replace(next.find(",TBL[2]=20"), 10, "");
    next.replace(next.find("1:FPAR:1:SYSTEM:SYS001:1:MODELS:MODE=1;\n"), 40, "");
    next.replace(next.find("::::SOURCE"), 0, "4:FPAR:4:GR0002:TAG0009:9:MODELB:X=1,Y=2;\n");
    tpfile::File b = Parse(next);
    std::vector<tpfile::Change> d = tpfile::diff(a, b);
    std::string got;
    for (const auto& c : d)
        got += std::string(tpfile::kind_text(c.kind)) + " " + std::to_string(c.blockNo) + " " + c.tag + " " + c.label + " " +
               c.oldValue.value_or("-") + ">" + c.newValue.value_or("-") + "\n";
    EXPECT_EQ(got, "block removed 1 SYS001  ->-\nchanged 5 TAG0001 GAIN 1.500000>2.000000\n"
                   "item removed 5 TAG0001 TBL[2] 20>-\nblock added 9 TAG0009  ->-\n");
    EXPECT_EQ(tpfile::changed_values(d, a, b), 1u + 1u + 1u + 2u);
    EXPECT_TRUE(tpfile::diff(a, a).empty());
}

// Only a regular file is read, and only up to the limit: a FIFO is refused at once (never
// waited on), a device is never read, a file past the limit is refused before it is read.
TEST(TpFile, ReaderRefusesFifosDevicesFoldersAndHugeFiles) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/tpfile_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", dir + "/zero");
    std::ofstream(dir + "/huge").close();
    fs::resize_file(dir + "/huge", tpfile::kMaxFileSize + 1);
    const std::pair<const char*, const char*> cases[] = {{"fifo", "not a regular file"},
                                                         {"zero", "not a regular file"},
                                                         {"huge", "larger than 256 MiB"},
                                                         {"", "a folder, not a file"},
                                                         {"missing", "cannot read: No such file"}};
    for (const auto& [name, why] : cases) {
        const std::string path = std::string(name).empty() ? dir : dir + "/" + name;
        try {
            tpfile::read(path);
            ADD_FAILURE() << path << " was read";
        } catch (const tpfile::Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(path + ": " + why, 0), 0u) << e.what();
        }
    }
    fs::remove_all(dir);
}
