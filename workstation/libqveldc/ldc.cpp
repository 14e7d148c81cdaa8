// Load check: compares the generation stamp of the project's station database file with the
// one the running station reports, and gives the texts of station result codes.
#include "libqveldc.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ZclNthmi.h"
#include "libqverxeda.h"
#include "port.h"
#include "libqveldc/ldc_host.h"
#include "port/port_host.h"
#include "tusave_bytes.h"

namespace {

constexpr char kDbMagic[8] = {'T', 'U', 'S', 'F', 'D', 'B', '0', '1'};
constexpr std::size_t kDbHeaderUsed = 0x28;
constexpr std::size_t kDbStnNo = 0x0C;
constexpr std::size_t kDbGenStamp = 0x10;

// Details of the last check, for the line of its detail code.
struct LastCheck {
    std::string path;
    unsigned long long projectStamp = 0;
    unsigned long long stationStamp = 0;
    unsigned code = 0;      // the station's result code of a refusal
    int status = -1;        // the bus status of a reply that was not good
    unsigned fileStn = 0;   // station number in the file header
    unsigned stn = 0;       // number of the station being saved
};
LastCheck g_last;
std::uint32_t g_frameSeq = 0;

std::string format(const char* fmt, auto... args) {
    int n = std::snprintf(nullptr, 0, fmt, args...);
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::snprintf(s.data(), s.size() + 1, fmt, args...);
    return s;
}

const char* station_text(unsigned code) {
    switch (code) {
        case 0x9401: return "The station does not know the request: ";
        case 0x9402: return "The request serial number is not the one the station expects: ";
        case 0x9403: return "The session is not the station's open session: ";
        case 0x9404: return "The request parameters are invalid: ";
        case 0x9406: return "The station has no data prepared for upload: ";
        case 0x9407: return "The area is not on the station: ";
        case 0x9412: return "The block is not on the station: ";
        case 0x9413: return "The record is not in the block: ";
        case 0x9414: return "The operation mark kind is not on the station: ";
        case 0x9415: return "The station has no table of that kind: ";
        case 0x9416: return "The elements asked for lie outside the station's table: ";
        case 0x9642: return "The station is still preparing the data: ";
        default: return nullptr;
    }
}

int fail(int* detail, int code) {
    *detail = code;
    return 1;
}

}  // namespace

