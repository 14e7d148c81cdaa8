// Engineering data: the project path service, the reference database, the station
// database object and the test-mode queries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

// ---- project path service ---------------------------------------------------
// Turns logical keys ("FCLSF", "FCTPS", ...) into paths of the bound project. Names taken
// from callers (station, file name parts, folders) must be plain path elements: empty names
// and names holding "/", "\", ".." or NUL are refused with a non-zero result.
class CQVEFilePath {
public:
    CQVEFilePath();
    ~CQVEFilePath();
    CQVEFilePath(const CQVEFilePath&);
    CQVEFilePath& operator=(const CQVEFilePath&);

    std::uint32_t InitProject(const char* project);
    std::uint32_t InitEqlzProject(const char* project);
    std::string GetProjectTopDir() const;
    // The rule for names joined into paths: one plain element, not empty, ".", nor holding
    // "/", "\", ".." or NUL.
    static bool IsPlainName(const char* name);

    std::uint32_t GetTmplFilePath(const char* key, const char* name, std::string& out);
    std::uint32_t GetUDFTmplFolderPath(const char* key, const char* folder, std::string& out);
    std::uint32_t GetUDFTmplFilePath(const char* key, const char* name, const char* folder, std::string& out);
    std::uint32_t GetUDFTmplFilePath1(int number, const char* key, const char* name, const char* folder,
                                      std::string& out);
    std::uint32_t GetSystemFilePath(const char* key, std::string& out);
    std::uint32_t GetSystemFolderPath(const char* key, std::string& out);
    std::uint32_t GetFCSFilePath(const char* station, const char* key, std::string& out);
    std::uint32_t GetFCSFilePath(const char* station, const char* name, const char* key, std::string& out);
    std::uint32_t GetHISFilePath(const char* station, const char* key, std::string& out);
    std::uint32_t GetSTNFolderPath(const char* station, const char* key, std::string& out);
    std::uint32_t GetSTNFilePath(const char* station, const char* key, const char* name, std::string& out);
    std::uint32_t GetPath(const char* station, int number1, int number2, int number3, const char* key,
                          const char* name, std::string& out);
    std::uint32_t GetStnNo(const char* station, std::uint8_t& stnNo);

    // The station's user instance file (flag: 0).
    std::uint32_t GetFCSUserInstPath(const char* station, int flag, std::string& out);
    // The edit file of a block: location (drawing) number and the element's file name part.
    std::uint32_t GetFCSBlockPath(const char* station, std::uint8_t location, const char* name,
                                  std::string& out);

private:
    std::string topDir_;   // project top folder, empty until bound
    std::string project_;
    bool eqlz_ = false;
};

// ---- reference database -----------------------------------------------------
// One element of the reference database, 35 fields in this order; the save reads
// strLocation (2), strFileName (3), strSelect (4) and strElemName (6).
struct _QVEElemTbl {
    std::string str1;
    std::string strLocation;   // location text; characters from the third on: location number
    std::string strFileName;   // file name part of the block's edit file
    std::string strSelect;     // selection pattern ("%BL")
    std::uint32_t n5 = 0;
    std::string strElemName;   // element name, the search key ("%BL0001")
    std::string str7;
    std::uint32_t n8 = 0, n9 = 0;
    std::string str10;
    std::uint32_t n11 = 0;
    std::string str12;
    std::uint32_t n13 = 0, n14 = 0, n15 = 0, n16 = 0;
    std::string str17, str18, str19, str20;
    std::uint32_t n21[12] = {};
    std::string str33;
    std::uint32_t n34 = 0, n35 = 0;
};

// Sort record of a listing: the 32-bit field at byte offset 20 (nField[5]) set to 1 sorts
// ascending by element name.
struct _QVEElemTblSort {
    std::uint32_t nField[8] = {};
};
static_assert(sizeof(_QVEElemTblSort) == 32);

class CQVEEdaRDBFile {
public:
    CQVEEdaRDBFile();
    virtual ~CQVEEdaRDBFile();
    CQVEEdaRDBFile(const CQVEEdaRDBFile&) = delete;
    CQVEEdaRDBFile& operator=(const CQVEEdaRDBFile&) = delete;

    std::uint32_t DbOpen(const char* path, int mode, int flag);
    std::uint32_t DbClose();

protected:
    sqlite3* db_ = nullptr;
};

class CQVEEdaRefFCS : public CQVEEdaRDBFile {
public:
    std::uint32_t ElemTblOpen(int mode, int flag);
    std::uint32_t ElemTblClose();
    std::uint32_t ElemTblInit(_QVEElemTbl* sel, int flag);
    std::uint32_t ElemTblSortInit(_QVEElemTblSort* sort);
    // Appends the elements selected by sel (strSelect "%BL": the block elements) to list,
    // in ascending byte order of element name when sort->nField[5] is 1.
    std::uint32_t ElemTblListAll(_QVEElemTbl* sel, _QVEElemTblSort* sort, std::vector<_QVEElemTbl>& list);

private:
    bool tblOpen_ = false;
};

// ---- station database object ------------------------------------------------
class CQVEEdaFileMap {
public:
    virtual ~CQVEEdaFileMap() = default;
    std::uint32_t Close();

protected:
    bool open_ = false;
};

class CQVEEdaFcsDatabase : public CQVEEdaFileMap {
public:
    std::uint32_t Open(const char* project, const char* station, int mode);
    // The I/O bus type of bus 1 or 2 of the station; 0 = done.
    std::uint32_t GetIOBusType(unsigned bus, unsigned& type, unsigned& other);

private:
    unsigned busType_[2] = {0, 0};
    bool configured_[2] = {false, false};
};

// ---- test-mode queries ------------------------------------------------------
// *underTest non-zero when the station is under test; 0 = answered.
std::uint32_t QVEEdaCheckQVTestByName(const char* project, const char* station, int* underTest);
// *running = 1 while the workstation runs its VREC test; 0 = answered.
std::uint32_t QVEEdaCheckQVTestVREC(int* running);
