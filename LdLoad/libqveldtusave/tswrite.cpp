// TP file writer, value formatting and archive.
#include "LdTuSaveCtrl.h"
