// The default English texts of the string resources the library loads by id: what tusave uses,
// and what any calling application can install with tusave_host_use_default_texts(). Each text
// is written for the line it ends up in; the comment gives that line's form.
#include <map>
#include <string>

#include "LdTuSaveIds.h"
#include "host/host_texts.h"
#include "tusave_host.h"

namespace ws {

using namespace LdTuSaveIds;

const std::map<unsigned, std::string>& default_texts() {
    static const std::map<unsigned, std::string> table = {
        // memory
        {IDS_NOMEMORY, "Cannot allocate memory."},                                     // "ERR:%s dwSize = %d"
        // station tool backup
        {IDS_TOOL_START, "Station tool backup started."},                                // "MSG:%s"
        {IDS_TOOL_END, "Station tool backup finished."},                               // "MSG:%s"
        {IDS_TOOL_RUN, "Cannot start the backup tool"},                                // "WRN:%s:%#x:shgsave %s"
        {IDS_TOOL_WAIT, "Cannot wait for the backup tool"},                             // "WRN:%s:dwRtn=%#x:%s"
        {IDS_TOOL_EXITCODE, "Cannot get the exit code of the backup tool"},                 // "WRN:%s:dwRtn=%#x:%s"
        {IDS_TOOL_FAILED, "The backup tool failed"},                                      // "WRN:%s:dwRtn=%#x:%s"
        {IDS_TOOL_NODEVICE, "No control bus device name; the station tool backup is skipped."},  // "WRN:%s"
        // station edit file
        {IDS_STNEDIT_OPEN, "Cannot open the station edit file."},
        {IDS_STNEDIT_READ, "Cannot read the station edit file."},
        {IDS_STNEDIT_NOMEMORY, "Cannot allocate memory for the station edit file."},
        {IDS_STNEDIT_PATH, "Cannot get the path of the station edit file."},
        {IDS_STNEDIT_CLOSE, "Cannot close the station edit file."},
        {IDS_STNEDIT_WRITE, "Cannot write the station edit file."},
        // generation-time check
        {IDS_GENTIME_MISMATCH, "The station was generated from another database than the project's."},  // "ERR:"
        {IDS_BUS_DEVNAME, "Cannot get the control bus device name, error "},              // "ERR:%s%ld"
        {IDS_BUS_OPEN, "Cannot open the control bus, error "},                         // "ERR:%s%ld"
        {IDS_BUS_CLOSE, "Cannot close the control bus, error "},                        // "ERR:%s%ld"
        {IDS_GENTIME_START, "Checking the generation time of the station."},                // "MSG:"
        {IDS_GENTIME_OK, "The generation time of the station matches the project."},     // "MSG:%s"
        // start and end of the save
        {IDS_TUSAVE_START, "Tuning parameter save started:"},                              // "MSG:%s  %s   %s"
        {IDS_TUSAVE_ABORT, "Tuning parameter save aborted."},                              // "MSG:%s  %s"
        {IDS_TUSAVE_END, "Tuning parameter save finished."},                             // "MSG:%s  %s"
        // upload
        {IDS_AREA_START, "Saving area "},                                                // "MSG:%s%s"
        {IDS_AREA_END, "Saved area "},                                                 // "MSG:%s%s"
        {IDS_SAVEEND_SEND, "The save end request did not reach the station."},             // "ERR:"
        {IDS_SAVEEND_REFUSED, " - save end request refused: "},                               // "ERR:%s%s%#x"
        {IDS_OPEMARK_SEND, "The operation mark save request did not reach the station."},
        {IDS_OPEMARK_REFUSED, " - operation mark save request refused: "},
        {IDS_OPEMARK_UPLOAD_SEND, "The operation mark upload did not reach the station."},
        {IDS_OPEMARK_UPLOAD_REFUSED, " - operation mark upload refused: "},
        {IDS_UPLOAD_BUS_OPEN, "Cannot open the control bus."},                                // "ERR:%s dwRtn = %d"
        {IDS_SAVE_SEND, "The save request did not reach the station."},
        {IDS_SAVE_REFUSED, " - save request refused: "},
        {IDS_SAVESTART_SEND, "The save start request did not reach the station."},
        {IDS_SAVESTART_REFUSED, " - save start request refused: "},
        {IDS_UPLOAD_SEND, "The upload request did not reach the station."},
        {IDS_UPLOAD_REFUSED, " - upload request refused: "},
        {IDS_ITEM_NOTSAVED, "Item not saved:"},                                             // "ERR:%s %s%s %s0x%x %s0x%x"
        {IDS_ITEM_TAG, "tag="},
        {IDS_ITEM_BLKCODE, "block code="},
        {IDS_ITEM_STATUS, "status="},
        {IDS_ITEM_NORECORD, "Item not saved (no such record):"},
        {IDS_ITEM_RECNOTAVAIL, "Item not saved (record not available):"},
        {IDS_OPEMARK_ITEM, "Operation mark item not saved"},                               // "WRN:%s:iReturn=%#x:type=%#x"
        {IDS_BLKCODE_DIFFERS, "Block code differs from the project, block "},                 // "WRN:%s%04d DB = ..."
        {IDS_TAG_DIFFERS, "Tag name differs from the project, block "},
        // initialisation
        {IDS_SYSOBJ_INIT, "Cannot read the system configuration."},                       // "ERR:%s nRtn = %d"
        {IDS_FILEPATH_INIT, "cannot bind the project paths."},                              // "ERR:FilePath.InitProject %s nRtn = %d"
        {IDS_STNCONF, "Station not in the system configuration: "},                   // "ERR:%s%s nRtn = %d"
        {IDS_DBFILE_PATH, "Cannot get the path of the station database file, station "},  // "ERR:%s%d nRtn = %d"
        {IDS_DBFILE_OPEN, "Cannot open the station database file."},                      // "ERR:%s"
        {IDS_REFDB_PATH, "Cannot get the path of the reference database, station "},     // "ERR:%s%d nRtn = %d"
        {IDS_REFDB_OPEN, "Cannot open the reference database "},                         // "ERR:%s%s nRtn = %d"
        {IDS_ELEMTBL, "Cannot list the elements of the reference database."},         // "ERR:%s nRtn = %d"
        {IDS_VREC_RUNNING, "The VREC test is running; the current project cannot be saved now."},  // "ERR:"
        {IDS_NOT_UNDER_TEST, "Not the current project and the station is not under test"},  // "ERR:%s:%s:%s"
        // image load and store
        {IDS_DBOPEN, "Cannot open the station database file for reading."},          // "ERR:%s FileName=%s, nRtn = %d"
        {IDS_DBREAD, "Cannot read the station database file."},                      // "ERR:%s dwRtn = %d"
        {IDS_FILE_CLOSE, "Cannot close the file."},                                      // "ERR:%s nRtn = %d"
        {IDS_DBWRITEOPEN, "Cannot open the station database file for writing."},          // "ERR:%s FileName = %s, nRtn = %d"
        {IDS_DBWRITE, "Cannot write the station database file."},                     // "ERR:%s dwRtn = %d"
        {IDS_DBSIZE, "Cannot get the size of the file."},                            // "ERR:%s dwRtn = %d"
        // edit file update and element search
        {IDS_ELEM_NOTFOUND, "Element not in the reference database: "},                     // "ERR:%s%s"
        {IDS_EDIT_PATH, "Cannot get the path of the edit file "},                       // "ERR:%s%s", "ERR:%s:AN"
        {IDS_EDIT_MISSING, "Edit file cannot be opened, passed over:"},                           // "WRN:%s %s"
        {IDS_EDIT_CLOSE, "Cannot close the edit file "},                                 // "ERR:" + text + path
        {IDS_EDIT_NOBLOCK_IMAGE, "Block or record not found in the station database image."},
        {IDS_EDIT_SEEK, "Seek error in "},                                              // "ERR:" + text + path
        {IDS_EDIT_READ, "Read error in "},
        {IDS_EDIT_NORECORD, "Record not found in the edit file "},
        {IDS_EDIT_WRITE, "Write error in "},
        {IDS_EDIT_NOBLOCK, "Block not found in its edit file "},                           // "ERR:%s%s u16BlockNum=%d"
        {IDS_UAID_SIZE, "The UAID item has an unexpected element size."},
        {IDS_UAID_OUTSIDE, "The UAID item lies outside its record."},
        {IDS_EDIT_NOSECTION, "A section is missing in the edit file."},
        {IDS_STNEDIT_NOSECTION, "A section is missing in the station edit file."},
        {IDS_STNEDIT_NOBLOCK, "Block not in the station edit file"},                          // "ERR:%s:blockNo=%#x"
        {IDS_NO_INSTNAME, "No instance name for the block code."},
        // TP file and archive
        {IDS_TPARCHIVE_DELETE, "Cannot delete the oldest TP archive copy "},                   // "ERR:%s%s dwRtn = %d"
        {IDS_TP_START, "Writing the tuning parameter file."},                          // "MSG:"
        {IDS_TP_FAILED, "The tuning parameter file was not written."},
        {IDS_TP_DONE, "The tuning parameter file was written."},
    };
    return table;
}

}  // namespace ws

extern "C" void tusave_host_use_default_texts(void) { ws::set_texts(ws::default_texts()); }

extern "C" const char* tusave_host_default_text(unsigned int id) {
    auto it = ws::default_texts().find(id);
    return it == ws::default_texts().end() ? nullptr : it->second.c_str();
}
