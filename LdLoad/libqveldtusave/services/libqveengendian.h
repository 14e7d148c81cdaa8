// Byte order of single station values.
#pragma once

// Turns one value of size bytes (1, 2, 4 or 8) from the station's order into host order in place.
int Engntoh(void* value, int size);
