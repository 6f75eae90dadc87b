// The seam headers build together, in an order other than the tests' own.
#include "platform/com.h"
#include "platform/hdaudio.h"
#include "platform/ioctl.h"
#include "platform/ks.h"
