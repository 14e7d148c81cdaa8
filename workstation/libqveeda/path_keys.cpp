#include "libqveeda/path_keys.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <utility>

#include "config/ws_config.h"
#include "libqveeda/eda_status.h"

namespace eda::pathkeys {
namespace {

using K = Kind;
constexpr bool F = false, D = true;  // file entry, folder entry

// clang-format off
constexpr KeyDef kTable[] = {
    // ---- templates of the workstation: $TUSAVE_HOME/template/... ----
    {"DATINFO",         K::Tmpl, F, "Data/StnInfo.dat"},
    {"DATSTNNAME",      K::Tmpl, F, "Data/StnName.dat"},
    {"DATENDIAN",       K::Tmpl, F, "Data/Endian.dat"},
    {"DATSBIODUMMY",    K::Tmpl, F, "Data/SBIODummy.sfdata"},
    {"DATSTNTAGREF",    K::Tmpl, F, "Data/StnTagRef.sqlite"},
    {"DATFDAHISTDBDEF", K::Tmpl, F, "Data/FDAHistDB.sqlite"},
    {"DATSTN",          K::Tmpl, F, "Data/Station/{name}"},
    {"DATINST",         K::Tmpl, F, "Data/Instance/{name}"},
    {"DATENGQUILLINC",  K::Tmpl, F, "Data/QuillInc/{name}"},
    {"DATENGCALCUINC",  K::Tmpl, F, "Data/CalcuInc/{name}"},
    {"DATENGHATCH",     K::Tmpl, F, "Data/Hatch/{name}"},
    // ---- user-defined template folders: $TUSAVE_HOME/template/<folder>/... ----
    {"HATCHDEFAULT",    K::Udf, D, "{folder}/Hatch"},
    {"PJTDEFAULT",      K::Udf, D, "{folder}/Project"},
    {"HISDEFAULT",      K::Udf, D, "{folder}/HIS"},
    {"STNDEFAULT",      K::Udf, D, "{folder}/Station"},
    {"STNTAGDEFAULT",   K::Udf, D, "{folder}/Station/TagList"},
    {"ACGDEFAULT",      K::Udf, D, "{folder}/ACG"},
    {"ENGDEFAULT",      K::Udf, D, "{folder}/ENG"},
    {"STNPUBTAG",       K::Udf, F, "{folder}/Station/TagList/PubTag.csv"},
    {"STNFMSTAG",       K::Udf, F, "{folder}/Station/TagList/FMSTag.csv"},
    {"STNDATPRMSG",     K::Udf, F, "{folder}/Station/Message/PRMsg.dat"},
    {"STNSEQMSG",       K::Udf, F, "{folder}/Station/Message/SeqMsg.dat"},
    {"STNOPGMSG",       K::Udf, F, "{folder}/Station/Message/OpgMsg.dat"},
    {"STNARADEF",       K::Udf, F, "{folder}/Station/AreaDef.csv"},
    {"HISWNDSHORT",     K::Udf, F, "{folder}/HIS/WndShortCut.dat"},
    {"HISHELPWNDSHORT", K::Udf, F, "{folder}/HIS/HelpWndShortCut.dat"},
    {"HISTRDCRRCTASGN", K::Udf, F, "{folder}/HIS/TrendCorrectAssign.csv"},
    {"HISSHORT",        K::Udf, F, "{folder}/HIS/ShortCut.dat"},
    {"ENGPARTS",        K::Udf, F, "{folder}/ENG/Parts/{name}"},
    {"HISWND",          K::Udf, F, "{folder}/HIS/Window/{name}"},
    {"HISHELPWND",      K::Udf, F, "{folder}/HIS/HelpWindow/{name}"},
    {"HISTRDDSPASGN",   K::Udf, F, "{folder}/HIS/TrendDspAssign{n1:02}.csv"},
    {"ACGSYS",          K::Udf, D, "{folder}/ACG/System"},
    {"ACGSKEL",         K::Udf, D, "{folder}/ACG/Skeleton"},
    {"BATCH",           K::Udf, D, "{folder}/Batch"},
    {"BATCHDEFAULT",    K::Udf, D, "{folder}/Batch/Default"},
    {"ACGSHORT",        K::Udf, D, "{folder}/ACG/ShortCut"},
    {"INFO",            K::Udf, D, "{folder}/Info"},
    {"DEFFILES",        K::Udf, D, "{folder}/DefFiles"},
    {"ENGDRAW",         K::Udf, D, "{folder}/ENG/FbSymbol"},
    {"ENGLOGIC",        K::Udf, D, "{folder}/ENG/LcSymbol"},
    {"SELDOCEX",        K::Udf, D, "{folder}/SelDoc/Ex"},
    {"SELDOCPRT",       K::Udf, D, "{folder}/SelDoc/PrtText"},
    {"RCP",             K::Udf, D, "{folder}/Recipe"},
    // ---- system files and folders of the project: <project>/SYSTEM/... ----
    {"SYPJTATR",          K::Sys, F, "SYSTEM/ProjectAttribute.dat"},
    {"SYCST",             K::Sys, F, "SYSTEM/Constant.dat"},
    {"SYPJTREFRDB",       K::Sys, F, "SYSTEM/ProjectRef.sqlite"},
    {"SYPJTREF",          K::Sys, F, "SYSTEM/ProjectRef.dat"},
    {"SYENGREFRDB",       K::Sys, F, "SYSTEM/EngRef.sqlite"},
    {"SYENGREF",          K::Sys, F, "SYSTEM/EngRef.dat"},
    {"SYTAGREFRDB",       K::Sys, F, "SYSTEM/TagRef.sqlite"},
    {"SYTAGREF",          K::Sys, F, "SYSTEM/TagRef.dat"},
    {"SYUNT",             K::Sys, F, "SYSTEM/EngUnit.edf"},
    {"SYUNTXT",           K::Sys, F, "SYSTEM/EngUnit.csv"},
    {"SYSWT",             K::Sys, F, "SYSTEM/SwitchLabel.edf"},
    {"SYSWTXT",           K::Sys, F, "SYSTEM/SwitchLabel.csv"},
    {"SYSTS",             K::Sys, F, "SYSTEM/StatusMsg.edf"},
    {"SYSSTSEDF",         K::Sys, F, "SYSTEM/SysStsLabel.edf"},
    {"BLKSTSEDF",         K::Sys, F, "SYSTEM/BlkStsLabel.edf"},
    {"ALMSTSEDF",         K::Sys, F, "SYSTEM/AlmStsLabel.edf"},
    {"SYATB",             K::Sys, F, "SYSTEM/AlarmTable.edf"},
    {"SYAPR",             K::Sys, F, "SYSTEM/AlarmPriority.edf"},
    {"SYALM",             K::Sys, F, "SYSTEM/AlarmDef.edf"},
    {"SYCHG",             K::Sys, F, "SYSTEM/StsChange.dat"},
    {"STSCHGEDF",         K::Sys, F, "SYSTEM/StsChange.edf"},
    {"SYMLT",             K::Sys, F, "SYSTEM/Matrix.edf"},
    {"SYPLT",             K::Sys, F, "SYSTEM/PlantClass.edf"},
    {"SYINST",            K::Sys, F, "SYSTEM/InstGroup.edf"},
    {"SYCFG",             K::Sys, F, "SYSTEM/sysconfig.json"},
    {"SYSECURITY",        K::Sys, F, "SYSTEM/Security.dat"},
    {"SYOPEMARK",         K::Sys, F, "SYSTEM/OpeMark.edf"},
    {"SYDEFSEC",          K::Sys, F, "SYSTEM/DefSecurity.dat"},
    {"SYLOCKA",           K::Sys, F, "SYSTEM/LOCK/GenLockA.lck"},
    {"SYLOCKPJTBACKUP",   K::Sys, F, "SYSTEM/LOCK/PjtBackup.lck"},
    {"SYPJTBACKUPINFO",   K::Sys, F, "SYSTEM/BACKUP/BackupInfo.dat"},
    {"SYPJTNOTBACKUPTXT", K::Sys, F, "SYSTEM/BACKUP/NotBackup.txt"},
    {"SYLOCKC",           K::Sys, F, "SYSTEM/LOCK/GenLockC.lck"},
    {"SYDSP",             K::Sys, F, "SYSTEM/DspColor.edf"},
    {"SYUSRSEC",          K::Sys, F, "SYSTEM/UserSecurity.dat"},
    {"SYACTBL",           K::Sys, F, "SYSTEM/ACTLTable.dat"},
    {"SYREVINF",          K::Sys, F, "SYSTEM/RevisionInfo.dat"},
    {"FDAINFOFILE",       K::Sys, F, "SYSTEM/FDA/FDAInfo.dat"},
    {"SBFBENV",           K::Sys, F, "SYSTEM/SBFB/Env.dat"},
    {"SBFBCFDDFILE",      K::Sys, F, "SYSTEM/SBFB/CFDD.dat"},
    {"SBFBHOSTFILE",      K::Sys, F, "SYSTEM/SBFB/Host.dat"},
    {"ETC",               K::Sys, D, "SYSTEM/ETC"},
    {"COM",               K::Sys, D, "SYSTEM/COMMON"},
    {"BAT",               K::Sys, D, "SYSTEM/BATCH"},
    {"BATETC",            K::Sys, D, "SYSTEM/BATCH/ETC"},
    {"SELDOC",            K::Sys, D, "SYSTEM/SELDOC"},
    // ---- station files: <project>/<station>/... ----
    {"FCLSF",             K::Fcs, F, "{stn}/DB/stndb.sfdata"},
    {"FCLT0",             K::Fcs, F, "{stn}/DB/tfdata0.edf"},
    {"FCLT1",             K::Fcs, F, "{stn}/DB/tfdata1.edf"},
    {"FCREFRDB",          K::Fcs, F, "{stn}/DB/reference.sqlite"},
    {"FCREF",             K::Fcs, F, "{stn}/DB/reference.dat"},
    {"FCTAGREFRDB",       K::Fcs, F, "{stn}/DB/TagRef.sqlite"},
    {"FCENGREFRDB",       K::Fcs, F, "{stn}/DB/EngRef.sqlite"},
    {"FCENGREF",          K::Fcs, F, "{stn}/DB/EngRef.dat"},
    {"FCFBREFRDB",        K::Fcs, F, "{stn}/DB/FBRef.sqlite"},
    {"OPENGREFRDB",       K::Fcs, F, "{stn}/DB/HISEngRef.sqlite"},
    {"OPENGREF",          K::Fcs, F, "{stn}/DB/HISEngRef.dat"},
    {"FCPRTAG",           K::Fcs, F, "{stn}/DB/PRTag.dat"},
    {"FCOGTAG",           K::Fcs, F, "{stn}/DB/OGTag.dat"},
    {"FCPRL",             K::Fcs, F, "{stn}/DB/PrList.dat"},
    {"FCUSINSTL",         K::Fcs, F, "{stn}/DB/UsInstList.dat"},
    {"FCPROGRAM",         K::Fcs, D, "{stn}/PROGRAM"},
    {"FCPROGRAM2",        K::Fcs, F, "{stn}/PROGRAM/{name}"},
    {"FCARA",             K::Fcs, F, "{stn}/CONFIGURATION/AreaDef.edf"},
    {"FCADL",             K::Fcs, F, "{stn}/CONFIGURATION/AdlDef.edf"},
    {"FCINSTGRP",         K::Fcs, F, "{stn}/CONFIGURATION/InstGroup.edf"},
    {"FCOPTXT1",          K::Fcs, F, "{stn}/CONFIGURATION/OpGuide1.txt"},
    {"FCOPTXT2",          K::Fcs, F, "{stn}/CONFIGURATION/OpGuide2.txt"},
    {"FCSTN",             K::Fcs, F, "{stn}/CONFIGURATION/StnConf.edf"},
    {"FCEQUIPMENT",       K::Fcs, F, "{stn}/CONFIGURATION/Equipment.edf"},
    {"FCSTS",             K::Fcs, F, "{stn}/CONFIGURATION/StsLabel.edf"},
    {"FCCHG",             K::Fcs, F, "{stn}/CONFIGURATION/StsChange.edf"},
    {"FCIOMUNIT",         K::Fcs, F, "{stn}/IOM/Unit.dat"},
    {"FCIOMDEF",          K::Fcs, F, "{stn}/IOM/IomDef.edf"},
    {"FCIOMDEFSB",        K::Fcs, F, "{stn}/IOM/IomDefSB.edf"},
    {"FCSBIOOFFLDLOG",    K::Fcs, F, "{stn}/IOM/SBIOOffLoad.log"},
    {"FCIOMLOCK",         K::Fcs, F, "{stn}/IOM/Iom.lck"},
    {"FCSWT",             K::Fcs, F, "{stn}/SWITCH/CommonSwitch.edf"},
    {"FCGSW",             K::Fcs, F, "{stn}/SWITCH/GlobalSwitch.edf"},
    {"FCCOMMDATAWW",      K::Fcs, F, "{stn}/COMMDATA/WW.edf"},
    {"FCWBTAG",           K::Fcs, F, "{stn}/COMMDATA/WBTagDef.edf"},
    {"FCFNCL",            K::Fcs, F, "{stn}/SEQ_LIBRARY/FuncList.dat"},
    {"FCSFCL",            K::Fcs, F, "{stn}/SEQ_LIBRARY/SfcList.dat"},
    {"FCCALCUINC",        K::Fcs, F, "{stn}/CALCU/{name}"},
    {"FCLC",              K::Fcs, F, "{stn}/LOGIC_CHART/{name}"},
    {"FCMTX",             K::Fcs, F, "{stn}/MATRIX/{name}"},
    {"FCSEQFUNC",                K::Fcs, F, "{stn}/SEQ_LIBRARY/FUNC_TYPE/{name}"},
    {"FCFOLDERSEQLIBFNC",        K::Fcs, D, "{stn}/SEQ_LIBRARY/FUNC_TYPE"},
    {"FCSEQQLLFNC",              K::Fcs, F, "{stn}/SEQ_LIBRARY/QUILL_FUNC/{name}"},
    {"FCFOLDERSEQLIBQLLFNC",     K::Fcs, D, "{stn}/SEQ_LIBRARY/QUILL_FUNC"},
    {"FCSEQSFCSEQ",              K::Fcs, F, "{stn}/SEQ_LIBRARY/SFC_SEQ/{name}"},
    {"FCFOLDERSEQLIBSFCSEQ",     K::Fcs, D, "{stn}/SEQ_LIBRARY/SFC_SEQ"},
    {"FCSEQUNITPROC",            K::Fcs, F, "{stn}/SEQ_LIBRARY/UNIT_PROC/{name}"},
    {"FCFOLDERSEQLIBUNITPROC",   K::Fcs, D, "{stn}/SEQ_LIBRARY/UNIT_PROC"},
    {"FCSEQQLLFNCO",             K::Fcs, F, "{stn}/SEQ_LIBRARY/QUILL_FUNC_OBJ/{name}"},
    {"FCFOLDERSEQQLLFNCO",       K::Fcs, D, "{stn}/SEQ_LIBRARY/QUILL_FUNC_OBJ"},
    {"FCSEQSFCSEQL",             K::Fcs, F, "{stn}/SEQ_LIBRARY/SFC_SEQ_SRC/{name}"},
    {"FCFOLDERSEQSFCSEQL",       K::Fcs, D, "{stn}/SEQ_LIBRARY/SFC_SEQ_SRC"},
    {"FCSEQSFCSEQO",             K::Fcs, F, "{stn}/SEQ_LIBRARY/SFC_SEQ_OBJ/{name}"},
    {"FCFOLDERSEQSFCSEQO",       K::Fcs, D, "{stn}/SEQ_LIBRARY/SFC_SEQ_OBJ"},
    {"FCSEQUNITPRCO",            K::Fcs, F, "{stn}/SEQ_LIBRARY/UNIT_PROC_OBJ/{name}"},
    {"FCFOLDERSEQUNITPRCO",      K::Fcs, D, "{stn}/SEQ_LIBRARY/UNIT_PROC_OBJ"},
    {"FCQLLFNC",                 K::Fcs, F, "{stn}/SEQ_LIBRARY/QUILL_FUNC_DISP/{name}"},
    {"FCFOLDERSEQLIBQLLFNCDISP", K::Fcs, D, "{stn}/SEQ_LIBRARY/QUILL_FUNC_DISP"},
    {"FCSFCSEQ",                 K::Fcs, F, "{stn}/SEQ_LIBRARY/SFC_SEQ_DISP/{name}"},
    {"FCFOLDERSEQLIBSFCSEQDISP", K::Fcs, D, "{stn}/SEQ_LIBRARY/SFC_SEQ_DISP"},
    {"FCUNITPROC",               K::Fcs, F, "{stn}/SEQ_LIBRARY/UNIT_PROC_DISP/{name}"},
    {"FCFOLDERSEQLIBUNITPROCDISP", K::Fcs, D, "{stn}/SEQ_LIBRARY/UNIT_PROC_DISP"},
    {"FCUSRCSTMPROG",            K::Fcs, F, "{stn}/USER_CUSTOM/{name}"},
    {"FCUSRCSTM",                K::Fcs, D, "{stn}/USER_CUSTOM"},
    // ---- operator station files: <project>/<station>/HIS/... ----
    {"OPREFRDB",     K::His, F, "{stn}/HIS/Reference.sqlite"},
    {"OPREF",        K::His, F, "{stn}/HIS/Reference.dat"},
    {"OPTRASNG",     K::His, F, "{stn}/HIS/TREND/AssignG.dat"},
    {"OPTRBLK",      K::His, F, "{stn}/HIS/TREND/Block.dat"},
    {"OPTRASNDSP",   K::His, F, "{stn}/HIS/TREND/AssignDisp.dat"},
    {"OPTRDEF",      K::His, F, "{stn}/HIS/TREND/TrendDef.dat"},
    {"OPCLSMNG",     K::His, F, "{stn}/HIS/CLASS/ClsMng.dat"},
    {"OPCLSDEF",     K::His, F, "{stn}/HIS/CLASS/ClsDef.dat"},
    {"OPCLSDEFTMP",  K::His, F, "{stn}/HIS/CLASS/ClsDefTmp.dat"},
    {"OPSTN",        K::His, F, "{stn}/HIS/StnConf.edf"},
    {"OPSCD",        K::His, F, "{stn}/HIS/Scheduler.dat"},
    {"OPPANELSET",   K::His, F, "{stn}/HIS/PanelSet.dat"},
    {"OPMRQ",        K::His, F, "{stn}/HIS/SeqMsgReq.dat"},
    {"OUFNC",        K::His, F, "{stn}/HIS/FuncKey.dat"},
    {"OPWNDLIST",    K::His, F, "{stn}/HIS/WINDOW/WndList.dat"},
    {"OPWNDSUBLIST", K::His, F, "{stn}/HIS/WINDOW/WndSubList.dat"},
    {"OPLTMDEF",     K::His, F, "{stn}/HIS/LtmDef.dat"},
    {"OPSECURITY",   K::His, F, "{stn}/HIS/Security.dat"},
    {"OPCONFDEF",    K::His, F, "{stn}/HIS/OpeconDef.dat"},
    {"OPHISSEC",     K::His, F, "{stn}/HIS/SecOdb.dat"},
    // ---- station folders: <project>/<station>/... ----
    {"ETC",          K::Stn, D, "{stn}/ETC"},
    {"TAGLIST",      K::Stn, D, "{stn}/TAGLIST"},
    // ---- numbered and optional-station paths (GetPath) ----
    {"MTXEDF",            K::Path, F, "SYSTEM/MATRIX/Matrix{n1}.edf"},
    {"SYMLD",             K::Path, F, "SYSTEM/MATRIX/MatrixDef{n1}.dat"},
    {"SYBATRG",           K::Path, F, "SYSTEM/BATCH/RG{n1:02}/{name}"},
    {"SYFOLDERBATRG",     K::Path, D, "SYSTEM/BATCH/RG{n1:02}"},
    {"SYBATCOM",          K::Path, D, "SYSTEM/BATCH/COM/{n1:02}"},
    {"SYFOLDERBATCOM",    K::Path, D, "SYSTEM/BATCH/COM"},
    {"SYBATETCCOM",       K::Path, D, "SYSTEM/BATCH/ETC/COM/{n1:02}"},
    {"SYFOLDERBATETCCOM", K::Path, D, "SYSTEM/BATCH/ETC/COM"},
    {"SYQUILLINC",        K::Path, F, "SYSTEM/QUILL_INC/{name}"},
    {"SYFOLDERQUILLINC",  K::Path, D, "SYSTEM/QUILL_INC"},
    {"FCTPS",             K::Path, F, "{stn}/TP/{name=tuning.tps}"},
    {"FCDIF",             K::Path, F, "{stn}/TP/{name=diff.tpd}"},
    {"FCUSRPRC",          K::Path, D, "{stn}/USER_PROCEDURE"},
    {"OPHELP",            K::Path, D, "{stn}/HIS/HELP"},
    {"FCLOCKB",           K::Path, F, "{stn}/LOCK/Block.lck"},
    {"FCMULTGENLOCK",     K::Path, F, "{stn}/LOCK/MultGen.lck"},
    {"FCSTNGENLOCK",      K::Path, F, "{stn}/LOCK/StnGen.lck"},
    {"BACKUPSTNLOCK",     K::Path, F, "{stn}/LOCK/Backup.lck"},
    {"FCSFCSCL",          K::Path, F, "{stn}/SFC/FcsC.dat"},
    {"FCCOMMDATAWB",      K::Path, F, "{stn}/COMMDATA/WB{n1:02}.edf"},
    {"OPTRGET",           K::Path, F, "{stn}/HIS/TREND/TrendGet{n1:02}.dat"},
    {"FCSQM",             K::Path, F, "{stn}/MESSAGE/prmsg{n1:02}.edf"},
    {"FCANM",             K::Path, F, "{stn}/MESSAGE/anmsg{n1:02}.edf"},
    {"FCOPM",             K::Path, F, "{stn}/MESSAGE/opmsg{n1:02}.edf"},
    {"FCEVM",             K::Path, F, "{stn}/MESSAGE/evmsg{n1:02}.edf"},
    // ---- service-internal ----
    {"USERINST",          K::Internal, F, "{stn}/DB/userinst.json"},
    {"INSTDEF",           K::Internal, F, "{stn}/DB/instdef.json"},
    {"FCSBLOCK",          K::Internal, F, "{stn}/FUNCTION_BLOCK/DR{n1:04}/{name}.edf"},
    {"FCSCUSTOM",         K::Internal, D, "{stn}/Custom"},
};
// clang-format on

constexpr long long kMaxNumber = 99999;

bool append_number(std::string& out, long long v, int width) {
    if (v < 0 || v > kMaxNumber) return false;
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return false;
    const auto len = static_cast<int>(end - buf);
    for (int i = len; i < width; ++i) out += '0';
    out.append(buf, end);
    return true;
}

// One more check behind the name checks: no element of rel may be empty, "." or "..".
bool contained(std::string_view rel) {
    if (rel.empty() || rel.front() == '/') return false;
    std::size_t start = 0;
    while (start <= rel.size()) {
        std::size_t slash = rel.find('/', start);
        if (slash == std::string_view::npos) slash = rel.size();
        const auto part = rel.substr(start, slash - start);
        if (part.empty() || part == "." || part == ".." || part.find('\\') != std::string_view::npos ||
            part.find('\0') != std::string_view::npos)
            return false;
        start = slash + 1;
    }
    return true;
}

// The name was checked by expand before the pattern is walked.
std::uint32_t put_name(std::string& out, const char* name, const char* what, const char* key) {
    if (name == nullptr) return fail(kBadName, std::string("key ") + key + ": no " + what + " given");
    out += name;
    return kOk;
}

}  // namespace

std::span<const KeyDef> table() { return kTable; }

const KeyDef* find(std::string_view key, Kind kind) {
    // Asked for every path (a save asks once per saved block): the table indexed once, the
    // first entry of a key and kind the one found.
    static const auto index = [] {
        std::map<std::pair<Kind, std::string_view>, const KeyDef*> m;
        for (const auto& d : kTable) m.emplace(std::pair{d.kind, std::string_view(d.key)}, &d);
        return m;
    }();
    const auto it = index.find({kind, key});
    return it == index.end() ? nullptr : it->second;
}

bool under_workstation(Kind kind) { return kind == Kind::Tmpl || kind == Kind::Udf; }

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Tmpl: return "template file";
        case Kind::Udf: return "template folder";
        case Kind::Sys: return "system";
        case Kind::Fcs: return "station file";
        case Kind::His: return "HIS file";
        case Kind::Stn: return "station folder";
        case Kind::Path: return "GetPath";
        case Kind::Internal: return "internal";
    }
    return "?";
}

