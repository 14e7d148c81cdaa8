/* What a calling application gives the workstation services before it calls the save: where the
 * message buffer lines go and the texts of its string resources (ids in LdTuSaveIds.h). The
 * workstation folder is $TUSAVE_HOME (default $HOME/.tusave). */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Receives one message buffer line ("MSG:...", "WRN:...", "ERR:...", "PRG:nn"); returns 0 when it
 * took the line. */
typedef unsigned int (*tusave_line_fn)(void* context, const char* line);

/* Lines go to fn from now on; NULL refuses every line (the default). */
void tusave_host_set_message_sink(tusave_line_fn fn, void* context);

/* The text of string resource id (a copy is kept); NULL removes it. A resource without a text
 * reads as empty, and a few lines made of nothing else are then not put out. */
void tusave_host_set_text(unsigned int id, const char* text);

/* Control-bus frames written to and read from a station by this process so far (a save's
 * share is the difference across it). Either pointer may be NULL. */
void tusave_host_bus_frames(unsigned long* sent, unsigned long* received);

#ifdef __cplusplus
}
#endif
