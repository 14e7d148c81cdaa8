// Automatic backup of a station.
#pragma once

#include <ctime>

class CQVEFCSAutBackup {
public:
    CQVEFCSAutBackup() = default;
    CQVEFCSAutBackup(const CQVEFCSAutBackup&);
    CQVEFCSAutBackup& operator=(const CQVEFCSAutBackup&);

    // 1 when automatic backup is on for the station.
    static int IsFCSAutBackupMode(const char* project, const char* station, int reserved);
    // Records the comment of the coming backup; 0 = recorded.
    static unsigned int CreateComment(const char* project, const char* station, std::time_t start,
                                      int kind, unsigned short value, const char* appText,
                                      const char* station2);
    // Copies the station's database file and TP file into a dated backup folder; 0 = done.
    static unsigned int BackupFCS(const char* project, const char* station, int flag);
};

// Parts of the backup: the backup folder, the progress bar and the list of files not backed
// up. Only their copies belong here; they hold nothing of their own.
class CQVEBackupEpaBackUpFolder {
public:
    CQVEBackupEpaBackUpFolder() = default;
    CQVEBackupEpaBackUpFolder(const CQVEBackupEpaBackUpFolder&);
    CQVEBackupEpaBackUpFolder& operator=(const CQVEBackupEpaBackUpFolder&);
};

class CQVEBackupEpaPutProgressBar {
public:
    CQVEBackupEpaPutProgressBar() = default;
    CQVEBackupEpaPutProgressBar(const CQVEBackupEpaPutProgressBar&);
    CQVEBackupEpaPutProgressBar& operator=(const CQVEBackupEpaPutProgressBar&);
};

class CQVEBackupEpaNotBackupFile {
public:
    CQVEBackupEpaNotBackupFile() = default;
    CQVEBackupEpaNotBackupFile(const CQVEBackupEpaNotBackupFile&);
    CQVEBackupEpaNotBackupFile& operator=(const CQVEBackupEpaNotBackupFile&);
};
