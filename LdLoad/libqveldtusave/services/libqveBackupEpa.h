// Automatic backup of a station.
#pragma once

#include <ctime>

class CQVEFCSAutBackup {
public:
    // 1 when automatic backup is on for the station.
    static int IsFCSAutBackupMode(const char* project, const char* station, int reserved);
    // Records the comment of the coming backup; 0 = recorded.
    static unsigned int CreateComment(const char* project, const char* station, std::time_t start,
                                      int kind, unsigned short value, const char* appText,
                                      const char* station2);
    // Copies the station's database file and TP file into a dated backup folder; 0 = done.
    static unsigned int BackupFCS(const char* project, const char* station, int flag);
};
