/* Ids of the calling application's string resources that the library loads: the caller
 * provides the texts (tusave_host_set_text, or tusave_host_use_default_texts for the shipped
 * English ones). Each id is named once here; the comment gives the form of its line. C and C++:
 * in C++ the names are in namespace LdTuSaveIds. */
#pragma once

#ifdef __cplusplus
namespace LdTuSaveIds {
#endif

enum LdTuSaveId {
    /* memory */
    IDS_NOMEMORY = 4107,                /* "ERR:%s dwSize = %d" */

    /* station tool backup */
    IDS_TOOL_START = 4214,              /* "MSG:%s" */
    IDS_TOOL_END = 4215,                /* "MSG:%s" */
    IDS_TOOL_RUN = 7216,                /* "WRN:%s:%#x:shgsave %s" */
    IDS_TOOL_WAIT = 7217,               /* "WRN:%s:dwRtn=%#x:%s" */
    IDS_TOOL_EXITCODE = 7218,           /* "WRN:%s:dwRtn=%#x:%s" */
    IDS_TOOL_FAILED = 7219,             /* "WRN:%s:dwRtn=%#x:%s" */
    IDS_TOOL_NODEVICE = 7623,           /* "WRN:%s" */

    /* station edit file */
    IDS_STNEDIT_OPEN = 5277,
    IDS_STNEDIT_READ = 5759,
    IDS_STNEDIT_NOMEMORY = 6919,
    IDS_STNEDIT_PATH = 7132,
    IDS_STNEDIT_CLOSE = 7613,
    IDS_STNEDIT_WRITE = 7643,

    /* generation-time check */
    IDS_GENTIME_MISMATCH = 5989,        /* "ERR:%s" */
    IDS_BUS_DEVNAME = 7179,             /* "ERR:%s%ld" */
    IDS_BUS_OPEN = 7180,                /* "ERR:%s%ld" */
    IDS_BUS_CLOSE = 7181,               /* "ERR:%s%ld" */
    IDS_GENTIME_START = 7209,           /* "MSG:%s" */
    IDS_GENTIME_OK = 7210,              /* "MSG:%s" */

    /* start and end of the save */
    IDS_TUSAVE_START = 6037,            /* "MSG:%s  %s   %s" */
    IDS_TUSAVE_ABORT = 6038,            /* "MSG:%s  %s" */
    IDS_TUSAVE_END = 6039,              /* "MSG:%s  %s" */

    /* upload */
    IDS_AREA_START = 6040,              /* "MSG:%s%s" */
    IDS_AREA_END = 6041,                /* "MSG:%s%s" */
    IDS_SAVEEND_SEND = 6042,            /* "ERR:%s" */
    IDS_SAVEEND_REFUSED = 6043,         /* "ERR:%s%s%#x" */
    IDS_OPEMARK_SEND = 6044,
    IDS_OPEMARK_REFUSED = 6045,
    IDS_OPEMARK_UPLOAD_SEND = 6046,
    IDS_OPEMARK_UPLOAD_REFUSED = 6047,
    IDS_UPLOAD_BUS_OPEN = 6048,         /* "ERR:%s dwRtn = %d" */
    IDS_SAVE_SEND = 6049,
    IDS_SAVE_REFUSED = 6050,
    IDS_SAVESTART_SEND = 6051,
    IDS_SAVESTART_REFUSED = 6052,
    IDS_UPLOAD_SEND = 6053,
    IDS_UPLOAD_REFUSED = 6054,
    IDS_ITEM_NOTSAVED = 6055,           /* "ERR:%s %s%s %s0x%x %s0x%x" */
    IDS_ITEM_TAG = 6056,
    IDS_ITEM_BLKCODE = 6057,
    IDS_ITEM_STATUS = 6058,
    IDS_ITEM_NORECORD = 6059,
    IDS_ITEM_RECNOTAVAIL = 6060,
    IDS_OPEMARK_ITEM = 6061,            /* "WRN:%s:iReturn=%#x:type=%#x" */
    IDS_BLKCODE_DIFFERS = 7201,         /* "WRN:%s%04d DB = 0x%04x, SAVE = 0x%04x" */
    IDS_TAG_DIFFERS = 7202,             /* "WRN:%s%04d DB = %s, SAVE = %s" */

    /* initialisation */
    IDS_SYSOBJ_INIT = 7171,             /* "ERR:%s nRtn = %d" */
    IDS_FILEPATH_INIT = 7172,           /* "ERR:FilePath.InitProject %s nRtn = %d" */
    IDS_STNCONF = 7173,                 /* "ERR:%s%s nRtn = %d" */
    IDS_DBFILE_PATH = 7174,             /* "ERR:%s%d nRtn = %d" */
    IDS_DBFILE_OPEN = 7175,             /* "ERR:%s" */
    IDS_REFDB_PATH = 7185,              /* "ERR:%s%d nRtn = %d" */
    IDS_REFDB_OPEN = 7186,              /* "ERR:%s%s nRtn = %d" */
    IDS_ELEMTBL = 7187,                 /* "ERR:%s nRtn = %d" */
    IDS_VREC_RUNNING = 7220,            /* "ERR:%s" */
    IDS_NOT_UNDER_TEST = 7221,          /* "ERR:%s:%s:%s" */

    /* image load and store */
    IDS_DBOPEN = 7176,                  /* "ERR:%s FileName=%s, nRtn = %d" */
    IDS_DBREAD = 7178,                  /* "ERR:%s dwRtn = %d" */
    IDS_FILE_CLOSE = 7182,              /* "ERR:%s nRtn = %d" */
    IDS_DBWRITEOPEN = 7183,             /* "ERR:%s FileName = %s, nRtn = %d" */
    IDS_DBWRITE = 7184,                 /* "ERR:%s dwRtn = %d" */
    IDS_DBSIZE = 7204,                  /* "ERR:%s dwRtn = %d" */

    /* edit file update and element search */
    IDS_ELEM_NOTFOUND = 7188,           /* "ERR:%s%s" */
    IDS_EDIT_PATH = 7189,               /* "ERR:%s%s", "ERR:%s:AN" */
    IDS_EDIT_MISSING = 7190,            /* "WRN:%s %s" */
    IDS_EDIT_CLOSE = 7191,
    IDS_EDIT_NOBLOCK_IMAGE = 7192,
    IDS_EDIT_SEEK = 7193,
    IDS_EDIT_READ = 7194,
    IDS_EDIT_NORECORD = 7195,
    IDS_EDIT_WRITE = 7196,
    IDS_EDIT_NOBLOCK = 7203,            /* "ERR:%s%s u16BlockNum=%d" */
    IDS_UAID_SIZE = 7211,
    IDS_UAID_OUTSIDE = 7212,
    IDS_EDIT_NOSECTION = 7213,
    IDS_STNEDIT_NOSECTION = 7214,
    IDS_STNEDIT_NOBLOCK = 7215,         /* "ERR:%s:blockNo=%#x" */
    IDS_NO_INSTNAME = 7248,

    /* TP file and archive */
    IDS_TPARCHIVE_DELETE = 7197,        /* "ERR:%s%s dwRtn = %d" */
    IDS_TP_START = 7206,                /* "MSG:%s" */
    IDS_TP_FAILED = 7207,
    IDS_TP_DONE = 7208,
};

#ifdef __cplusplus
}  /* namespace LdTuSaveIds */
#endif
