// Compiled only in the Windows cross build: the bus component's header must
// build against the WDK as the filter includes it.
#include "platform/kvlnk.h"

static_assert(IOCTL_KVLNK_GET_ENTRY == 0x3F3E0044);
static_assert(sizeof(PKVLNK_CREATE_OBJECT) == KVLNK_GET_ENTRY_OUTPUT_SIZE);
