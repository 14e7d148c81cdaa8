// Ids of the calling application's string resources that the library loads: the caller
// provides the texts. Each id is named once here; the comment gives the form of its line.
#pragma once

#include <cstdint>

namespace LdTuSaveIds {

// memory
constexpr std::uint32_t IDS_NOMEMORY = 4107;            // "ERR:%s dwSize = %d"

// station tool backup
constexpr std::uint32_t IDS_TOOL_START = 4214;          // "MSG:%s"
constexpr std::uint32_t IDS_TOOL_END = 4215;            // "MSG:%s"
constexpr std::uint32_t IDS_TOOL_RUN = 7216;            // "WRN:%s:%#x:shgsave %s"
constexpr std::uint32_t IDS_TOOL_WAIT = 7217;           // "WRN:%s:dwRtn=%#x:%s"
constexpr std::uint32_t IDS_TOOL_EXITCODE = 7218;       // "WRN:%s:dwRtn=%#x:%s"
constexpr std::uint32_t IDS_TOOL_FAILED = 7219;         // "WRN:%s:dwRtn=%#x:%s"
constexpr std::uint32_t IDS_TOOL_NODEVICE = 7623;       // "WRN:%s"

// station edit file
constexpr std::uint32_t IDS_STNEDIT_OPEN = 5277;
constexpr std::uint32_t IDS_STNEDIT_READ = 5759;
constexpr std::uint32_t IDS_STNEDIT_NOMEMORY = 6919;
constexpr std::uint32_t IDS_STNEDIT_PATH = 7132;
constexpr std::uint32_t IDS_STNEDIT_CLOSE = 7613;
constexpr std::uint32_t IDS_STNEDIT_WRITE = 7643;

// generation-time check
constexpr std::uint32_t IDS_GENTIME_MISMATCH = 5989;    // "ERR:%s"
constexpr std::uint32_t IDS_BUS_DEVNAME = 7179;         // "ERR:%s%ld"
constexpr std::uint32_t IDS_BUS_OPEN = 7180;            // "ERR:%s%ld"
constexpr std::uint32_t IDS_BUS_CLOSE = 7181;           // "ERR:%s%ld"
constexpr std::uint32_t IDS_GENTIME_START = 7209;       // "MSG:%s"
constexpr std::uint32_t IDS_GENTIME_OK = 7210;          // "MSG:%s"

// start and end of the save
constexpr std::uint32_t IDS_TUSAVE_START = 6037;        // "MSG:%s  %s   %s"
constexpr std::uint32_t IDS_TUSAVE_ABORT = 6038;        // "MSG:%s  %s"
constexpr std::uint32_t IDS_TUSAVE_END = 6039;          // "MSG:%s  %s"

// upload
constexpr std::uint32_t IDS_AREA_START = 6040;          // "MSG:%s%s"
constexpr std::uint32_t IDS_AREA_END = 6041;            // "MSG:%s%s"
constexpr std::uint32_t IDS_SAVEEND_SEND = 6042;        // "ERR:%s"
constexpr std::uint32_t IDS_SAVEEND_REFUSED = 6043;     // "ERR:%s%s%#x"
constexpr std::uint32_t IDS_OPEMARK_SEND = 6044;
constexpr std::uint32_t IDS_OPEMARK_REFUSED = 6045;
constexpr std::uint32_t IDS_OPEMARK_UPLOAD_SEND = 6046;
constexpr std::uint32_t IDS_OPEMARK_UPLOAD_REFUSED = 6047;
constexpr std::uint32_t IDS_UPLOAD_BUS_OPEN = 6048;     // "ERR:%s dwRtn = %d"
constexpr std::uint32_t IDS_SAVE_SEND = 6049;
constexpr std::uint32_t IDS_SAVE_REFUSED = 6050;
constexpr std::uint32_t IDS_SAVESTART_SEND = 6051;
constexpr std::uint32_t IDS_SAVESTART_REFUSED = 6052;
constexpr std::uint32_t IDS_UPLOAD_SEND = 6053;
constexpr std::uint32_t IDS_UPLOAD_REFUSED = 6054;
constexpr std::uint32_t IDS_ITEM_NOTSAVED = 6055;       // "ERR:%s %s%s %s0x%x %s0x%x"
constexpr std::uint32_t IDS_ITEM_TAG = 6056;
constexpr std::uint32_t IDS_ITEM_BLKCODE = 6057;
constexpr std::uint32_t IDS_ITEM_STATUS = 6058;
constexpr std::uint32_t IDS_ITEM_NORECORD = 6059;
constexpr std::uint32_t IDS_ITEM_RECNOTAVAIL = 6060;
constexpr std::uint32_t IDS_OPEMARK_ITEM = 6061;        // "WRN:%s:iReturn=%#x:type=%#x"
constexpr std::uint32_t IDS_BLKCODE_DIFFERS = 7201;     // "WRN:%s%04d DB = 0x%04x, SAVE = 0x%04x"
constexpr std::uint32_t IDS_TAG_DIFFERS = 7202;         // "WRN:%s%04d DB = %s, SAVE = %s"

// initialisation
constexpr std::uint32_t IDS_SYSOBJ_INIT = 7171;         // "ERR:%s nRtn = %d"
constexpr std::uint32_t IDS_FILEPATH_INIT = 7172;       // "ERR:FilePath.InitProject %s nRtn = %d"
constexpr std::uint32_t IDS_STNCONF = 7173;             // "ERR:%s%s nRtn = %d"
constexpr std::uint32_t IDS_DBFILE_PATH = 7174;         // "ERR:%s%d nRtn = %d"
constexpr std::uint32_t IDS_DBFILE_OPEN = 7175;         // "ERR:%s"
constexpr std::uint32_t IDS_REFDB_PATH = 7185;          // "ERR:%s%d nRtn = %d"
constexpr std::uint32_t IDS_REFDB_OPEN = 7186;          // "ERR:%s%s nRtn = %d"
constexpr std::uint32_t IDS_ELEMTBL = 7187;             // "ERR:%s nRtn = %d"
constexpr std::uint32_t IDS_VREC_RUNNING = 7220;        // "ERR:%s"
constexpr std::uint32_t IDS_NOT_UNDER_TEST = 7221;      // "ERR:%s:%s:%s"

// image load and store
constexpr std::uint32_t IDS_DBOPEN = 7176;              // "ERR:%s FileName=%s, nRtn = %d"
constexpr std::uint32_t IDS_DBREAD = 7178;              // "ERR:%s dwRtn = %d"
constexpr std::uint32_t IDS_FILE_CLOSE = 7182;          // "ERR:%s nRtn = %d"
constexpr std::uint32_t IDS_DBWRITEOPEN = 7183;         // "ERR:%s FileName = %s, nRtn = %d"
constexpr std::uint32_t IDS_DBWRITE = 7184;             // "ERR:%s dwRtn = %d"
constexpr std::uint32_t IDS_DBSIZE = 7204;              // "ERR:%s dwRtn = %d"

// edit file update and element search
constexpr std::uint32_t IDS_ELEM_NOTFOUND = 7188;       // "ERR:%s%s"
constexpr std::uint32_t IDS_EDIT_PATH = 7189;           // "ERR:%s%s", "ERR:%s:AN"
constexpr std::uint32_t IDS_EDIT_MISSING = 7190;        // "WRN:%s %s"
constexpr std::uint32_t IDS_EDIT_CLOSE = 7191;
constexpr std::uint32_t IDS_EDIT_NOBLOCK_IMAGE = 7192;
constexpr std::uint32_t IDS_EDIT_SEEK = 7193;
constexpr std::uint32_t IDS_EDIT_READ = 7194;
constexpr std::uint32_t IDS_EDIT_NORECORD = 7195;
constexpr std::uint32_t IDS_EDIT_WRITE = 7196;
constexpr std::uint32_t IDS_EDIT_NOBLOCK = 7203;        // "ERR:%s%s u16BlockNum=%d"
constexpr std::uint32_t IDS_UAID_SIZE = 7211;
constexpr std::uint32_t IDS_UAID_OUTSIDE = 7212;
constexpr std::uint32_t IDS_EDIT_NOSECTION = 7213;
constexpr std::uint32_t IDS_STNEDIT_NOSECTION = 7214;
constexpr std::uint32_t IDS_STNEDIT_NOBLOCK = 7215;     // "ERR:%s:blockNo=%#x"
constexpr std::uint32_t IDS_NO_INSTNAME = 7248;

// TP file and archive
constexpr std::uint32_t IDS_TPARCHIVE_DELETE = 7197;    // "ERR:%s%s dwRtn = %d"
constexpr std::uint32_t IDS_TP_START = 7206;            // "MSG:%s"
constexpr std::uint32_t IDS_TP_FAILED = 7207;
constexpr std::uint32_t IDS_TP_DONE = 7208;

}  // namespace LdTuSaveIds
