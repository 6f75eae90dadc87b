// Compiled only in the Windows cross build: the HD Audio records have no SDK
// counterpart here, so this holds their documented layouts under the Windows
// compiler's rules (its bit-field packing included).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/hdaudio.h"
