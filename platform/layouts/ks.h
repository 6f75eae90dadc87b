// Kernel-streaming and audio records that cross the device-control interface,
// in their 64-bit Windows layouts.
//
// Structure definitions only: the mingw layout check includes this file inside
// a namespace after the SDK headers and compares every record and field with
// the SDK's, so base types here resolve to the SDK's own there.

struct KSIDENTIFIER {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
};
static_assert(sizeof(KSIDENTIFIER) == 24 && alignof(KSIDENTIFIER) == 8);
static_assert(offsetof(KSIDENTIFIER, Set) == 0 && offsetof(KSIDENTIFIER, Id) == 16 &&
              offsetof(KSIDENTIFIER, Flags) == 20);

typedef KSIDENTIFIER KSPROPERTY;
typedef KSIDENTIFIER KSMETHOD;
typedef KSIDENTIFIER KSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE;
typedef KSIDENTIFIER KSPIN_MEDIUM;

// A property addressed to one pin of a filter.
struct KSP_PIN {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
};
static_assert(sizeof(KSP_PIN) == 32);
static_assert(offsetof(KSP_PIN, Property) == 0 && offsetof(KSP_PIN, PinId) == 24 && offsetof(KSP_PIN, Reserved) == 28);

// A property addressed to one node of a filter's topology.
struct KSP_NODE {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
};
static_assert(sizeof(KSP_NODE) == 32);
static_assert(offsetof(KSP_NODE, Property) == 0 && offsetof(KSP_NODE, NodeId) == 24 &&
              offsetof(KSP_NODE, Reserved) == 28);

struct KSPRIORITY {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
};
static_assert(sizeof(KSPRIORITY) == 8);
static_assert(offsetof(KSPRIORITY, PriorityClass) == 0 && offsetof(KSPRIORITY, PrioritySubClass) == 4);

// The head of a pin-creation request; the data format follows it directly.
struct KSPIN_CONNECT {
  KSPIN_INTERFACE Interface;
  KSPIN_MEDIUM Medium;
  ULONG PinId;
  HANDLE PinToHandle;
  KSPRIORITY Priority;
};
static_assert(sizeof(KSPIN_CONNECT) == 72 && alignof(KSPIN_CONNECT) == 8);
static_assert(offsetof(KSPIN_CONNECT, Interface) == 0 && offsetof(KSPIN_CONNECT, Medium) == 24 &&
              offsetof(KSPIN_CONNECT, PinId) == 48 && offsetof(KSPIN_CONNECT, PinToHandle) == 56 &&
              offsetof(KSPIN_CONNECT, Priority) == 64);

union KSDATAFORMAT {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
};
static_assert(sizeof(KSDATAFORMAT) == 64 && alignof(KSDATAFORMAT) == 8);
static_assert(offsetof(KSDATAFORMAT, FormatSize) == 0 && offsetof(KSDATAFORMAT, Flags) == 4 &&
              offsetof(KSDATAFORMAT, SampleSize) == 8 && offsetof(KSDATAFORMAT, Reserved) == 12 &&
              offsetof(KSDATAFORMAT, MajorFormat) == 16 && offsetof(KSDATAFORMAT, SubFormat) == 32 &&
              offsetof(KSDATAFORMAT, Specifier) == 48);

typedef KSDATAFORMAT KSDATARANGE;

struct KSDATARANGE_AUDIO {
  KSDATARANGE DataRange;
  ULONG MaximumChannels;
  ULONG MinimumBitsPerSample;
  ULONG MaximumBitsPerSample;
  ULONG MinimumSampleFrequency;
  ULONG MaximumSampleFrequency;
};
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(offsetof(KSDATARANGE_AUDIO, DataRange) == 0 && offsetof(KSDATARANGE_AUDIO, MaximumChannels) == 64 &&
              offsetof(KSDATARANGE_AUDIO, MinimumBitsPerSample) == 68 &&
              offsetof(KSDATARANGE_AUDIO, MaximumBitsPerSample) == 72 &&
              offsetof(KSDATARANGE_AUDIO, MinimumSampleFrequency) == 76 &&
              offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80);

// The header of a variable-size answer; Count items follow it.
struct KSMULTIPLE_ITEM {
  ULONG Size;
  ULONG Count;
};
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);
static_assert(offsetof(KSMULTIPLE_ITEM, Size) == 0 && offsetof(KSMULTIPLE_ITEM, Count) == 4);

struct KSTOPOLOGY_CONNECTION {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
};
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16);
static_assert(offsetof(KSTOPOLOGY_CONNECTION, FromNode) == 0 && offsetof(KSTOPOLOGY_CONNECTION, FromNodePin) == 4 &&
              offsetof(KSTOPOLOGY_CONNECTION, ToNode) == 8 && offsetof(KSTOPOLOGY_CONNECTION, ToNodePin) == 12);

struct KSPIN_CINSTANCES {
  ULONG PossibleCount;
  ULONG CurrentCount;
};
static_assert(sizeof(KSPIN_CINSTANCES) == 8);
static_assert(offsetof(KSPIN_CINSTANCES, PossibleCount) == 0 && offsetof(KSPIN_CINSTANCES, CurrentCount) == 4);

// Size covers the whole answer; the zero-terminated link name runs past the
// one declared character.
struct KSPIN_PHYSICALCONNECTION {
  ULONG Size;
  ULONG Pin;
  WCHAR SymbolicLinkName[1];
};
static_assert(sizeof(KSPIN_PHYSICALCONNECTION) == 12);
static_assert(offsetof(KSPIN_PHYSICALCONNECTION, Size) == 0 && offsetof(KSPIN_PHYSICALCONNECTION, Pin) == 4 &&
              offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) == 8);

struct KSCOMPONENTID {
  GUID Manufacturer;
  GUID Product;
  GUID Component;
  GUID Name;
  ULONG Version;
  ULONG Revision;
};
static_assert(sizeof(KSCOMPONENTID) == 72);
static_assert(offsetof(KSCOMPONENTID, Manufacturer) == 0 && offsetof(KSCOMPONENTID, Product) == 16 &&
              offsetof(KSCOMPONENTID, Component) == 32 && offsetof(KSCOMPONENTID, Name) == 48 &&
              offsetof(KSCOMPONENTID, Version) == 64 && offsetof(KSCOMPONENTID, Revision) == 68);

// Wave formats are byte-packed on Windows: the 18-byte WAVEFORMATEX is what
// travels after a KSDATAFORMAT and inside the extensible format.
#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};

struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    WORD wValidBitsPerSample;
    WORD wSamplesPerBlock;
    WORD wReserved;
  } Samples;
  DWORD dwChannelMask;
  GUID SubFormat;
};

struct KSDATAFORMAT_WAVEFORMATEX {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEX WaveFormatEx;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18 && alignof(WAVEFORMATEX) == 1);
static_assert(offsetof(WAVEFORMATEX, wFormatTag) == 0 && offsetof(WAVEFORMATEX, nChannels) == 2 &&
              offsetof(WAVEFORMATEX, nSamplesPerSec) == 4 && offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8 &&
              offsetof(WAVEFORMATEX, nBlockAlign) == 12 && offsetof(WAVEFORMATEX, wBitsPerSample) == 14 &&
              offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40 && alignof(WAVEFORMATEXTENSIBLE) == 1);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, Format) == 0 && offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18 &&
              offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20 && offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82);
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEX, DataFormat) == 0 &&
              offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx) == 64);
