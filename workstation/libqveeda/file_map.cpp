// Mapped files, the tuning data files committed together, the tag file list, and the
// project CSV files written from a reference database.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "failpoint/failpoint.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqveeda/file_util.h"

using namespace eda;

namespace {

std::uint32_t failpoint_or_ok(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) return fail(static_cast<std::uint32_t>(*r), std::string(p.name()) + ": failpoint");
    return kOk;
}

std::uint32_t errno_fail(const std::string& what) { return fail(kIo, what + ": " + std::strerror(errno)); }

}  // namespace

// ---- mapped file ----------------------------------------------------------------

CQVEEdaFileMap::~CQVEEdaFileMap() {
    if (m_pMapAddress != nullptr) ::munmap(m_pMapAddress, m_dwFileSize);
}

std::uint32_t CQVEEdaFileMap::Map(const char* path, std::uintptr_t fileBase) {
    if (auto r = failpoint_or_ok("CQVEEdaFileMap::Map")) return r;
    if (open_) return fail(kAlreadyOpen, "CQVEEdaFileMap::Map: already open");
    if (path == nullptr || *path == '\0') return fail(kBadName, "CQVEEdaFileMap::Map: no path given");
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno_fail(std::string("cannot open ") + path);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<unsigned long long>(st.st_size) > std::numeric_limits<std::uint32_t>::max()) {
        ::close(fd);
        return fail(kIo, std::string(path) + ": not a regular, non-empty file below 4 GiB");
    }
    void* addr = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);  // the mapping keeps the file
    if (addr == MAP_FAILED) return errno_fail(std::string("cannot map ") + path);
    m_strFileName = path;
    m_dwFileSize = static_cast<std::uint32_t>(st.st_size);
    m_pMapAddress = addr;
    m_pCommitAddress = addr;
    m_dwDisplacement = reinterpret_cast<std::uintptr_t>(addr) - fileBase;
    open_ = true;
    return kOk;
}

std::uint32_t CQVEEdaFileMap::Commit() {
    if (auto r = failpoint_or_ok("CQVEEdaFileMap::Commit")) return r;
    if (m_pMapAddress == nullptr) return fail(kNotOpen, "CQVEEdaFileMap::Commit: no file mapped");
    if (::msync(m_pMapAddress, m_dwFileSize, MS_SYNC) != 0) return errno_fail("cannot commit " + m_strFileName);
    return kOk;
}

std::uint32_t CQVEEdaFileMap::Close() {
    if (auto r = failpoint_or_ok("CQVEEdaFileMap::Close")) return r;
    if (!open_) return fail(kNotOpen, "CQVEEdaFileMap::Close: not open");
    open_ = false;
    if (m_pMapAddress != nullptr) {
        const int rc = ::munmap(m_pMapAddress, m_dwFileSize);
        m_pMapAddress = m_pCommitAddress = nullptr;
        m_dwFileSize = 0;
        m_dwDisplacement = 0;
        if (rc != 0) return errno_fail("cannot unmap " + m_strFileName);
    }
    return kOk;
}

void CQVEEdaTFDATA::Attach(CQVEEdaFileMap* map) {
    if (map != nullptr) m_maps.push_back(map);
}

std::uint32_t CQVEEdaTFDATA::CommitAll() {
    std::uint32_t first = kOk;
    for (CQVEEdaFileMap* m : m_maps)
        if (const std::uint32_t r = m->Commit(); r != kOk && first == kOk) first = r;
    return first;
}

int CQVEEdaOdtTagFileMng::Add(const char* path) {
    m_tagFiles.emplace_back(path != nullptr ? path : "");
    return static_cast<int>(m_tagFiles.size() - 1);
}

// ---- framework object and project CSV files ----------------------------------------

namespace {
const CRuntimeClass kObjectClass{"CObject", sizeof(CObject), nullptr};
const CRuntimeClass kCsvBaseClass{"CQVEEdaPjtCSVFileBase", sizeof(CQVEEdaPjtCSVFileBase), &kObjectClass};
}  // namespace

const CRuntimeClass* CObject::GetRuntimeClass() const { return &kObjectClass; }
CObject::~CObject() = default;
void CObject::Serialize(CArchive&) {}
void CObject::AssertValid() const {}
void CObject::Dump(CDumpContext&) const {}

CQVEEdaPjtCSVFileBase::~CQVEEdaPjtCSVFileBase() = default;  // an unclosed file is left as it was

const CRuntimeClass* CQVEEdaPjtCSVFileBase::GetRuntimeClass() const { return &kCsvBaseClass; }

std::uint32_t CQVEEdaPjtCSVFileBase::Open(const char* path) {
    if (auto r = failpoint_or_ok("CQVEEdaPjtCSVFileBase::Open")) return r;
    if (m_bOpen) return fail(kAlreadyOpen, "CSV file: already open");
    if (path == nullptr || *path == '\0') return fail(kBadName, "CSV file: no path given");
    m_strPath = path;
    m_strText.clear();
    m_dwFailed = kOk;
    m_bOpen = true;
    return kOk;
}

std::uint32_t CQVEEdaPjtCSVFileBase::Close() {
    if (!m_bOpen) return fail(kNotOpen, "CSV file: not open");
    m_bOpen = false;
    if (m_dwFailed != kOk) return fail(m_dwFailed, "CSV file " + m_strPath + ": not written, left as it was");
    return write_file(m_strPath, m_strText);
}

std::uint32_t CQVEEdaPjtCSVFileBase::Write(CQVEEdaRefCom* ref) {
    if (!m_bOpen) return fail(kNotOpen, "CSV file: not open");
    if (ref == nullptr) return fail(kBadArgument, "CSV file: no reference database");
    std::string body;
    if (auto r = WriteBody(ref, body)) return m_dwFailed = r;
    m_strText = std::string(GetHeadLine()) + "\n" + body;
    return kOk;
}

std::uint32_t CQVEEdaPjtCSVFileBase::BodyOfTable(CQVEEdaRefCom* ref, const char* table, std::string& body) {
    std::vector<std::vector<std::string>> rows;
    if (auto r = ref->ListRows(table, rows)) return r;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) body += ',';
            const std::string& f = row[i];
            if (f.find_first_of(",\"\r\n") == std::string::npos) {
                body += f;
                continue;
            }
            body += '"';
            for (char c : f) body += c == '"' ? std::string("\"\"") : std::string(1, c);
            body += '"';
        }
        body += '\n';
    }
    return kOk;
}

std::uint32_t CQVEEdaSWLabelCSVFile::WriteBody(CQVEEdaRefCom* ref, std::string& body) {
    return BodyOfTable(ref, "swlabel", body);
}
const char* CQVEEdaSWLabelCSVFile::GetHeadLine() { return "#SWLABEL,number,label"; }
const char* CQVEEdaSWLabelCSVFile::GetFileID() { return "SWLABEL"; }

std::uint32_t CQVEEdaEngUnitCSVFile::WriteBody(CQVEEdaRefCom* ref, std::string& body) {
    return BodyOfTable(ref, "engunit", body);
}
const char* CQVEEdaEngUnitCSVFile::GetHeadLine() { return "#ENGUNIT,number,unit"; }
const char* CQVEEdaEngUnitCSVFile::GetFileID() { return "ENGUNIT"; }
