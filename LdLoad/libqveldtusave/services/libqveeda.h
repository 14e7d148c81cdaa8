// Engineering data: the project path service, the reference database, the station
// database object and the test-mode queries.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

// Result of an engineering-data call given a null or out-of-range argument.
inline constexpr std::uint32_t QVEEDA_E_ARGUMENT = 0x2E000004;

// Parameter lists of the exported path getters, by shape (QVEFilePathGetters.def). out is the
// caller's string; a null out is refused with QVEEDA_E_ARGUMENT.
#define QVE_PGSIG_T0 std::string* out
#define QVE_PGSIG_T0R std::string& out
#define QVE_PGSIG_T1 const char* name, std::string* out
#define QVE_PGSIG_HATCH const char* name, std::string* out
#define QVE_PGSIG_UD const char* folder, std::string* out
#define QVE_PGSIG_UF const char* folder, std::string* out
#define QVE_PGSIG_UFN const char* folder, const char* name, std::string* out
#define QVE_PGSIG_UF1 const char* folder, int number, std::string* out
#define QVE_PGSIG_UOPT const char* folder, const char* name, std::string* out
#define QVE_PGSIG_UNK const char* folder, const char* name, std::string* out
#define QVE_PGSIG_S std::string* out
#define QVE_PGSIG_SR std::string& out
#define QVE_PGSIG_SNK const char* name, std::string* out
#define QVE_PGSIG_PN int number, std::string* out
#define QVE_PGSIG_PNOPT int number, const char* name, std::string* out
#define QVE_PGSIG_PNZ int number, std::string* out
#define QVE_PGSIG_PNAME const char* name, std::string* out
#define QVE_PGSIG_F const char* station, std::string* out
#define QVE_PGSIG_FN const char* station, const char* name, std::string* out
#define QVE_PGSIG_FMTX const char* station, int number, std::string* out
#define QVE_PGSIG_FOPT const char* station, const char* name, std::string* out
#define QVE_PGSIG_QN const char* station, const char* name, std::string* out
#define QVE_PGSIG_Q const char* station, std::string* out
#define QVE_PGSIG_QNUM const char* station, int number, std::string* out
#define QVE_PGSIG_QSTN const char* station, std::string* out
#define QVE_PGSIG_H const char* station, std::string* out
#define QVE_PGSIG_STND const char* station, std::string* out
#define QVE_PGSIG_STNOPT const char* station, const char* name, std::string* out

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

    // The exported getters (defined by the tuning-parameter save library).
#define QVE_PATH_GETTER(group, shape, name, key, key2) std::uint32_t name(QVE_PGSIG_##shape);
#include "QVEFilePathGetters.def"

private:
    std::string topDir_;   // project top folder, empty until bound
    std::string project_;
    bool eqlz_ = false;
    // The last block path's parts around its file name, for the blocks of the same drawing
    // (cleared when the service is bound to a project).
    struct BlockDir {
        std::string station, before, after;
        std::uint8_t location = 0;
    };
    std::optional<BlockDir> blockDir_;
};

// ---- reference database -----------------------------------------------------
// A text of an element record: an offset into the text pool of whoever holds the record (the
// element list, or the reference database object for a selection record); 0 is "".
struct QVEElemText {
    std::uint32_t offset = 0;
};

// NUL-terminated texts appended one after the other, addressed by offset.
class QVETextPool {
public:
    QVETextPool() : bytes_(1, '\0') {}
    // The text at t; "" for an offset that is not in the pool.
    const char* Text(QVEElemText t) const { return t.offset < bytes_.size() ? bytes_.data() + t.offset : ""; }
    // A copy of text (up to its first NUL) in the pool; {} when the pool would outgrow 4 GB.
    std::optional<QVEElemText> Add(std::string_view text) {
        text = text.substr(0, text.find('\0'));
        if (text.empty()) return QVEElemText{};
        if (text.size() >= UINT32_MAX - bytes_.size()) return std::nullopt;
        const QVEElemText t{static_cast<std::uint32_t>(bytes_.size())};
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back('\0');
        return t;
    }
    std::size_t Size() const { return bytes_.size(); }
    void Reserve(std::size_t n) { bytes_.reserve(n); }
    void Clear() { bytes_.assign(1, '\0'); }

private:
    std::vector<char> bytes_;
};

