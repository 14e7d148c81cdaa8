// The sample builder: one description and one seed give a whole, consistent workstation
// folder (workstation settings, one project, its stations' database files, user instance files
// and reference databases, and the simulated stations' memories). Same description and seed,
// byte-identical files.
//
// The builder writes the files straight from docs/layout.md and uses none of the workstation
// services, so the end-to-end tests can hold the library's results against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace sample {

// A description that cannot be read or does not make sense; the text names its source.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One multi-byte value (or a run of `count` of them) in a record, for the user instance file.
struct Field {
    std::uint32_t offset = 0;
    std::uint32_t width = 2;  // 1, 2, 4 or 8
    std::uint32_t count = 1;
};

struct Record {
    int recNo = 0;            // 0..kMaxRecNo
    std::uint32_t size = 64;  // bytes
    std::vector<Field> fields;
};

// A data item of a model (e.g. "UAID"): where it lies, for the instance definitions.
struct Item {
    std::string name;
    int recNo = 2;
    std::uint32_t offset = 0;
    int dataType = 16;   // U16
    int elemSize = 2;
    int dim1 = 1;
    int dim2 = 1;
};

struct Model {
    std::uint16_t blockCode = 0;
    std::string name;
    std::string tagPrefix;    // tag = prefix + 4-digit block number, cut at 16 characters
    std::uint8_t category = 3;
    int weight = 1;           // share of the blocks beyond the first of each model
    std::vector<Record> records;      // must hold record 1 (the block's identity)
    std::vector<int> savedRecords;    // 1..8 record numbers, never 1
    std::vector<Item> items;
};

struct IoNodes {
    // Node counts per bus (index 0 = bus 1) and I/O bus type; type 2 is present (1) or not (0).
    int type1[2] = {0, 0};
    int type2[2] = {0, 0};
    int type4[2] = {0, 0};
};

struct Area {
    int number = 1;
    std::string name = "AREA01";
};

// A file of the station's custom folders, written as <station>/Custom/<folder>/<side>/<name>
// (<station>/Custom/<side>/<name> for an empty folder); with directory set, a folder of that name.
struct CustomFile {
    std::string folder;
    std::string side = "FCS";  // "FCS" or "SIM"
    std::string name;
    std::uint32_t bytes = 64;
    bool directory = false;
};

struct Station {
    std::string name;
    int number = 1;
    std::vector<Area> areas;
    bool apcs = false;
    bool underTest = false;
    bool autoBackup = false;
    std::vector<unsigned> ioBusTypes;  // of bus 1 and 2, also in the station constant table
    std::string byteOrder = "big";     // of the simulated station: "big" or "host"
    std::uint64_t generationStamp = 0;
    std::uint64_t memoryGenerationStamp = 0;  // 0: the same as the project's
    std::uint32_t baseAddress = 0x00100000;
    int blocks = 64;           // MaxBlock: entries of the block header address table
    int emptyEvery = 0;        // every n-th entry is 0 (0 = none)
    int codeZeroEvery = 0;     // every n-th block (not empty) has block code 0 (0 = none)
    int blocksPerDrawing = 16; // blocks per location "DR<NNNN>"
    std::vector<Model> models;
    int anMessages = 0;
    IoNodes ioNodes;
    int opeMarks10 = 0, opeMarks11 = 0, opeMarks42 = 0;
    int factor1 = 2, factor2 = 2;  // station constant table +0x42, +0x44
    std::uint16_t constant1C8 = 0; // station constant table +0x1C8
    std::uint16_t areaCount42 = 0; // area constant table +0x42
    std::uint8_t idFirst = 1, idSecond = 1;  // station constant table +0x29, +0x28
    std::vector<std::string> customFolders;  // up to 16 names of up to 8 characters
    std::vector<CustomFile> customFiles;     // need not lie in a listed folder
};

struct Workstation {
    std::string currentProject = "DEMO";
    std::string projectsDir = "projects";
    std::string busProtocol = "udp";  // "udp"; always on 127.0.0.1
    int busPort = 47110;
    bool vrecTest = false;
    std::string backupDir = "backup";
};

struct Description {
    std::uint64_t seed = 1;
    Workstation workstation;
    std::string project = "DEMO";
    std::vector<Station> stations;
};

Description default_description();
// Station index of the built-in description (0: FCS0101, 1: FCS0102, index i: "FCS01" and
// i + 1 in two digits, number i + 1, as FCS0102 otherwise).
Station default_station(std::size_t index);
// Reads a description (JSON); every key is optional, unknown keys are refused. Throws Error
// with a text that begins with the path.
Description load_description(const std::string& path);
Description description_from_json(const nlohmann::json& j, const std::string& source);
nlohmann::ordered_json description_to_json(const Description& d);
// Throws Error (text beginning with source) when the description cannot make a sound sample.
void validate(const Description& d, const std::string& source);

