// The upload driver: the connection to the station, the station-wide set-up read from the
// image, the order of work area by area, and the upload step of the pipeline.
#include <cstring>
#include <string>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveIds.h"
#include "LdTuSaveImage.h"
#include "LdTuSaveMsg.h"
#include "ZclNthmi.h"
#include "libqvecommon.h"
#include "libqveeda.h"
#include "libqverxeda.h"
#include "libqverxgen.h"
#include "tusave.h"

using namespace LdTuSaveIds;

// ---- upload driver --------------------------------------------------------------------------------

int TuGetStation(tucomn* tc) {
    if (IEdalInstOpenForTP(tc->project, tc->station, tc->projectKind) != 0) {
        TuPutMsgBuf("ERR:TuGetStation(): EdalOpen() error");
        return TU_NG;
    }
    tc->instOpened = 1;
    _OdtStnInf stn{};
    if (!tc->pSysObj || tc->pSysObj->StnConfByName(tc->station, &stn) != 0) {
        TuPutMsgBuf("ERR:Can't get Station Information on master System Configuration");
        return TU_NG;
    }
    tc->stnNo = stn.wStnNo;
    char name[272] = {};
    if (ZclGetDeviceName(name, 0) != 0) {
        LdTuSaveMsgf("ERR:TuGetStation(): ZclGetDeviceName() error. dwRtn = %d", static_cast<int>(ZclGetLastError()));
        return TU_NG;
    }
    name[sizeof name - 1] = '\0';
    if (ZclOpen(&tc->zclHandle, name, 0) != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_UPLOAD_BUS_OPEN, " dwRtn = %d", static_cast<int>(ZclGetLastError()));
        return TU_NG;
    }
    tc->zclOpened = 1;
    return TU_OK;
}

void TuCloseStation(tucomn* tc) {
    if (tc->zclOpened == 1) {
        ZclClose(tc->zclHandle);
        tc->zclOpened = 0;
    }
    if (tc->instOpened == 1) {
        IEdalInstClose();
        tc->instOpened = 0;
    }
}

int TuSetStationInfo(tucomn* tc) {
    using namespace LdTuSaveImg;
    const LdTuSaveImage img = TuImage(tc);
    const LdTuSaveAnchor base = img.Base();
    auto cnst16 = [&](std::size_t field) { return img.U16(kStnCnstTbl + field).value_or(0); };
    tc->opeCnt10 = cnst16(kStnCnstOpeMk10);
    tc->opeCnt11 = cnst16(kStnCnstOpeMk11);
    tc->opeCnt42 = cnst16(kStnCnstOpeMk42);
    tc->ioFactorA = static_cast<std::int16_t>(cnst16(kStnCnstIoA));
    tc->ioFactorB = static_cast<std::int16_t>(cnst16(kStnCnstIoB));

    // A table position from the u32 at +inner of the table whose address stands at io + outer.
    auto io = img.Follow(base, kRootStnIoTbl);
    auto through = [&](std::size_t outer, std::size_t inner) -> std::uint8_t* {
        if (!io) return nullptr;
        auto tbl = img.Follow(base, *io + outer, inner + 4);
        return tbl ? img.At(img.Follow(base, *tbl + inner)) : nullptr;
    };
    tc->opeTbl10 = through(kStnIoTbl104, 4);
    tc->opeTbl11 = through(kStnIoTbl10C, 4);

    tc->opeCnt21 = tc->opeCnt22 = tc->opeCnt29 = tc->opeCnt30 = 0;
    tc->opeTbl21 = tc->opeTbl22 = tc->opeTbl29 = tc->opeTbl30 = nullptr;
    tc->opeCnt27 = tc->opeCnt28 = 0;
    tc->opeTbl27 = tc->opeTbl28 = nullptr;

    unsigned type1 = 0, type2 = 0, other = 0;
    bool fromDb = false;
    CQVEEdaFcsDatabase db;
    if (db.Open(tc->project, tc->station, 1) == 0) {
        fromDb = db.GetIOBusType(1, type1, other) == 0 && db.GetIOBusType(2, type2, other) == 0;
        db.Close();
    }
    if (!fromDb) {
        type1 = cnst16(kStnCnstIoBusType1);
        if (type1 == 0) type1 = 1;
        type2 = cnst16(kStnCnstIoBusType2);
        if (type2 == 0) type2 = 0xFFFF;
    }

    // Node table of the I/O bus at io + 0x80 + 4 * slot: count at +0x0A, table at +tblField.
    auto node = [&](int slot, std::size_t tblField, std::uint16_t* cnt, std::uint8_t** tbl, bool counted) {
        if (!io) return;
        auto nodeTbl = img.Follow(base, *io + kStnIoNodeTbls + 4 * static_cast<std::size_t>(slot), tblField + 4);
        if (!nodeTbl) return;
        const std::uint32_t tblAdrs = img.U32(*nodeTbl + tblField).value_or(0);
        const std::uint16_t n = counted ? img.U16(*nodeTbl + 0x0A).value_or(0) : 1;
        if (tblAdrs == 0 || n == 0) return;
        *cnt = n;
        *tbl = img.At(img.Conv(base, tblAdrs));
    };
    for (int bus = 1; bus <= 2; ++bus) {
        const unsigned type = bus == 1 ? type1 : type2;
        const int b = bus - 1;
        if (type == 1) node(0 + b, 0x5C, bus == 1 ? &tc->opeCnt21 : &tc->opeCnt22, bus == 1 ? &tc->opeTbl21 : &tc->opeTbl22, true);
        if (type == 2) node(2 + b, 0x54, bus == 1 ? &tc->opeCnt28 : &tc->opeCnt27, bus == 1 ? &tc->opeTbl28 : &tc->opeTbl27, false);
        if (type == 4) node(4 + b, 0x60, bus == 1 ? &tc->opeCnt29 : &tc->opeCnt30, bus == 1 ? &tc->opeTbl29 : &tc->opeTbl30, true);
    }
    tc->opeTbl42 = through(kStnIoTbl248, 0x30);
    return TU_OK;
}

