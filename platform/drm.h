// The DRM kernel library call the kernel filter forwards content rights with.
#pragma once

#include "platform/wdm.h"

#ifdef _WIN32
#include <ddk/drmk.h>
#else

struct DRMRIGHTS {
  BOOL CopyProtect;
  ULONG Reserved;
  BOOL DigitalOutputDisable;
};
typedef DRMRIGHTS* PDRMRIGHTS;
typedef const DRMRIGHTS* PCDRMRIGHTS;
static_assert(sizeof(DRMRIGHTS) == 12);
static_assert(offsetof(DRMRIGHTS, Reserved) == 4 && offsetof(DRMRIGHTS, DigitalOutputDisable) == 8);

// Flags must be 0; the content goes to DeviceObject, for the stream of FileObject.
struct DRMFORWARD {
  DWORD Flags;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PVOID Context;
};
typedef DRMFORWARD* PDRMFORWARD;
typedef const DRMFORWARD* PCDRMFORWARD;
static_assert(sizeof(DRMFORWARD) == 32);
static_assert(offsetof(DRMFORWARD, DeviceObject) == 8 && offsetof(DRMFORWARD, FileObject) == 16 &&
              offsetof(DRMFORWARD, Context) == 24);

extern "C" {
NTSTATUS NTAPI DrmForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward);
}

#endif  // _WIN32
