// Records of the TP file step and the operations its units share: the instance table (one
// entry per distinct block code of the area), the item tables, the writer, the value
// formatting and the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "LdTuSaveHold.h"
#include "LdTuSaveImage.h"
#include "libqveeda.h"

constexpr std::uint32_t TP_INSTNAME_LEN = 8;       // instance names are cut to 8 characters
constexpr std::uint32_t TP_SAVEREC_MAX = 16;       // room for saved record numbers per instance
constexpr std::uint32_t TP_INSTTBL_GROW = 256;     // the instance table grows by this many entries

// One data item of an instance. Plain data: the tables are zero-filled memory of the
// memory service.
struct ItemInf {
    std::uint32_t saveFlag;    // 1: the item's record is one of the instance's saved records
    std::uint16_t offset;      // byte offset of element 0 inside record recNo
    std::uint8_t recNo;
    std::uint8_t dataType;     // data type code
    std::uint8_t size;         // bytes of one element
    const char* itemName;      // whole name, inside the owning InstInf's pItemNames
    std::uint16_t dim1;        // 0: scalar
    std::uint16_t dim2;        // 0: at most one dimension
};

// One block model (instance) of the area.
struct InstInf {
    ItemInf* pItemInfTbl;
    std::int32_t itemInfTblSize;
    std::int32_t itemInfTblUsedNum;
    std::int32_t saveRecNo[TP_SAVEREC_MAX];
    std::int32_t saveRecCnt;
    char instName[TP_INSTNAME_LEN + 1];
    std::uint16_t instNo;      // the block code
    char* pItemNames;          // the item list, split in place at ':' (owned)
};

// The working record of one run of the step.
struct TpSaveInf {
    std::string strProject;
    std::string strStation;
    std::uint32_t projectKind = 0;
    const LdTuSaveDbImage* pDbImage = nullptr;   // the save's image (not owned)
    const QVEElemList* pElemList = nullptr;
    InstInf* pInstInfTbl = nullptr;
    std::uint32_t instInfTblSize = 0;
    std::uint32_t instInfTblUsedNum = 0;
};

// ---- tsinstinf ----------------------------------------------------------------------------------
// Collects the distinct block codes of the area into the instance table; 0 or 1 (failed).
[[nodiscard]] std::uint32_t LdTuSaveTpCollectInst(TpSaveInf* tp, unsigned areaNo);
// Fills one instance entry from the instance definition service; 0 or 1 (failed, line put).
[[nodiscard]] std::uint32_t LdTuSaveTpFillInst(InstInf* inst);
// Releases every item table and the instance table.
void LdTuSaveTpFreeTables(TpSaveInf* tp);

// ---- tswrite ------------------------------------------------------------------------------------
// Writes the TP file of the area through its temporary file and the archive; 0 or non-zero.
[[nodiscard]] std::uint32_t LdTuSaveTpWrite(TpSaveInf* tp, unsigned areaNo);

// The value text of element k of item in the block whose header is at hdrOff. 0 and the text
// (empty for a missing record or an unknown type code), or 1 after the ERR line.
[[nodiscard]] std::uint32_t LdTuSaveTpValue(const LdTuSaveImage& img, const LdTuSaveAnchor& anchor, std::size_t hdrOff,
                              std::uint32_t blockNo, const ItemInf& item, std::uint32_t k, std::string& out);
// Appends the label of an element: name, name[i] or name[i\,j] (i, j from 1; 0 = absent).
void LdTuSaveTpLabel(std::string& out, const char* name, std::uint32_t i, std::uint32_t j);

// Archive name beside the TP file ("TP%Y%m%d%H%M%S.txt"), after deleting the smallest of 5 or
// more "*.txt" files there; 0 or 0x2023410b.
[[nodiscard]] std::uint32_t LdTuSavesGetStrFileName(const std::string& tpPath, std::string& archivePath);
// Copies the temporary file to a new archive copy and over the TP file; 0, 0x2023410b or the
// error code of the failed copy.
[[nodiscard]] std::uint32_t LdTuSaveTpArchive(const std::string& tpPath, const std::string& tmpPath);
