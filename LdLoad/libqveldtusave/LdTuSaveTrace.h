// The step trace of a save: on or off is decided once, when the save begins, so that a trace
// that is off costs no formatting and no environment look-up per frame or parameter.
#pragma once

// Takes TUSAVE_TRACE (a file the trace lines are appended to; unset: no trace) for this save.
void LdTuSaveTraceBegin();
// Formats and appends one trace line; nothing is formatted while the trace is off.
void LdTuSaveTracef(const char* project, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
