/* What a calling application gives the workstation services before it calls the save: where the
 * message buffer lines go, where the services' other words go, and the texts of its string
 * resources (ids in LdTuSaveIds.h). The workstation folder is $TUSAVE_HOME (default
 * $HOME/.tusave). The library writes nothing on the process's stdout or stderr. */
#pragma once

#include "tusave_results.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives one message buffer line ("MSG:...", "WRN:...", "ERR:...", "PRG:nn"), on the thread
 * that called the save, while the save runs; returns 0 when it took the line. */
typedef unsigned int (*tusave_line_fn)(void* context, const char* line);

/* Lines go to fn from now on; NULL refuses every line (the default). */
void tusave_host_set_message_sink(tusave_line_fn fn, void* context);

/* Receives a text of the workstation services that is not a message buffer line: a log file that
 * cannot be written, a settings or definitions file found malformed. Called on the thread of
 * the call that met it. */
typedef void (*tusave_note_fn)(void* context, const char* text);

/* Notes go to fn from now on; NULL drops them (the default). */
void tusave_host_set_note_sink(tusave_note_fn fn, void* context);

/* The text of string resource id (a copy is kept); NULL removes it. A resource without a text
 * reads as empty, and a few lines made of nothing else are then not put out. */
void tusave_host_set_text(unsigned int id, const char* text);

/* Installs the English texts that ship with the library (those tusave uses) for every id the
 * library loads; tusave_host_set_text can replace any of them afterwards. */
void tusave_host_use_default_texts(void);

/* The shipped English text of id, or NULL when there is none. */
TUSAVE_NODISCARD const char* tusave_host_default_text(unsigned int id);

/* Control-bus frames written to and read from a station by this process so far (a save's
 * share is the difference across it). Either pointer may be NULL. */
void tusave_host_bus_frames(unsigned long* sent, unsigned long* received);

#ifdef __cplusplus
}
#endif
