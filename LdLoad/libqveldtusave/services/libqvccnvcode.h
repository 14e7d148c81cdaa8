// Text conversion from the station's EUC encoding into the workstation's code page.
#pragma once

// Converts the NUL-terminated source into target (targetSize bytes with the NUL);
// -1 on failure, any other value on success.
int QVCEucToWincode(const char* source, char* target, int targetSize, int mode);
