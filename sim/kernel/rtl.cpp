// Run-time library: counted UTF-16 strings, debug print, interlocked pointers.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "sim/core/debug_log.h"
#include "sim/kernel/internal.h"

namespace sim::kernel::internal {

// Windows compares names through its upcase table: simple one-to-one
// mappings only (no "ß" -> "SS"), covering Latin, Greek and Cyrillic here.
WCHAR Upcase(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<WCHAR>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs capitals and small letters, with a shift at 0x139-0x148 and 0x179-0x17E.
    const bool odd_small = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (odd_small ? (c % 2 == 0) : (c % 2 == 1)) return static_cast<WCHAR>(c - 1);
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<WCHAR>(c - 0x20);
  return c;
}

std::u16string Upcased(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = Upcase(c);
  return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  return true;
}

std::u16string FromUnicodeString(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string Narrow(std::u16string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Widen(std::string_view s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    char32_t c = b;
    int extra = 0;
    if (b >= 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else if (b >= 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if (b >= 0xC0) {
      c = b & 0x1F;
      extra = 1;
    }
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i) c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace sim::kernel::internal

using sim::kernel::internal::Upcase;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWCH>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  std::size_t length = 0;
  while (SourceString[length]) ++length;
  // A counted string holds at most 32766 characters; Windows truncates the count.
  if (length > 0x7FFE) length = 0x7FFE;
  DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return Upcase(SourceCharacter); }

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  const std::size_t n1 = String1->Length / sizeof(WCHAR);
  const std::size_t n2 = String2->Length / sizeof(WCHAR);
  const std::size_t n = n1 < n2 ? n1 : n2;
  for (std::size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
  bytes &= ~static_cast<USHORT>(1);
  for (USHORT i = 0; i < bytes / sizeof(WCHAR); ++i) DestinationString->Buffer[i] = SourceString->Buffer[i];
  DestinationString->Length = bytes;
  // The terminator is added only when it fits.
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

ULONG DbgPrint(PCSTR Format, ...) {
  // One call carries at most 512 bytes to the debugger, terminator included.
  char text[512];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(text, sizeof text, Format, args);
  va_end(args);
  sim::DebugLog::Get().Write(sim::DebugLog::Source::Kernel, text);
  return 0;
}

PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
  std::atomic_ref<PVOID>(*const_cast<PVOID*>(Destination)).compare_exchange_strong(Comperand, Exchange);
  return Comperand;
}

}  // extern "C"