int LdCheckGenTime(HANDLE bus, const char* /*parm1*/, const char* /*parm2*/, const char* /*project*/,
                   const char* station, CQVERXEdaSysObj* sysObj, const char* dbFilePath, int* detail, int /*reserved*/) {
    int dummy = 0;
    if (!detail) detail = &dummy;
    *detail = 0;
    g_last = LastCheck{};
    if (!bus || !dbFilePath) return fail(detail, ldc::kDetailArgs);
    g_last.path = dbFilePath;

    std::uint8_t head[kDbHeaderUsed];
    {
        const int fd = port::open_regular(dbFilePath, O_RDONLY);
        if (fd < 0) return fail(detail, ldc::kDetailDbFile);
        std::size_t got = 0;
        ssize_t n = 0;
        while (got < sizeof head && ((n = ::read(fd, head + got, sizeof head - got)) > 0 || (n < 0 && errno == EINTR)))
            if (n > 0) got += static_cast<std::size_t>(n);
        ::close(fd);
        if (n < 0) return fail(detail, ldc::kDetailDbFile);
        if (got != sizeof head || std::memcmp(head, kDbMagic, 8) != 0) return fail(detail, ldc::kDetailDbHeader);
    }
    g_last.projectStamp = tb::load_u64(head + kDbGenStamp);

    // The station asked is the one being saved; a file generated for another station (copied
    // into this station's folder) is refused, not compared with that other station.
    std::uint16_t stnNo = static_cast<std::uint16_t>(tb::load_u32(head + kDbStnNo));
    if (sysObj && station) {
        _OdtStnInf stn{};
        if (sysObj->StnConfByName(station, &stn) != 0) return fail(detail, ldc::kDetailArgs);
        g_last.fileStn = tb::load_u32(head + kDbStnNo);
        g_last.stn = stn.wStnNo;
        if (g_last.fileStn != g_last.stn) return fail(detail, ldc::kDetailOtherStation);
        stnNo = stn.wStnNo;
    }

    std::uint8_t req[56] = {};
    tb::store_u32(req + 0, g_frameSeq++);
    tb::store_u16(req + 12, stnNo);
    req[24] = 8;
    tb::store_u16(req + 28, 0x0603);
    tb::store_u16(req + 30, 12);
    req[32 + 2] = ldc::kGenQueryCmd;
    req[32 + 3] = ldc::kGenQuerySub;
    // Written in the station's usual order; the reply's order mark tells the order it answers in.
    tb::store_be16(req + 32 + 12, 1);

    std::uint8_t rep[2076] = {};
    int n = 0;
    // A busy station (status 22) is asked once more after a second, as every other request is.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) Sleep(ldc::kBusyRetryMs);
        if (ZclWrite(bus, req, sizeof req) != static_cast<int>(sizeof req)) return fail(detail, ldc::kDetailNoAnswer);
        HANDLE handles[1] = {bus};
        if (WaitForMultipleObjects(1, handles, 0, ldc::kReplyWaitMs) != WAIT_OBJECT_0)
            return fail(detail, ldc::kDetailNoAnswer);
        std::memset(rep, 0, sizeof rep);
        n = ZclRead(bus, rep, sizeof rep);
        if (n < 0) return fail(detail, ldc::kDetailNoAnswer);
        if (n < 64) return fail(detail, ldc::kDetailBadReply);
        if (rep[33] != ldc::kStatusBusy) break;
    }
    if (rep[33] != 0) {
        g_last.status = rep[33];
        return fail(detail, ldc::kDetailNoAnswer);
    }

    // The order mark tells the station's order; a refusal may come without it.
    bool big = true;
    bool markKnown = false;
    const bool hasPara = n >= ldc::kGenReplyParaOff + ldc::kGenReplyParaSize;
    if (hasPara) {
        const std::uint8_t* p = rep + ldc::kGenReplyParaOff;
        if (tb::load_be16(p) == ldc::kOrderMark) {
            big = true;
            markKnown = true;
        } else if (tb::load_u16(p) == ldc::kOrderMark) {
            big = false;
            markKnown = true;
        }
    }
    std::uint16_t result = big ? tb::load_be16(rep + 40 + 8) : tb::load_u16(rep + 40 + 8);
    // A refusal without the mark: take the reading that is a result code the station sends.
    if (!markKnown && result != 0 && !station_text(result) && station_text(tb::load_u16(rep + 40 + 8)))
        result = tb::load_u16(rep + 40 + 8);
    if (result != 0) {
        g_last.code = result;
        return fail(detail, ldc::kDetailRefused);
    }
    if (!markKnown) return fail(detail, ldc::kDetailBadReply);
    const std::uint8_t* stamp = rep + ldc::kGenReplyParaOff + 8;
    std::uint64_t st = 0;
    if (big) {
        for (int i = 0; i < 8; ++i) st = (st << 8) | stamp[i];
    } else {
        st = tb::load_u64(stamp);
    }
    g_last.stationStamp = st;
    if (st != g_last.projectStamp) return fail(detail, ldc::kDetailDiffer);
    return 0;
}

int LdGetTReturnMessage(unsigned short code, std::string* text) {
    if (!text) return -1;
    switch (code) {
        case ldc::kDetailDiffer:
            *text = format("ERR:LdCheckGenTime(): the station was generated from another database "
                           "(project %llu, station %llu)",
                           g_last.projectStamp, g_last.stationStamp);
            return 0;
        case ldc::kDetailDbFile:
            *text = "ERR:LdCheckGenTime(): cannot read the station database file " + g_last.path;
            return 0;
        case ldc::kDetailDbHeader:
            *text = "ERR:LdCheckGenTime(): no station database header in " + g_last.path;
            return 0;
        case ldc::kDetailNoAnswer:
            *text = g_last.status >= 0
                        ? format("ERR:LdCheckGenTime(): the station does not answer (status=0x%x)", g_last.status)
                        : std::string("ERR:LdCheckGenTime(): the station does not answer");
            return 0;
        case ldc::kDetailRefused: {
            const char* t = station_text(g_last.code);
            *text = format("ERR:LdCheckGenTime(): the station refused the generation query: %s%#x",
                           t ? t : "", g_last.code);
            return 0;
        }
        case ldc::kDetailBadReply:
            *text = "ERR:LdCheckGenTime(): the station's generation reply is malformed";
            return 0;
        case ldc::kDetailOtherStation:
            *text = format("ERR:LdCheckGenTime(): the station database file %s is of station %u, not of the "
                           "station saved (%u)",
                           g_last.path.c_str(), g_last.fileStn, g_last.stn);
            return 0;
        case ldc::kDetailArgs:
            *text = "ERR:LdCheckGenTime(): no bus handle or no station database file";
            return 0;
        default:
            break;
    }
    if (const char* t = station_text(code)) {
        *text = t;
        return 0;
    }
    *text = format("Station result code 0x%04x: ", static_cast<unsigned>(code));
    return 1;
}
