// Edit file update and the element search it shares with the TP file step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveDBRead.h"
#include "libqveeda.h"

class LdTuSaveEditFiles;

// Bisection search of the element list (ascending by element name, unsigned byte order) for
// name. 0: found, copied into *out; 0x20000116: not in the list (no line); 1: name is null,
// or the list was found out of order ("ElemSearch:invalid case <name>" put out).
[[nodiscard]] std::uint32_t ElemSearch(const char* name, const QVEElemList& list, _QVEElemTbl* out);
// The element name of a block: "%BL" and its number in at least four digits.
[[nodiscard]] std::string LdTuSaveElemName(std::uint32_t number);

// The edit file of the entry's block (of its parent for codes 6226 and 6227): 0, or the
// failing call's code after its line.
[[nodiscard]] std::uint32_t LdTuSavesGetBlockFilePath(LdTuSaveCtrlInf* inf, const LdTuSaveRecord* pEntry, std::string& strPath);
// The working copy of an edit file: the path up to the last "." of its file name, + ".wkf".
[[nodiscard]] std::string LdTuSavesWorkCopyPath(const std::string& path);
// Sets the entry's block UAID (from the image; none when its instance has no "UAID" item) into
// the block's record of the "BL" section of the station edit buffer: 0, or the failure code
// after its line.
[[nodiscard]] std::uint32_t LdTuSavesSetUaidInBL(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl,
                                                 const LdTuSaveRecord* pEntry);
// Copies the entry's saved records, UAID and control flag into the block file (or, workCopy,
// the working copy) at strPath, held in files until they are written back. 0 (also for a file
// that cannot be opened for reading and writing: one "WRN:" line), 0x2023410d when the block
// is not in the file, or another failure code; a failing entry leaves the file as it found it.
[[nodiscard]] std::uint32_t LdTuSavesUpdateBlockFile(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl,
                                       const LdTuSaveRecord* pEntry, const std::string& strPath,
                                       LdTuSaveEditFiles* files, bool workCopy = false);
// The image's AN message UAIDs into the AN message file (replaced at once) and the "AN"
// section of the station's edit file (set when it is written back).
[[nodiscard]] std::uint32_t LdTuSavesUpdateAnMsgFile(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl,
                                       LdTuSaveEditFiles* files);
