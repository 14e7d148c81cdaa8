// Reading TP files back, and the differences between two of them.
//
// A TP file: ":::SOURCE", a head line "<seconds>:<time text>;", one parameter line per block
// "<seq>:FPAR:<seq>:<location>:<tag>:<block number>:<model>:<label>=<value>,...;" and
// "::::SOURCE", lines ended by a line feed. Inside labels and text values a backslash escapes
// ",", ":", ";" and itself; the second byte of a double-byte character is never an escape.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tpfile {

// A damaged file: where (1-based line; 0 for the file as a whole) and what was expected.
struct Error : std::runtime_error {
    Error(std::string source, int line, const std::string& what);
    std::string source;
    int line;
};

struct Item {
    std::string label;   // as the reader shows it: "GAIN", "TBL[2]", "MAT[1,2]"
    std::string value;   // unescaped
};

struct Block {
    int seq = 0;
    std::string location;
    std::string tag;
    int blockNo = 0;
    std::string model;
    std::vector<Item> items;
};

struct File {
    std::int64_t time = 0;   // seconds of the save
    std::string timeText;
    std::vector<Block> blocks;   // ascending block number
};

// The most a TP file is read up to: 256 MiB, far above the file of the largest station.
constexpr std::size_t kMaxFileSize = std::size_t{256} << 20;

File parse(std::string_view text, const std::string& source);
// The bytes of the file at path. Only a regular file is read (a FIFO, a device, a socket or a
// folder in its place is refused at once, never waited on) and only up to kMaxFileSize bytes;
// throws Error naming the file and what is wrong otherwise.
std::string read_text(const std::string& path);
// read_text and parse.
File read(const std::string& path);

struct Change {
    enum class Kind { Changed, BlockAdded, BlockRemoved, ItemAdded, ItemRemoved };
    Kind kind = Kind::Changed;
    int blockNo = 0;
    std::string tag;
    std::string model;
    std::string label;                   // empty for a block added or removed
    std::optional<std::string> oldValue; // absent where the item or block was not there
    std::optional<std::string> newValue;
};

// "changed", "block added", "block removed", "item added", "item removed".
const char* kind_text(Change::Kind k);

// What differs from a to b, by block number, then by label in b's order (removed items last).
// A block whose tag or model differs counts as removed and added.
std::vector<Change> diff(const File& a, const File& b);
// How many values differ (items changed, added or removed; a block counts with its items).
std::size_t changed_values(const std::vector<Change>& changes, const File& a, const File& b);

// TP files of a station: the TP file itself and the archive copies "TP<14 digits>.txt" beside it.
struct Copy {
    std::string path;
    std::string name;
};
// The archive copies of the folder of tpPath, newest (largest name) first.
std::vector<Copy> archive_copies(const std::string& tpPath);
// The station's TP file (of the equalization project with eqlz), through the project's path
// service; throws Error when it has none.
std::string station_tp_path(const std::string& project, const std::string& station, bool eqlz = false);
// The newest archive copy made by an earlier save than the one that wrote tp (the copy of tp
// itself has its time); throws Error when there is none.
std::string previous_copy(const std::string& tpPath, const File& tp);
// The station's TP file as it is now: empty when there is none; nullopt when it cannot be read.
std::optional<File> station_tp_now(const std::string& project, const std::string& station, bool eqlz = false);

}  // namespace tpfile