int TuStationSave(tucomn* tc) {
    tc->areaNo = 0;
    TuSetStationInfo(tc);
    if (TuSaveStartReq(tc) != TU_OK) return TU_NG;
    auto save = [&](int kind) { return TuOpeMarkSave(kind, tc) == TU_OK; };
    bool ok = true;
    for (tc->opeIdx42 = 0; ok && tc->opeIdx42 < 4; ++tc->opeIdx42) ok = save(42);
    ok = ok && save(21) && save(22);
    for (tc->opeIdx2728 = 0; ok && tc->opeIdx2728 < 5; ++tc->opeIdx2728) ok = save(28);
    for (tc->opeIdx2728 = 0; ok && tc->opeIdx2728 < 5; ++tc->opeIdx2728) ok = save(27);
    for (tc->opeIdx2930 = 0; ok && tc->opeIdx2930 < tc->opeCnt29; ++tc->opeIdx2930) ok = save(29);
    for (tc->opeIdx2930 = 0; ok && tc->opeIdx2930 < tc->opeCnt30; ++tc->opeIdx2930) ok = save(30);
    ok = ok && save(10) && save(11);
    if (!ok) {
        static_cast<void>(TuSaveEndReq(tc));   // the session is closed as far as it can be; the failure stands
        return TU_NG;
    }
    return TuSaveEndReq(tc);
}

int TuConvAreaNameToNo(tucomn* tc) {
    if (tc->areaNo == 0) {
        TuPutMsgBuf("ERR:TuConvAreaNameToNo(): no area No");
        return TU_NG;
    }
    _OdtAreaInf area{};
    const unsigned char no = static_cast<unsigned char>(tc->areaNo & 0xFF);
    const std::uint32_t r = tc->projectKind == 3 ? QVERXEdaFcsAreaConfByNoEqlz(tc->project, tc->station, no, &area)
                                                 : QVERXEdaFcsAreaConfByNo(tc->project, tc->station, no, &area);
    if (r == 0xFFFFFFFFu) {
        // The area is passed over; say so, so that a save without it never looks complete.
        LdTuSaveMsgf("WRN:TuConvAreaNameToNo(): area %d of %s is not in the system configuration; its blocks are "
                     "not saved", static_cast<int>(no), tc->station ? tc->station : "");
        return TU_NG;
    }
    if (tc->pAreaName) *tc->pAreaName = std::string(area.szAreaName, strnlen(area.szAreaName, sizeof area.szAreaName));
    return TU_OK;
}

int TuUpLoadMain(tucomn* tc) {
    if (TuStationSave(tc) != TU_OK) return TU_NG;
    for (std::uint16_t area = 1; area <= 1; ++area) {
        tc->areaNo = area;
        if (TuConvAreaNameToNo(tc) != TU_OK) continue;
        if (TuAreaSave(tc) != TU_OK) return TU_NG;
    }
    return TU_OK;
}

int TuFcsUpLoad(const char* /*strParm1*/, const char* /*strParm2*/, const char* strProject, const char* strStation,
                std::uint32_t projectKind, std::uint16_t /*u16Parm7*/, const LdTuSaveDbImage* pDbImage,
                std::uint8_t* pUserInst, CQVERXEdaSysObj* sysObj, LdTuSaveRecordTbl* saveRecordTbl,
                std::uint32_t apcsTestFlag) {
    tucomn tc{};
    std::string areaName;
    tc.pAreaName = &areaName;
    tc.project = strProject;
    tc.station = strStation;
    tc.projectKind = projectKind;
    tc.pDbImage = pDbImage;
    tc.pUserInst = pUserInst;
    tc.pSysObj = sysObj;
    tc.pSaveRecordTbl = saveRecordTbl;
    tc.apcsTestFlag = apcsTestFlag;
    // The bus handle, the instance definitions and the work areas go back on every way out.
    struct Hold {
        tucomn* tc;
        ~Hold() {
            TuCloseStation(tc);
            TuFreeWorkArea();
        }
    } hold{&tc};
    return TuGetStation(&tc) == TU_OK && TuUpLoadMain(&tc) == TU_OK ? 0 : 1;
}

std::uint32_t LdTuSaveCtrlGetFcs(LdTuSaveCtrlInf* inf, LdTuSaveRecordTbl* saveRecordTbl) {
    const int r = TuFcsUpLoad(inf->strParm1.c_str(), inf->strParm2.c_str(), inf->strProject.c_str(),
                              inf->strStation.c_str(), inf->projectKind, inf->u16Parm7, &inf->pDbImage,
                              inf->pUserInst.data(), &inf->sysObj, saveRecordTbl, inf->apcsTestFlag);
    return r != 0 ? TUSAVE_E_UPLOAD : TUSAVE_OK;
}
