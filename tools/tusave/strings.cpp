// Each text is written for the line it ends up in; the comment gives that line's form.
#include "strings.h"

namespace tusave_cli {

const std::map<unsigned, std::string>& string_table() {
    static const std::map<unsigned, std::string> table = {
        // memory
        {4107, "Cannot allocate memory."},                                     // "ERR:%s dwSize = %d"
        // station tool backup
        {4214, "Station tool backup started."},                                // "MSG:%s"
        {4215, "Station tool backup finished."},                               // "MSG:%s"
        {7216, "Cannot start the backup tool"},                                // "WRN:%s:%#x:shgsave %s"
        {7217, "Cannot wait for the backup tool"},                             // "WRN:%s:dwRtn=%#x:%s"
        {7218, "Cannot get the exit code of the backup tool"},                 // "WRN:%s:dwRtn=%#x:%s"
        {7219, "The backup tool failed"},                                      // "WRN:%s:dwRtn=%#x:%s"
        {7623, "No control bus device name; the station tool backup is skipped."},  // "WRN:%s"
        // station edit file
        {5277, "Cannot open the station edit file."},
        {5759, "Cannot read the station edit file."},
        {6919, "Cannot allocate memory for the station edit file."},
        {7132, "Cannot get the path of the station edit file."},
        {7613, "Cannot close the station edit file."},
        {7643, "Cannot write the station edit file."},
        // generation-time check
        {5989, "The station was generated from another database than the project's."},  // "ERR:"
        {7179, "Cannot get the control bus device name, error "},              // "ERR:%s%ld"
        {7180, "Cannot open the control bus, error "},                         // "ERR:%s%ld"
        {7181, "Cannot close the control bus, error "},                        // "ERR:%s%ld"
        {7209, "Checking the generation time of the station."},                // "MSG:"
        {7210, "The generation time of the station matches the project."},     // "MSG:%s"
        // start and end of the save
        {6037, "Tuning parameter save started:"},                              // "MSG:%s  %s   %s"
        {6038, "Tuning parameter save aborted."},                              // "MSG:%s  %s"
        {6039, "Tuning parameter save finished."},                             // "MSG:%s  %s"
        // upload
        {6040, "Saving area "},                                                // "MSG:%s%s"
        {6041, "Saved area "},                                                 // "MSG:%s%s"
        {6042, "The save end request did not reach the station."},             // "ERR:"
        {6043, " - save end request refused: "},                               // "ERR:%s%s%#x"
        {6044, "The operation mark save request did not reach the station."},
        {6045, " - operation mark save request refused: "},
        {6046, "The operation mark upload did not reach the station."},
        {6047, " - operation mark upload refused: "},
        {6048, "Cannot open the control bus."},                                // "ERR:%s dwRtn = %d"
        {6049, "The save request did not reach the station."},
        {6050, " - save request refused: "},
        {6051, "The save start request did not reach the station."},
        {6052, " - save start request refused: "},
        {6053, "The upload request did not reach the station."},
        {6054, " - upload request refused: "},
        {6055, "Item not saved:"},                                             // "ERR:%s %s%s %s0x%x %s0x%x"
        {6056, "tag="},
        {6057, "block code="},
        {6058, "status="},
        {6059, "Item not saved (no such record):"},
        {6060, "Item not saved (record not available):"},
        {6061, "Operation mark item not saved"},                               // "WRN:%s:iReturn=%#x:type=%#x"
        {7201, "Block code differs from the project, block "},                 // "WRN:%s%04d DB = ..."
        {7202, "Tag name differs from the project, block "},
        // initialisation
        {7171, "Cannot read the system configuration."},                       // "ERR:%s nRtn = %d"
        {7172, "cannot bind the project paths."},                              // "ERR:FilePath.InitProject %s nRtn = %d"
        {7173, "Station not in the system configuration: "},                   // "ERR:%s%s nRtn = %d"
        {7174, "Cannot get the path of the station database file, station "},  // "ERR:%s%d nRtn = %d"
        {7175, "Cannot open the station database file."},                      // "ERR:%s"
        {7185, "Cannot get the path of the reference database, station "},     // "ERR:%s%d nRtn = %d"
        {7186, "Cannot open the reference database "},                         // "ERR:%s%s nRtn = %d"
        {7187, "Cannot list the elements of the reference database."},         // "ERR:%s nRtn = %d"
        {7220, "The VREC test is running; the current project cannot be saved now."},  // "ERR:"
        {7221, "Not the current project and the station is not under test"},  // "ERR:%s:%s:%s"
        // image load and store
        {7176, "Cannot open the station database file for reading."},          // "ERR:%s FileName=%s, nRtn = %d"
        {7178, "Cannot read the station database file."},                      // "ERR:%s dwRtn = %d"
        {7182, "Cannot close the file."},                                      // "ERR:%s nRtn = %d"
        {7183, "Cannot open the station database file for writing."},          // "ERR:%s FileName = %s, nRtn = %d"
        {7184, "Cannot write the station database file."},                     // "ERR:%s dwRtn = %d"
        {7204, "Cannot get the size of the file."},                            // "ERR:%s dwRtn = %d"
        // edit file update and element search
        {7188, "Element not in the reference database: "},                     // "ERR:%s%s"
        {7189, "Cannot get the path of the edit file "},                       // "ERR:%s%s", "ERR:%s:AN"
        {7190, "Edit file not found, passed over:"},                           // "WRN:%s %s"
        {7191, "Cannot close the edit file "},                                 // "ERR:" + text + path
        {7192, "Block or record not found in the station database image."},
        {7193, "Seek error in "},                                              // "ERR:" + text + path
        {7194, "Read error in "},
        {7195, "Record not found in the edit file "},
        {7196, "Write error in "},
        {7203, "Block not found in its edit file "},                           // "ERR:%s%s u16BlockNum=%d"
        {7211, "The UAID item has an unexpected element size."},
        {7212, "The UAID item lies outside its record."},
        {7213, "A section is missing in the edit file."},
        {7214, "A section is missing in the station edit file."},
        {7215, "Block not in the station edit file"},                          // "ERR:%s:blockNo=%#x"
        {7248, "No instance name for the block code."},
        // TP file and archive
        {7197, "Cannot delete the oldest TP archive copy "},                   // "ERR:%s%s dwRtn = %d"
        {7206, "Writing the tuning parameter file."},                          // "MSG:"
        {7207, "The tuning parameter file was not written."},
        {7208, "The tuning parameter file was written."},
    };
    return table;
}

}  // namespace tusave_cli
