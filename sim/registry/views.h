// The 64-bit and 32-bit registry views of user mode, as 64-bit Windows 7 and
// later keep them.
//
// The kernel sees neither: its paths reach the store unchanged. The Win32 face
// maps each path it is about to open through RedirectPath.
//
// 32-bit view (KEY_WOW64_32KEY):
//   \REGISTRY\MACHINE\SOFTWARE[\x]              -> SOFTWARE\Wow6432Node[\x]
//   ...\SOFTWARE\Classes\<R>[\x]                -> ...\SOFTWARE\Classes\Wow6432Node\<R>[\x]
//   \REGISTRY\USER\<SID>\Software\Classes\<R>   -> ...\Software\Classes\Wow6432Node\<R>
//   where <R> is one of the redirected class subkeys: CLSID, DirectShow,
//   Interface, Media Type, MediaFoundation. Everything else under Classes
//   (ProgIDs, AppID, TypeLib, file associations) is shared by both views, as is
//   the rest of HKEY_CURRENT_USER\Software.
//   A path already inside a Wow6432Node is not redirected again.
// 64-bit view (no flag, or KEY_WOW64_64KEY): every path as it is.
#pragma once

#include <string>
#include <string_view>

namespace sim::registry {

enum class View { Native64, Wow32 };

std::u16string RedirectPath(std::u16string_view absolute_path, View view);

}  // namespace sim::registry
