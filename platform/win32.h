// The Windows user-mode interfaces the system uses.
#pragma once

#include "platform/base.h"
#include "platform/win32/debug.h"
#include "platform/win32/devio.h"
#include "platform/win32/dialog.h"
#include "platform/win32/loader.h"
#include "platform/win32/locale.h"
#include "platform/win32/memory.h"
#include "platform/win32/mmcss.h"
#include "platform/win32/nls.h"
#include "platform/win32/registry.h"
#include "platform/win32/resource.h"
#include "platform/win32/setupapi.h"
#include "platform/win32/sync.h"
