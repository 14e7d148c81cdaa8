/* The tuning-parameter save of a field control station. C and C++; one include gives the whole
 * interface: the save, the host settings (tusave_host.h) and the result codes (tusave_results.h).
 * The string resource ids are in LdTuSaveIds.h. */
#pragma once

#include "tusave_host.h"
#include "tusave_results.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Saves the tuning parameters of one station: parm1 and parm2 are the caller's texts for the
 * generation check, project and station name the station, projectKind 2 (normal) or 3
 * (equalization), saveMode 0 (full), 1 (check only) or 2 (no check), parm7 a value for the
 * automatic backup comment. Reports through the message buffer; returns 0 on success. */
TUSAVE_NODISCARD unsigned int QVELdFcsTuningParmSave(const char* parm1, const char* parm2, const char* project,
                                                     const char* station, unsigned int projectKind,
                                                     unsigned int saveMode, unsigned short parm7);

/* What the last save in this process saved: the blocks of its save record table (the blocks
 * whose records came from the station and whose edit files it updates; the system and category
 * blocks, whose records are fetched too, have no entry) and their records. Both 0 when that
 * save ended before its upload was done. Either pointer may be null. */
void QVELdFcsTuningParmSaveCount(unsigned int* blocks, unsigned int* records);

#ifdef __cplusplus
}
#endif
