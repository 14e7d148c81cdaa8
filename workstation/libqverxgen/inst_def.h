// Instance definitions of one station (<station>/DB/instdef.json): per block code the model
// (instance) name, its data items and the records the upload saves. The file format is in
// docs/layout.md; read() checks all of it, so the IEdalInst calls only look things up.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace instdef {

// Results of the IEdalInst calls (0 = done).
inline constexpr int kOk = 0;
inline constexpr int kNotOpen = 0x2E000101;       // a call before the open or after the close
inline constexpr int kAlreadyOpen = 0x2E000102;   // a second open without a close
inline constexpr int kBadArgument = 0x2E000103;   // null pointer, unknown project kind
inline constexpr int kNoFile = 0x2E000104;        // project, station or definitions file not found
inline constexpr int kMalformed = 0x2E000105;     // the definitions file is not in the documented format
inline constexpr int kUnknown = 0x2E000106;       // no such block code, instance or item
inline constexpr int kNoMemory = 0x2E000107;

inline constexpr std::size_t kMaxNameLen = 8;        // instance and item names
inline constexpr std::size_t kMaxSavedRecords = 8;   // what the upload has room for
inline constexpr std::size_t kMaxItems = 4096;       // per model
inline constexpr std::size_t kMaxFileSize = std::size_t{64} << 20;

struct Item {
    std::string name;
    std::uint8_t recNo = 0;
    std::uint16_t offset = 0;
    std::uint8_t dataType = 0;
    std::uint8_t elemSize = 0;
    std::uint16_t dim1 = 0;   // 0: not an array
    std::uint16_t dim2 = 0;   // 0: at most one dimension
};

struct Model {
    std::uint16_t blockCode = 0;
    std::string name;
    std::vector<int> savedRecords;
    std::vector<Item> items;            // in file order
    std::map<std::string, std::size_t, std::less<>> itemIndex;
    std::string itemList;               // the item names joined by ':'
    const Item* find(std::string_view item) const;
};

struct Definitions {
    std::vector<Model> models;          // in file order
    std::map<std::uint16_t, std::size_t> byCode;
    std::map<std::string, std::size_t, std::less<>> byName;
    const Model* code(std::uint16_t blockCode) const;
    const Model* name(std::string_view instName) const;
};

// Parses the text of a definitions file; source (the path) begins every error text.
// False with the reason when anything is out of the format.
bool parse(std::string_view text, const std::string& source, Definitions& out, std::string& error);
// Reads and parses the file at path; kNoFile or kMalformed with the reason. The definitions of
// a file read before and unchanged since are handed out again without parsing it.
int read(const std::string& path, std::shared_ptr<const Definitions>& out, std::string& error);

// Text of the last failure of an IEdalInst call (a definitions file that cannot be read also
// goes to the note sink).
const std::string& last_error();

}  // namespace instdef
