// System configuration of a project, area configuration, APCS query and the generation lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Station configuration record; the station number is the 16-bit field at offset 112.
struct _OdtStnInf {
    char szStnName[16];
    std::uint8_t reserved1[96];
    std::uint16_t wStnNo;
    std::uint8_t reserved2[142];
};
static_assert(offsetof(_OdtStnInf, wStnNo) == 112);

// Area configuration record; the area name is in the first 8 bytes (not terminated when full).
struct _OdtAreaInf {
    char szAreaName[8];
    std::uint16_t wAreaNo;
    std::uint8_t reserved[54];
};

class CQVERXEdaSysObj {
public:
    CQVERXEdaSysObj() = default;
    CQVERXEdaSysObj(const CQVERXEdaSysObj&);
    CQVERXEdaSysObj& operator=(const CQVERXEdaSysObj&);

    std::uint32_t Init(const char* project);
    std::uint32_t InitEqlz(const char* project);
    // 0 = found and *info filled.
    std::uint32_t StnConfByName(const char* station, _OdtStnInf* info);

private:
    std::string project_;
    bool eqlz_ = false;
    bool bound_ = false;
};

// Instance definitions of another station. Copies share the loaded file.
class CQVERXEdaOtherInst {
public:
    CQVERXEdaOtherInst() = default;
    CQVERXEdaOtherInst(const CQVERXEdaOtherInst&);
    CQVERXEdaOtherInst& operator=(const CQVERXEdaOtherInst&);

    // Reads the instance file whole; 0 = loaded.
    std::uint32_t LoadInstFile(const char* path);
    bool IsInstFileLoaed();

private:
    std::shared_ptr<const std::string> m_pInstFile;  // the loaded instance file, null until loaded
};

constexpr std::uint32_t QVERX_NO_AREA = 0xFFFFFFFFu;
// 0xFFFFFFFF = no such area; else *info holds the area.
std::uint32_t QVERXEdaFcsAreaConfByNo(const char* project, const char* station, unsigned char areaNo,
                                      _OdtAreaInf* info);
std::uint32_t QVERXEdaFcsAreaConfByNoEqlz(const char* project, const char* station, unsigned char areaNo,
                                          _OdtAreaInf* info);
// *isApcs = 1 for an APCS; 0 = answered.
std::uint32_t QVERXEdaIsAPCS(const char* project, const char* station, int* isApcs);

// Generation lock of a station, held across processes until the unlock (or the holder's end).
// 0 = locked and *handle filled; a second lock of the same station is refused non-zero.
std::uint32_t QVEEdaGenLockStation(const char* project, const char* station, int mode, char* info,
                                   int infoSize, void** handle);
std::uint32_t QVEEdaGenUnlockStation(const char* project, const char* station, void* handle);
