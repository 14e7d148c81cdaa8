// Station tool backup: runs the workstation's backup tool once for every "*.xseg" file of the
// station's custom folders, one run after the other. Nothing here stops the save: every
// problem is one warning line, and the pipeline does not act on the result.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveHold.h"
#include "LdTuSaveIds.h"
#include "LdTuSaveImage.h"
#include "LibQVCCommon.h"
#include "ZclNthmi.h"
#include "libqveeda.h"
#include "port.h"

using namespace LdTuSaveIds;

namespace {

constexpr std::size_t kFolderNames = 16;     // entries of the custom folder name list
constexpr std::size_t kFolderNameLen = 8;    // characters per entry, NUL-padded
constexpr int kDirSize = 256;                // buffer of the tool path
constexpr const char* kToolParts[] = {"FCS", "tool", "shgsave"};

// What the image says about the custom files: the folder names and the two numbers of "-h".
struct ToolStation {
    std::vector<std::string> folders;  // kFolderNames entries, empty ones included
    int hostNo1 = 0;
    int hostNo2 = 0;
};

// Nothing when the station has no list: StnCnstTblAdrs, the station-wide I/O table or the list
// address is 0, or a reference does not lead to a table inside the image.
std::optional<ToolStation> LdTuSaveToolStation(const LdTuSaveCtrlInf* inf) {
    namespace img = LdTuSaveImg;
    const LdTuSaveImage image = inf->pDbImage.View();
    auto io = image.Follow(image.Base(), img::kRootStnIoTbl, img::kStnIoFolderNames + 4);
    if (!io) return std::nullopt;
    auto list = image.Follow(image.Base(), *io + img::kStnIoFolderNames, kFolderNames * kFolderNameLen);
    auto no1 = image.U8(img::kStnCnstTbl + img::kStnCnstHostNo1);
    auto no2 = image.U8(img::kStnCnstTbl + img::kStnCnstHostNo2);
    if (!list || !no1 || !no2) return std::nullopt;
    ToolStation st;
    st.hostNo1 = *no1;
    st.hostNo2 = *no2;
    for (std::size_t i = 0; i < kFolderNames; ++i) {
        const char* entry = reinterpret_cast<const char*>(image.At(*list + i * kFolderNameLen));
        std::size_t len = 0;
        while (len < kFolderNameLen && entry[len] != '\0') ++len;
        st.folders.emplace_back(entry, len);
    }
    return st;
}

// The name as a line can show it: bytes below 0x20 and 0x7F as "\xNN".
std::string LdTuSaveToolShowName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) out += LdTuSaveFormat("\\x%02x", c);
        else out += static_cast<char>(c);
    }
    return out;
}

bool LdTuSaveToolHasControl(const std::string& name) {
    return std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

// Appends the matches of folder/"*.xseg" that are not folders, in the order the search gives.
// A name with a control character is passed over with a warning: the tool refuses it, and the
// lines that name the file would carry it.
void LdTuSaveToolFind(const std::string& folder, std::vector<std::string>& files) {
    WIN32_FIND_DATAA fd;
    LdTuSaveFind find;
    if (!find.First(folder + "/*.xseg", &fd)) return;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        if (LdTuSaveToolHasControl(fd.cFileName)) {
            LdTuSaveMsgf("WRN:LdTuSaveCtrlUpdateParmFile:custom file name refused:\"%s/%s\"", folder.c_str(),
                         LdTuSaveToolShowName(fd.cFileName).c_str());
            continue;
        }
        files.push_back(folder + "/" + fd.cFileName);
    } while (find.Next(&fd));
}

