// Control bus access.
#pragma once

#include "port.h"

// The workstation's control-bus device into name (at least 256 bytes); 0 = done.
int ZclGetDeviceName(char* name, int reserved);
// Opens the device; *handle becomes a waitable handle, signalled while a reply frame is there.
int ZclOpen(HANDLE* handle, const char* name, int reserved);
// Writes one whole frame; returns the number of bytes written.
int ZclWrite(HANDLE handle, const void* frame, int length);
// Reads one whole frame of at most capacity bytes; returns its length, negative on failure.
int ZclRead(HANDLE handle, void* buffer, int capacity);
int ZclClose(HANDLE handle);
// Error number of the last failed call.
long ZclGetLastError();