// One element of the reference database: the 140-byte record of 35 four-byte fields; the
// save reads strLocation (2), strFileName (3), strSelect (4) and strElemName (6).
struct _QVEElemTbl {
    QVEElemText str1;
    QVEElemText strLocation;   // location text; characters from the third on: location number
    QVEElemText strFileName;   // file name part of the block's edit file
    QVEElemText strSelect;     // selection pattern ("%BL")
    std::uint32_t n5 = 0;
    QVEElemText strElemName;   // element name, the search key ("%BL0001")
    QVEElemText str7;
    std::uint32_t n8 = 0, n9 = 0;
    QVEElemText str10;
    std::uint32_t n11 = 0;
    QVEElemText str12;
    std::uint32_t n13 = 0, n14 = 0, n15 = 0, n16 = 0;
    QVEElemText str17, str18, str19, str20;
    std::uint32_t n21[12] = {};
    QVEElemText str33;
    std::uint32_t n34 = 0, n35 = 0;
};
static_assert(sizeof(_QVEElemTbl) == 140);

// The fields of an element that the reference database fills; the record's others are empty.
struct QVEElemFields {
    QVEElemText str1, strLocation, strFileName, strSelect, strElemName;
};

// Element records, with the texts they point to. Only the fields the database fills are held
// (a station's elements are many): an element is handed out as its whole record.
class QVEElemList {
public:
    std::size_t size() const { return elems_.size(); }
    bool empty() const { return elems_.empty(); }
    _QVEElemTbl operator[](std::size_t i) const {
        const QVEElemFields& f = elems_[i];
        _QVEElemTbl e;
        e.str1 = f.str1;
        e.strLocation = f.strLocation;
        e.strFileName = f.strFileName;
        e.strSelect = f.strSelect;
        e.strElemName = f.strElemName;
        return e;
    }
    QVEElemFields& At(std::size_t i) { return elems_[i]; }
    const char* NameAt(std::size_t i) const { return Text(elems_[i].strElemName); }
    auto begin() const { return elems_.begin(); }
    auto end() const { return elems_.end(); }

    const char* Text(QVEElemText t) const { return texts_.Text(t); }
    std::optional<QVEElemText> AddText(std::string_view text) { return texts_.Add(text); }
    void Add(const _QVEElemTbl& e) {
        elems_.push_back({e.str1, e.strLocation, e.strFileName, e.strSelect, e.strElemName});
    }
    // An element of this name and location (the other fields empty); false when the texts do
    // not fit.
    bool Add(std::string_view name, std::string_view location, std::string_view fileName = {}) {
        auto n = AddText(name), l = AddText(location), f = AddText(fileName);
        if (!n || !l || !f) return false;
        _QVEElemTbl e;
        e.strElemName = *n;
        e.strLocation = *l;
        e.strFileName = *f;
        Add(e);
        return true;
    }
    template <class Pred>
    void EraseIf(Pred pred) {
        const QVEElemList& self = *this;
        std::size_t i = 0, kept = 0;
        for (; i < elems_.size(); ++i)
            if (!pred(self[i])) elems_[kept++] = elems_[i];
        elems_.resize(kept);
    }
    void Reserve(std::size_t elems, std::size_t textBytes) {
        elems_.reserve(elems);
        texts_.Reserve(textBytes);
    }
    void Clear() {
        elems_.clear();
        texts_.Clear();
    }

private:
    std::vector<QVEElemFields> elems_;
    QVETextPool texts_;
};

// Sort record of a listing: the 32-bit field at byte offset 20 (nField[5]) set to 1 sorts
// ascending by element name.
struct _QVEElemTblSort {
    std::uint32_t nField[8] = {};
};
static_assert(sizeof(_QVEElemTblSort) == 32);

// A reference database file. Copies share the open handle: it is closed when the last
// copy holding it closes or goes.
class CQVEEdaRDBFile {
public:
    CQVEEdaRDBFile();
    virtual ~CQVEEdaRDBFile();
    CQVEEdaRDBFile(const CQVEEdaRDBFile&);
    CQVEEdaRDBFile& operator=(const CQVEEdaRDBFile&);

    std::uint32_t DbOpen(const char* path, int mode, int flag);
    std::uint32_t DbClose();

protected:
    sqlite3* db_ = nullptr;           // the handle in use (owned through owner_)
    std::shared_ptr<sqlite3> owner_;  // closes the handle when the last holder lets go
};