// Full paths of the custom files in list order. A folder name that is not one plain path
// element (the path service's rule) is not searched: one warning names it. A folder named
// again (every unused entry is empty) is not searched again: its files are in the list.
std::vector<std::string> LdTuSaveToolFiles(const LdTuSaveCtrlInf* inf, const ToolStation& st) {
    const std::string base = inf->filePath.GetProjectTopDir() + "/" + inf->strStation + "/Custom";
    const char* side = inf->isAPCS == 0 && inf->isCurrentProject == 1 ? "FCS" : "SIM";
    std::vector<std::string> files;
    for (std::size_t i = 0; i < st.folders.size(); ++i) {
        const std::string& name = st.folders[i];
        if (std::find(st.folders.begin(), st.folders.begin() + i, name) != st.folders.begin() + i) continue;
        if (!name.empty() && !CQVEFilePath::IsPlainName(name.c_str())) {
            LdTuSaveMsgf("WRN:LdTuSaveCtrlUpdateParmFile:custom folder name refused:\"%s\"",
                         LdTuSaveToolShowName(name).c_str());
            continue;
        }
        LdTuSaveToolFind(base + (name.empty() ? "" : "/" + name) + "/" + side, files);
    }
    return files;
}

// The tool path below the workstation's top folder; nothing (and the reason in *err) when it
// cannot be had whole.
std::optional<std::string> LdTuSaveToolPath(std::uint32_t* err) {
    char dir[kDirSize] = "";
    *err = QVCGetQVTopDir(dir, kDirSize);
    for (const char* part : kToolParts)
        if (*err == 0) *err = QVCCatDir(dir, part, kDirSize);
    if (*err != 0) return std::nullopt;
    return std::string(dir);
}

// One tool run for file; waits for its end and reports what went wrong.
void LdTuSaveToolRun(const std::string& tool, const std::vector<std::string>& args, const std::string& strArgs,
                     const std::string& file) {
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(file);
    HANDLE hProcess = nullptr;
    if (!CreateProcessV(tool.c_str(), argv, &hProcess)) {
        // The command line only shows the run: the tool gets the argument vector.
        const std::string cmd = tool + " " + strArgs + file;
        LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_TOOL_RUN, ":%#x:shgsave %s", GetLastError(), cmd.c_str());
        return;
    }
    const std::unique_ptr<PortObject, BOOL (*)(HANDLE)> process(hProcess, CloseHandle);
    if (WaitForSingleObject(hProcess, INFINITE) != WAIT_OBJECT_0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_TOOL_WAIT, ":dwRtn=%#x:%s", GetLastError(), file.c_str());
    } else {
        DWORD dwRtn = 0;
        if (!GetExitCodeProcess(hProcess, &dwRtn))
            LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_TOOL_EXITCODE, ":dwRtn=%#x:%s", GetLastError(), file.c_str());
        else if (dwRtn != 0)
            LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_TOOL_FAILED, ":dwRtn=%#x:%s", dwRtn, file.c_str());
    }
}

}  // namespace

std::uint32_t LdTuSaveCtrlUpdateParmFile(LdTuSaveCtrlInf* inf) {
    const std::optional<ToolStation> st = LdTuSaveToolStation(inf);
    if (!st) return TUSAVE_OK;
    const std::vector<std::string> files = LdTuSaveToolFiles(inf, *st);
    if (files.empty()) return TUSAVE_OK;

    char szDevice[256] = "";
    if (ZclGetDeviceName(szDevice, 0) != 0) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_WRN, IDS_TOOL_NODEVICE);
        return TUSAVE_E_NODEVICE;
    }
    szDevice[sizeof szDevice - 1] = '\0';
    const std::string strArgs = LdTuSaveFormat("-h %s %d-%d ", szDevice, st->hostNo1, st->hostNo2);
    const std::vector<std::string> args{"-h", szDevice, LdTuSaveFormat("%d-%d", st->hostNo1, st->hostNo2)};

    LdTuSaveMsgPut(LDTUSAVE_MSG_MSG, IDS_TOOL_START);
    std::uint32_t dwErr = 0;
    if (const std::optional<std::string> tool = LdTuSaveToolPath(&dwErr)) {
        for (const std::string& file : files) LdTuSaveToolRun(*tool, args, strArgs, file);
    } else {
        // Without the workstation folder there is no tool to run: one warning for all files.
        LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_TOOL_RUN, ":%#x:shgsave %s", dwErr, strArgs.c_str());
    }
    LdTuSaveMsgPut(LDTUSAVE_MSG_MSG, IDS_TOOL_END);
    return TUSAVE_OK;
}
