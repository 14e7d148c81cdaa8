// The one table of result codes: code, name, meaning, what to do.
#include "tusave_results.h"

#include <cstddef>

namespace {

#define ROW(code, meaning, remedy) {code, #code, meaning, remedy}

constexpr tusave_result_info kTable[] = {
    ROW(TUSAVE_OK, "The save (or the check) ended well.", "Nothing."),
    // the save's own
    ROW(TUSAVE_E_ARGS, "The save's arguments were refused: project kind not 2 or 3, or a name missing.",
        "Give --kind 2 (the project) or 3 (its equalization project) and both names."),
    ROW(TUSAVE_E_STNFILE,
        "The station database file or the user instance file could not be found, opened, read or closed.",
        "Check <station>/DB/stndb.sfdata and <station>/DB/userinst.json of the project: the line before "
        "names the file. Restore a damaged file from a backup, then save again."),
    ROW(TUSAVE_E_GENTIME, "The running station was generated from another database than the project's.",
        "Download the project to the station, or save anyway with --mode 2: that takes the station's values "
        "into a project that was not generated for it and can put values into the wrong places."),
    ROW(TUSAVE_E_UPLOAD,
        "The station did not answer, or refused the generation-time check or the upload of its values.",
        "Check that the station runs and answers at the control bus address (\"controlBus\" in "
        "workstation.json), then save again: the save repairs what an earlier one left."),
    ROW(TUSAVE_E_TPFILE, "The tuning parameter file (TP/tuning.tps) was not written.",
        "Check the instance definitions (<station>/DB/instdef.json) and the TP folder's room and rights, "
        "then save again."),
    ROW(TUSAVE_E_INIT,
        "The save could not start: system configuration, station, project paths, reference database or "
        "current project.",
        "Check that the project and the station exist (SYSTEM/sysconfig.json) and that workstation.json and "
        "<station>/DB/reference.sqlite are readable."),
    ROW(TUSAVE_E_BUS, "The control bus could not be used for the generation-time check.",
        "Check \"controlBus\" in workstation.json: udp:127.0.0.1:PORT, a loopback address and a free port."),
    ROW(TUSAVE_E_DBREAD, "The station database file could not be loaded: unreadable, too short or damaged.",
        "Restore <station>/DB/stndb.sfdata from a backup of the project (the line before names the table "
        "or the call that failed)."),
    ROW(TUSAVE_E_DBWRITE, "The station database file could not be written; the old file was kept.",
        "Make room on the disk or give write rights to the project folder, then save again."),
    ROW(TUSAVE_E_EDIT, "The block edit files, the station's edit file or the AN message file were not all updated.",
        "Check the file the line before names (missing, damaged, no rights), then save again."),
    ROW(TUSAVE_E_TPARCHIVE, "The dated archive copy of the TP file could not be named (reported as a TP file failure).",
        "Check the clock and the TP folder, then save again."),
    ROW(TUSAVE_E_NOBLOCK, "A block was not found in its edit file (reported as an edit file failure).",
        "The block edit file does not match the project's database: regenerate the drawing, then save again."),
    ROW(TUSAVE_E_NODEVICE, "The station tool backup found no control bus device name; the backup was skipped.",
        "Set \"controlBus\" in workstation.json; the save itself is not affected."),
    ROW(TUSAVE_E_SEEKREAD, "An edit or message file could not be read (reported as an edit file failure).",
        "Check the file the line before names; restore it from a backup when it is damaged."),
    ROW(TUSAVE_E_WRITE, "An edit or message file could not be written (reported as an edit file failure).",
        "Make room on the disk or give write rights to the project folder, then save again."),
    ROW(TUSAVE_E_NOELEM, "A block is not in the reference database's element list.",
        "The reference database (<station>/DB/reference.sqlite) does not match the project: regenerate it."),
    // engineering-data services
    ROW(TUSAVE_EDA_NOT_BOUND, "A project path was asked for before the project was known.",
        "Check that the project folder exists under the projects folder of workstation.json."),
    ROW(TUSAVE_EDA_UNKNOWN_KEY, "A file key is not one of the project's file keys.",
        "An internal fault: report it with the lines of the save."),
    ROW(TUSAVE_EDA_BAD_NAME, "A project or station name is empty or holds \"/\", \"\\\", \"..\" or a control character.",
        "Give plain names, as in SYSTEM/sysconfig.json."),
    ROW(TUSAVE_EDA_BAD_ARGUMENT, "A service was called with an argument out of range.",
        "An internal fault: report it with the lines of the save."),
    ROW(TUSAVE_EDA_CONFIG, "workstation.json or the project's SYSTEM/sysconfig.json is missing or malformed.",
        "Fix the file the line names (its place and what was expected there are given)."),
    ROW(TUSAVE_EDA_NO_STATION, "The station is not in the project's system configuration.",
        "Give one of the stations of SYSTEM/sysconfig.json (tusave names them)."),
    ROW(TUSAVE_EDA_DATABASE, "The reference database is missing, not a database, or an SQL call failed.",
        "Restore <station>/DB/reference.sqlite from a backup of the project."),
    ROW(TUSAVE_EDA_NOT_OPEN, "The reference database or its element table was used before it was opened.",
        "An internal fault: report it with the lines of the save."),
    ROW(TUSAVE_EDA_ALREADY_OPEN, "The reference database was opened twice.",
        "An internal fault: report it with the lines of the save."),
    ROW(TUSAVE_EDA_NO_TABLE, "The reference database has no element table of the documented form.",
        "Restore <station>/DB/reference.sqlite from a backup of the project."),
    ROW(TUSAVE_EDA_LOCKED, "Another save holds the station (its generation lock).",
        "Wait until that save ends (tusave names its process), then save again."),
    ROW(TUSAVE_EDA_BAD_HANDLE, "A generation lock was given back with a handle that does not hold it.",
        "An internal fault: report it with the lines of the save."),
    ROW(TUSAVE_EDA_IO, "A file system call failed (the lock folder, a log or a project file).",
        "Check rights and room in the workstation folder ($TUSAVE_HOME): lock/ and log/ must be writable."),
    ROW(TUSAVE_EDA_NOT_CONFIGURED, "The station's configuration lacks a value the save needs (such as its I/O bus types).",
        "Complete the station's entry in SYSTEM/sysconfig.json."),
    ROW(TUSAVE_EDA_NO_FILE, "A file that must exist does not.", "Restore the file the line names."),
    ROW(TUSAVE_EDA_TOO_MANY, "A listing holds more rows than it accepts.",
        "The reference database is far larger than a station can be: check it."),
    // instance definition service
    ROW(TUSAVE_INST_NOT_OPEN, "The instance definitions were used before they were opened.",
        "An internal fault: report it with the lines of the save."),
    ROW(TUSAVE_INST_ALREADY_OPEN, "The instance definitions were opened twice.",
        "An internal fault: report it with the lines of the save."),
    ROW(TUSAVE_INST_BAD_ARGUMENT, "The instance definition service was called with a bad argument.",
        "An internal fault: report it with the lines of the save."),
    ROW(TUSAVE_INST_NO_FILE, "The station's instance definitions file (<station>/DB/instdef.json) is missing.",
        "Restore the file from a backup of the project."),
    ROW(TUSAVE_INST_MALFORMED, "The station's instance definitions file is not in its documented form.",
        "Fix or restore <station>/DB/instdef.json (the line names the place)."),
    ROW(TUSAVE_INST_UNKNOWN, "A block code, model or item is not in the instance definitions.",
        "The instance definitions do not match the project's database: regenerate them."),
    ROW(TUSAVE_INST_NO_MEMORY, "The instance definitions did not fit in memory.", "Free memory, then save again."),
};

#undef ROW

}  // namespace

extern "C" const tusave_result_info* tusave_result_table(unsigned int* count) {
    if (count) *count = static_cast<unsigned int>(sizeof kTable / sizeof kTable[0]);
    return kTable;
}

extern "C" const tusave_result_info* tusave_result_find(unsigned int code) {
    for (const tusave_result_info& r : kTable)
        if (r.code == code) return &r;
    return nullptr;
}

extern "C" const char* tusave_result_meaning(unsigned int code) {
    const tusave_result_info* r = tusave_result_find(code);
    return r ? r->meaning : "not a result code of the save or its services";
}
