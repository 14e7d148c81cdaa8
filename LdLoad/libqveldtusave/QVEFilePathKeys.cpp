// The exported path getters of the project path service, made from one table
// (services/QVEFilePathGetters.def), and the exported members of the engineering data
// classes. Each getter hands its key and the caller's arguments to one base getter and
// returns its result unchanged.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "LibQVEFDAHistDB.h"
#include "libqveBackupEpa.h"
#include "libqveeda.h"
#include "libqverxeda.h"

namespace {

std::string* QVEPgOut(std::string* out) { return out; }
std::string* QVEPgOut(std::string& out) { return &out; }

// The name of matrix number n.
std::string QVEPgMatrixName(int number) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Matrix%d", number);
    return buf;
}

// The station's number, or 0 when the service does not give one: a number the call did not
// set never reaches a path.
int QVEPgStnNo(CQVEFilePath& fp, const char* station) {
    std::uint8_t stnNo = 0;
    if (fp.GetStnNo(station, stnNo) != 0) return 0;
    return stnNo;
}

}  // namespace

// The base call of each shape; o is the caller's string, k and k2 the keys of the entry.
#define QVE_PGCALL_T0(k, k2) GetTmplFilePath(k, nullptr, o)
#define QVE_PGCALL_T0R(k, k2) GetTmplFilePath(k, nullptr, o)
#define QVE_PGCALL_T1(k, k2) GetTmplFilePath(k, name, o)
#define QVE_PGCALL_HATCH(k, k2) name ? GetTmplFilePath(k, name, o) : GetUDFTmplFolderPath(k2, "QVSystem", o)
#define QVE_PGCALL_UD(k, k2) GetUDFTmplFolderPath(k, folder, o)
#define QVE_PGCALL_UF(k, k2) GetUDFTmplFilePath(k, nullptr, folder, o)
#define QVE_PGCALL_UFN(k, k2) GetUDFTmplFilePath(k, name, folder, o)
#define QVE_PGCALL_UF1(k, k2) GetUDFTmplFilePath1(number, k, nullptr, folder, o)
#define QVE_PGCALL_UOPT(k, k2) name ? GetUDFTmplFilePath(k, name, folder, o) : GetUDFTmplFolderPath(k2, folder, o)
#define QVE_PGCALL_UNK(k, k2) name ? GetUDFTmplFilePath(name, nullptr, folder, o) : GetUDFTmplFolderPath(k, folder, o)
#define QVE_PGCALL_S(k, k2) GetSystemFilePath(k, o)
#define QVE_PGCALL_SR(k, k2) GetSystemFilePath(k, o)
#define QVE_PGCALL_SNK(k, k2) name ? GetSystemFilePath(name, o) : GetSystemFolderPath(k, o)
#define QVE_PGCALL_PN(k, k2) GetPath(nullptr, number, 0, 0, k, nullptr, o)
#define QVE_PGCALL_PNOPT(k, k2) \
    name ? GetPath(nullptr, number, 0, 0, k, name, o) : GetPath(nullptr, number, 0, 0, k2, nullptr, o)
#define QVE_PGCALL_PNZ(k, k2) \
    number ? GetPath(nullptr, number, 0, 0, k, nullptr, o) : GetPath(nullptr, 0, 0, 0, k2, nullptr, o)
#define QVE_PGCALL_PNAME(k, k2) \
    name ? GetPath(nullptr, 0, 0, 0, k, name, o) : GetPath(nullptr, 0, 0, 0, k2, nullptr, o)
#define QVE_PGCALL_F(k, k2) GetFCSFilePath(station, k, o)
#define QVE_PGCALL_FN(k, k2) GetFCSFilePath(station, name, k, o)
#define QVE_PGCALL_FMTX(k, k2) GetFCSFilePath(station, QVEPgMatrixName(number).c_str(), k, o)
#define QVE_PGCALL_FOPT(k, k2) name ? GetFCSFilePath(station, name, k, o) : GetFCSFilePath(station, k2, o)
#define QVE_PGCALL_QN(k, k2) GetPath(station, 0, 0, 0, k, name, o)
#define QVE_PGCALL_Q(k, k2) GetPath(station, 0, 0, 0, k, nullptr, o)
#define QVE_PGCALL_QNUM(k, k2) GetPath(station, number, 0, 0, k, nullptr, o)
#define QVE_PGCALL_QSTN(k, k2) GetPath(station, QVEPgStnNo(*this, station), 0, 0, k, nullptr, o)
#define QVE_PGCALL_H(k, k2) GetHISFilePath(station, k, o)
#define QVE_PGCALL_STND(k, k2) GetSTNFolderPath(station, k, o)
#define QVE_PGCALL_STNOPT(k, k2) name ? GetSTNFilePath(station, k, name, o) : GetSTNFolderPath(station, k, o)

#define QVE_PATH_GETTER(group, shape, fn, key, key2)             \
    std::uint32_t CQVEFilePath::fn(QVE_PGSIG_##shape) {          \
        std::string* pOut = QVEPgOut(out);                       \
        if (pOut == nullptr) return QVEEDA_E_ARGUMENT;           \
        std::string& o = *pOut;                                  \
        return QVE_PGCALL_##shape(key, key2);                    \
    }
#include "QVEFilePathGetters.def"