// ---- what build() wrote ----------------------------------------------------

struct RecordInfo {
    int recNo = 0;
    std::uint32_t address = 0;   // station address
    std::size_t offset = 0;      // file offset in the database file (and the memory file)
    std::uint32_t size = 0;
    bool saved = false;          // one of the model's saved records (differs in the memory)
};

struct BlockInfo {
    int number = 0;              // from 1
    bool empty = false;          // BldbPtrTbl entry 0: no header at all
    std::uint16_t code = 0;      // 0 for a block of code 0
    std::string model;           // empty for empty entries and blocks of code 0
    std::uint8_t category = 0;
    std::string tag;             // up to 16 characters
    std::uint32_t headerAddress = 0;
    std::size_t headerOffset = 0;
    std::uint16_t parent = 0;    // parent block number (codes 5122, 6226, 6227), else 0
    std::string location;        // "DR0001", ...
    std::string fileName;        // file name part of the block's edit file
    std::vector<RecordInfo> records;  // in record-number order
    bool fetched = false;  // the save's block walk asks for its records (not a category-0
                           // block of code 6266 or 6267)
    bool listed = false;   // fetched and not a category block: it gets a save list entry
    bool exists() const { return !empty && code != 0; }
};

// An operation-mark destination table (differs in the memory).
struct OpeMarkTable {
    int kind = 0;
    std::uint32_t address = 0;
    std::size_t offset = 0;
    std::size_t size = 0;
    bool fetched = false;  // the save asks for it: its count is non-zero and, for I/O node
                           // kinds, its bus has that I/O bus type
};

// A block edit file (and its working copy, same layout) as built.
struct EditFileInfo {
    std::string path;        // <station>/FUNCTION_BLOCK/DR<NNNN>/<name>.edf
    std::string workCopy;    // <name>.wkf beside it, or empty
    std::vector<int> blocks; // block numbers in entry order; the first heads the file
    std::size_t tagi = 0;    // file offset of the TAGI record
    std::size_t htlt = 0;    // file offset of the first HTLT record
    std::vector<std::pair<int, std::vector<std::size_t>>> records;  // per block: file offset of
                                                                    // record n at [n] (0 = none)
};

struct StationResult {
    std::string name;
    int number = 0;
    std::string databasePath, userInstPath, referencePath;  // project side
    std::string stationJsonPath, memoryPath;                // simulated station
    std::uint32_t baseAddress = 0;
    std::size_t imageSize = 0;   // bytes of the database file (header included)
    int maxBlock = 0;
    std::size_t bldbPtrTblOffset = 0;
    std::vector<BlockInfo> blocks;        // one per BldbPtrTbl entry, number = index + 1
    std::vector<OpeMarkTable> opeMarks;
    std::vector<std::uint16_t> uaids;         // AN message UAIDs in the project
    std::vector<std::uint16_t> stationUaids;  // and in the station's memory
    std::size_t uaidOffset = 0;
    std::size_t customFolderListOffset = 0;
    // The custom files a save hands to the backup tool, for the current project and a station
    // that is not an APCS (FCS) and otherwise (SIM): full paths, in list order, by name within
    // a folder.
    std::vector<std::string> toolFilesFcs, toolFilesSim;
    // Edit files.
    std::vector<EditFileInfo> editFiles;
    std::string stationEditPath;    // "FCLT1": BL record per existing block, AN record per message
    std::size_t blSection = 0;      // its offsets of the BL and AN sections
    std::size_t anSection = 0;
    std::vector<int> blBlocks;      // block number of each BL record
    std::string anMsgPath;          // "FCANM": HTLT record per message, USAP with room for more
    std::size_t anHtlt = 0, anUsap = 0;
};

struct Result {
    std::string dir;
    std::string workstationJson;
    std::string projectDir;
    std::string sysconfigPath;
    std::vector<StationResult> stations;
    std::string toolPath;            // the installed backup tool; empty when none
    std::vector<std::string> files;  // every file written, in writing order
};

struct BuildOptions {
    // The backup tool program to install as FCS/tool/shgsave in the workstation folder;
    // empty: none is installed.
    std::string tool;
};

// The station's instance definitions file (<station>/DB/instdef.json) from its models. Throws
// Error when a model or item name cannot stand in it (names are cut to 8 characters).
nlohmann::ordered_json instdef_json(const Station& s);

// The edit files of a station as a good save of every listed block leaves them, computed from
// the files as built and the station's memory: path -> bytes. Call it before the save.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> expected_edit_files(const Description& d,
                                                                                   const StationResult& st);

// Writes the whole workstation folder at dir (created when missing; files it writes are
// replaced, nothing else is touched). Throws Error on an invalid description or a failed write.
Result build(const Description& d, const std::string& dir, const BuildOptions& options = {});

}  // namespace sample