// Common part of the reference databases of a project, a station and its parts.
class CQVEEdaRefCom : public CQVEEdaRDBFile {
public:
    CQVEEdaRefCom() = default;
    CQVEEdaRefCom(const CQVEEdaRefCom&);
    CQVEEdaRefCom& operator=(const CQVEEdaRefCom&);

    // Every row of table (in rowid order), each column as text (NULL as ""); 0 = listed.
    std::uint32_t ListRows(const char* table, std::vector<std::vector<std::string>>& rows);
};

class CQVEEdaRefTag : public CQVEEdaRefCom {
public:
    CQVEEdaRefTag() = default;
    CQVEEdaRefTag(const CQVEEdaRefTag&);
    CQVEEdaRefTag& operator=(const CQVEEdaRefTag&);
};

class CQVEEdaRefFCS : public CQVEEdaRefCom {
public:
    CQVEEdaRefFCS() = default;
    CQVEEdaRefFCS(const CQVEEdaRefFCS&);
    CQVEEdaRefFCS& operator=(const CQVEEdaRefFCS&);

    std::uint32_t ElemTblOpen(int mode, int flag);
    std::uint32_t ElemTblClose();
    std::uint32_t ElemTblInit(_QVEElemTbl* sel, int flag);
    std::uint32_t ElemTblSortInit(_QVEElemTblSort* sort);
    // A text for a selection record of this object (e.g. its strSelect).
    QVEElemText ElemTblText(std::string_view text);
    // Appends the elements selected by sel (strSelect "%BL": the block elements) to list,
    // in ascending byte order of element name when sort->nField[5] is 1.
    std::uint32_t ElemTblListAll(_QVEElemTbl* sel, _QVEElemTblSort* sort, QVEElemList& list);

private:
    bool tblOpen_ = false;
    QVETextPool selTexts_;
};

class CQVEEdaRefHIS : public CQVEEdaRefCom {
public:
    CQVEEdaRefHIS() = default;
    CQVEEdaRefHIS(const CQVEEdaRefHIS&);
    CQVEEdaRefHIS& operator=(const CQVEEdaRefHIS&);
};

class CQVEEdaRefEng : public CQVEEdaRefCom {
public:
    CQVEEdaRefEng() = default;
    CQVEEdaRefEng(const CQVEEdaRefEng&);
    CQVEEdaRefEng& operator=(const CQVEEdaRefEng&);
};

class CQVEEdaRefFB : public CQVEEdaRefCom {
public:
    CQVEEdaRefFB() = default;
    CQVEEdaRefFB(const CQVEEdaRefFB&);
    CQVEEdaRefFB& operator=(const CQVEEdaRefFB&);
};

// A table of the engineering data: a record without state of its own here.
class CQVEEdaTbl {
public:
    CQVEEdaTbl() = default;
    virtual ~CQVEEdaTbl() = default;
    CQVEEdaTbl(const CQVEEdaTbl&);
    CQVEEdaTbl& operator=(const CQVEEdaTbl&);
};

// ---- mapped files -------------------------------------------------------------
// A file mapped into memory. A file address (the address space the file's own pointers
// use) plus the displacement is the address of the mapped copy. The mapping is owned: a
// file map is not copied.
class CQVEEdaFileMap {
public:
    CQVEEdaFileMap() = default;
    virtual ~CQVEEdaFileMap();
    CQVEEdaFileMap(const CQVEEdaFileMap&) = delete;
    CQVEEdaFileMap& operator=(const CQVEEdaFileMap&) = delete;

    // Maps path read-write and shared, whose own addresses start at fileBase; 0 = mapped.
    std::uint32_t Map(const char* path, std::uintptr_t fileBase);
    // Writes the mapped copy back to the file; 0 = done.
    std::uint32_t Commit();
    std::uint32_t Close();