// ---- mapped file ----------------------------------------------------------------
// Address arithmetic is done on integers: it wraps like the addresses it models and never
// forms a pointer outside an object.

const std::string& CQVEEdaFileMap::GetFileName() { return m_strFileName; }
std::uint32_t CQVEEdaFileMap::GetFileSize() { return m_dwFileSize; }
void* CQVEEdaFileMap::GetMapAddress() { return m_pMapAddress; }
void* CQVEEdaFileMap::GetMapCommitAddress() { return m_pCommitAddress; }

void* CQVEEdaFileMap::ConvMapAddr(void* p) { return p == nullptr ? nullptr : ConvMapAddr2(p); }

void* CQVEEdaFileMap::ConvMapAddr2(void* p) {
    return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) + m_dwDisplacement);
}

void* CQVEEdaFileMap::ConvFileAddr(void* p) {
    if (p == nullptr) return nullptr;
    return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) - m_dwDisplacement);
}

// ---- sorted unsigned array -------------------------------------------------------

namespace {

std::size_t QVEUIntIndex(int i, std::size_t size, const char* what) {
    if (i < 0 || static_cast<std::size_t>(i) >= size)
        throw std::out_of_range(std::string("CQVEEdaUIntArray::") + what + ": index " + std::to_string(i) +
                                " outside 0.." + std::to_string(size));
    return static_cast<std::size_t>(i);
}

}  // namespace

int CQVEEdaUIntArray::Add(unsigned int v) {
    m_data.push_back(v);
    return static_cast<int>(m_data.size() - 1);
}

int CQVEEdaUIntArray::Insert(unsigned int v) {
    for (auto it = m_data.begin(); it != m_data.end(); ++it) {
        if (*it > v) {
            m_data.insert(it, v);
            return 1;
        }
    }
    return Add(v);
}

int CQVEEdaUIntArray::Delete(unsigned int v) {
    for (auto it = m_data.begin(); it != m_data.end(); ++it) {
        if (*it == v) {
            m_data.erase(it);
            return 1;
        }
    }
    return 0;
}

unsigned int CQVEEdaUIntArray::GetAt(int i) const { return m_data[QVEUIntIndex(i, m_data.size(), "GetAt")]; }

unsigned int& CQVEEdaUIntArray::operator[](int i) { return m_data[QVEUIntIndex(i, m_data.size(), "operator[]")]; }

int CQVEEdaUIntArray::GetSize() const { return static_cast<int>(m_data.size()); }

void CQVEEdaUIntArray::RemoveAt(int i, int n) {
    const std::size_t first = QVEUIntIndex(i, m_data.size(), "RemoveAt");
    if (n < 0 || static_cast<std::size_t>(n) > m_data.size() - first)
        throw std::out_of_range("CQVEEdaUIntArray::RemoveAt: " + std::to_string(n) + " elements from " +
                                std::to_string(i) + " outside 0.." + std::to_string(m_data.size()));
    m_data.erase(m_data.begin() + static_cast<std::ptrdiff_t>(first),
                 m_data.begin() + static_cast<std::ptrdiff_t>(first) + n);
}

// ---- CSV files, tag files, tuning data files, instance files ---------------------

CQVEEdaSWLabelCSVFile::CQVEEdaSWLabelCSVFile() = default;
CQVEEdaSWLabelCSVFile::~CQVEEdaSWLabelCSVFile() = default;
CQVEEdaEngUnitCSVFile::CQVEEdaEngUnitCSVFile() = default;
CQVEEdaEngUnitCSVFile::~CQVEEdaEngUnitCSVFile() = default;

int CQVEEdaOdtTagFileMng::GetSize() { return static_cast<int>(m_tagFiles.size()); }

std::uint32_t CQVEEdaTFDATA::CommitAllFiles() { return CommitAll(); }

bool CQVERXEdaOtherInst::IsInstFileLoaed() { return m_pInstFile != nullptr; }

// ---- copies: member by member; a held database handle or file is shared, not duplicated

#define QVE_COPY_MEMBERS(C)          \
    C::C(const C&) = default;        \
    C& C::operator=(const C&) = default;
QVE_COPY_MEMBERS(CQVEEdaTbl)
QVE_COPY_MEMBERS(CQVEEdaRDBFile)
QVE_COPY_MEMBERS(CQVEEdaRefCom)
QVE_COPY_MEMBERS(CQVEEdaRefTag)
QVE_COPY_MEMBERS(CQVEEdaRefFCS)
QVE_COPY_MEMBERS(CQVEEdaRefHIS)
QVE_COPY_MEMBERS(CQVEEdaRefEng)
QVE_COPY_MEMBERS(CQVEEdaRefFB)
QVE_COPY_MEMBERS(CQVERXEdaSysObj)
QVE_COPY_MEMBERS(CQVERXEdaOtherInst)
QVE_COPY_MEMBERS(CQVEFDADBAccess)
QVE_COPY_MEMBERS(CQVEFCSAutBackup)
QVE_COPY_MEMBERS(CQVEBackupEpaBackUpFolder)
QVE_COPY_MEMBERS(CQVEBackupEpaPutProgressBar)
QVE_COPY_MEMBERS(CQVEBackupEpaNotBackupFile)
#undef QVE_COPY_MEMBERS