std::uint32_t expand(const KeyDef& def, const Args& args, const std::string& root, std::string& out) {
    // Names given but not used by the pattern are still checked: a caller never gets a path
    // for a name it should not have passed.
    for (const char* n : {args.station, args.folder})
        if (n != nullptr && !ws::valid_name(n))
            return fail(kBadName, std::string("key ") + def.key + ": invalid name \"" + n + "\"");
    if (args.name != nullptr && !ws::valid_name(args.name))
        return fail(kBadName, std::string("key ") + def.key + ": invalid file name \"" + args.name + "\"");

    const std::string_view p = def.pattern;
    // Asked once per saved block: the relative path is put together in a buffer kept for that.
    thread_local std::string rel;
    rel.clear();
    bool usedName = false;
    for (std::size_t i = 0; i < p.size();) {
        if (p[i] != '{') {
            const std::size_t open = std::min(p.find('{', i), p.size());
            rel.append(p.substr(i, open - i));
            i = open;
            continue;
        }
        const std::size_t close = p.find('}', i);
        const std::string_view ph = p.substr(i + 1, close - i - 1);
        i = close + 1;
        std::uint32_t r = kOk;
        if (ph == "stn") {
            r = put_name(rel, args.station, "station", def.key);
        } else if (ph == "folder") {
            r = put_name(rel, args.folder, "folder", def.key);
        } else if (ph == "name") {
            r = put_name(rel, args.name, "file name", def.key);
            usedName = true;
        } else if (ph.starts_with("name=")) {
            rel += args.name != nullptr ? std::string_view(args.name) : ph.substr(5);
            usedName = true;
        } else if (ph.starts_with("n")) {
            const long long v = ph[1] == '1' ? args.n1 : ph[1] == '2' ? args.n2 : args.n3;
            const int width = ph.size() == 5 ? (ph[3] - '0') * 10 + (ph[4] - '0') : 0;
            if (!append_number(rel, v, width))
                return fail(kBadArgument, std::string("key ") + def.key + ": number " + std::to_string(v) +
                                              " out of range");
        }
        if (r != kOk) return r;
    }
    if (args.name != nullptr && !usedName) {
        if (!def.folder)
            return fail(kBadName, std::string("key ") + def.key + " names one file and takes no file name");
        rel += '/';
        rel += args.name;
    }
    if (!contained(rel)) return fail(kBadName, std::string("key ") + def.key + ": path leaves its folder: " + rel);
    out.reserve(root.size() + 1 + rel.size());
    out.assign(root).append(1, '/').append(rel);
    return kOk;
}

std::string markdown() {
    std::string s =
        "# Path keys\n\n"
        "The key table of the project path service (`workstation/libqveeda/path_keys.cpp`).\n"
        "Paths are relative to the project folder (`<projectsDir>/<project>/`, or its `EQLZ/`),\n"
        "template keys to `$TUSAVE_HOME/template/`. `{stn}` station, `{folder}` template folder,\n"
        "`{name}` file name (`{name=x}`: x when none is given), `{n1}` number 1 (`{n1:02}`: two\n"
        "digits). A folder key given a file name yields the file in that folder.\n\n"
        "| key | kind | folder | path |\n|---|---|---|---|\n";
    for (const auto& d : kTable) {
        s += "| ";
        s += d.key;
        s += " | ";
        s += kind_name(d.kind);
        s += d.folder ? " | yes | " : " | | ";
        s += under_workstation(d.kind) ? "template/" : "";
        s += d.pattern;
        s += " |\n";
    }
    return s;
}

}  // namespace eda::pathkeys