    const std::string& GetFileName();
    std::uint32_t GetFileSize();
    void* GetMapAddress();
    void* GetMapCommitAddress();
    // p plus the displacement; 0 for a null p.
    void* ConvMapAddr(void* p);
    // p plus the displacement, without the null test (the library never dereferences it).
    void* ConvMapAddr2(void* p);
    // p minus the displacement; 0 for a null p.
    void* ConvFileAddr(void* p);

protected:
    bool open_ = false;

private:
    std::string m_strFileName;
    std::uint32_t m_dwFileSize = 0;
    void* m_pMapAddress = nullptr;
    std::uintptr_t m_dwDisplacement = 0;  // a pointer's width: the mapping lies anywhere
    void* m_pCommitAddress = nullptr;
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

// The tuning data files of a station: the file maps attached (not owned) are committed together.
class CQVEEdaTFDATA {
public:
    void Attach(CQVEEdaFileMap* map);
    // Commits every attached map; the first failure's code (the others are still committed).
    std::uint32_t CommitAll();
    std::uint32_t CommitAllFiles();

private:
    std::vector<CQVEEdaFileMap*> m_maps;
};

// The tag files of a station's operator data.
class CQVEEdaOdtTagFileMng {
public:
    // Adds a tag file; returns its index.
    int Add(const char* path);
    int GetSize();

private:
    std::vector<std::string> m_tagFiles;
};

// ---- sorted unsigned array ----------------------------------------------------
// An index out of range is refused with std::out_of_range, never read or written.
class CQVEEdaUIntArray {
public:
    // Appends v; returns its index.
    int Add(unsigned int v);
    // Inserts v before the first greater element and returns 1; with none greater, appends v
    // and returns its index.
    int Insert(unsigned int v);
    // Removes the first element equal to v: 1, or 0 when there is none.
    int Delete(unsigned int v);
    unsigned int GetAt(int i) const;
    unsigned int& operator[](int i);
    int GetSize() const;
    void RemoveAt(int i, int n = 1);

private:
    std::vector<unsigned int> m_data;
};

// ---- project CSV files --------------------------------------------------------
// The framework's object base: the run-time class and the empty diagnostics.
struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    const CRuntimeClass* m_pBaseClass;
};
class CArchive;
class CDumpContext;

class CObject {
public:
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject();
    virtual void Serialize(CArchive& ar);
    virtual void AssertValid() const;
    virtual void Dump(CDumpContext& dc) const;
};

// A CSV file of the project written whole from a reference database: the head line, then
// the body. Write collects the text; Close writes it to a temporary beside the file and
// renames it over the file, so a failure (also of Write) leaves the old file.
class CQVEEdaPjtCSVFileBase : public CObject {
public:
    CQVEEdaPjtCSVFileBase() = default;
    ~CQVEEdaPjtCSVFileBase() override;
    CQVEEdaPjtCSVFileBase(const CQVEEdaPjtCSVFileBase&) = delete;
    CQVEEdaPjtCSVFileBase& operator=(const CQVEEdaPjtCSVFileBase&) = delete;

    const CRuntimeClass* GetRuntimeClass() const override;
    virtual std::uint32_t Open(const char* path);
    virtual std::uint32_t Close();
    virtual std::uint32_t Write(CQVEEdaRefCom* ref);
    virtual std::uint32_t WriteBody(CQVEEdaRefCom* ref, std::string& body) = 0;
    virtual const char* GetHeadLine() = 0;
    virtual const char* GetFileID() = 0;

protected:
    // Appends the rows of table as CSV lines.
    static std::uint32_t BodyOfTable(CQVEEdaRefCom* ref, const char* table, std::string& body);

private:
    bool m_bOpen = false;
    std::uint32_t m_dwFailed = 0;  // a failed Write: Close then leaves the file as it was
    std::string m_strPath, m_strText;
};

// Switch labels ("swlabel" table of the project's reference database).
class CQVEEdaSWLabelCSVFile : public CQVEEdaPjtCSVFileBase {
public:
    CQVEEdaSWLabelCSVFile();
    ~CQVEEdaSWLabelCSVFile() override;
    std::uint32_t WriteBody(CQVEEdaRefCom* ref, std::string& body) override;
    const char* GetHeadLine() override;
    const char* GetFileID() override;
};

// Engineering units ("engunit" table of the project's reference database).
class CQVEEdaEngUnitCSVFile : public CQVEEdaPjtCSVFileBase {
public:
    CQVEEdaEngUnitCSVFile();
    ~CQVEEdaEngUnitCSVFile() override;
    std::uint32_t WriteBody(CQVEEdaRefCom* ref, std::string& body) override;
    const char* GetHeadLine() override;
    const char* GetFileID() override;
};

// ---- test-mode queries ------------------------------------------------------
// *underTest non-zero when the station is under test; 0 = answered.
std::uint32_t QVEEdaCheckQVTestByName(const char* project, const char* station, int* underTest);
// *running = 1 while the workstation runs its VREC test; 0 = answered.
std::uint32_t QVEEdaCheckQVTestVREC(int* running);
