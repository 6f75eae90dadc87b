// HD Audio bus interface records, in their documented 64-bit layouts (the
// MinGW-w64 SDK has no HD Audio bus header to check them against).
//
// Structure definitions only, after the function types of platform/hdaudio.h.
// Bit fields are ULONG (USHORT for the converter format) and fill from bit 0
// upwards, as both the Windows and the Linux compilers lay them out.

// A codec command word: codec address in bits 31-28, node in 27-20, and either
// a 12-bit verb with 8 bits of payload or a 4-bit verb with 16 bits.
struct HDAUDIO_CODEC_COMMAND {
  union {
    struct {
      ULONG Data : 8;
      ULONG VerbId : 12;
      ULONG Node : 8;
      ULONG CodecAddress : 4;
    } Verb8;
    struct {
      ULONG Data : 16;
      ULONG VerbId : 4;
      ULONG Node : 8;
      ULONG CodecAddress : 4;
    } Verb16;
    ULONG Command;
  };
};
static_assert(sizeof(HDAUDIO_CODEC_COMMAND) == 4);

// A codec response: the 32-bit response, then the SDI line it came in on
// (bits 35-32), whether it was unsolicited (bit 36), and the controller's
// overrun (bit 62) and valid (bit 63) flags.
struct HDAUDIO_CODEC_RESPONSE {
  union {
    struct {
      union {
        struct {
          ULONG Response : 21;
          ULONG SubTag : 5;
          ULONG Tag : 6;
        } Unsolicited;
        ULONG Response;
      };
      ULONG SDataIn : 4;
      ULONG IsUnsolicitedResponse : 1;
      ULONG : 25;
      ULONG HasFifoOverrun : 1;
      ULONG IsValid : 1;
    };
    ULONGLONG CompleteResponse;
  };
};
static_assert(sizeof(HDAUDIO_CODEC_RESPONSE) == 8 && alignof(HDAUDIO_CODEC_RESPONSE) == 8);
static_assert(offsetof(HDAUDIO_CODEC_RESPONSE, Response) == 0 &&
              offsetof(HDAUDIO_CODEC_RESPONSE, CompleteResponse) == 0);

// One verb of a TransferCodecVerbs call: the bus fills Input.
struct HDAUDIO_CODEC_TRANSFER {
  HDAUDIO_CODEC_COMMAND Output;
  HDAUDIO_CODEC_RESPONSE Input;
};
static_assert(sizeof(HDAUDIO_CODEC_TRANSFER) == 16);
static_assert(offsetof(HDAUDIO_CODEC_TRANSFER, Output) == 0 && offsetof(HDAUDIO_CODEC_TRANSFER, Input) == 8);

struct HDAUDIO_STREAM_FORMAT {
  ULONG SampleRate;
  USHORT ValidBitsPerSample;
  USHORT ContainerSize;
  USHORT NumberOfChannels;
};
static_assert(sizeof(HDAUDIO_STREAM_FORMAT) == 12);
static_assert(offsetof(HDAUDIO_STREAM_FORMAT, SampleRate) == 0 &&
              offsetof(HDAUDIO_STREAM_FORMAT, ValidBitsPerSample) == 4 &&
              offsetof(HDAUDIO_STREAM_FORMAT, ContainerSize) == 6 &&
              offsetof(HDAUDIO_STREAM_FORMAT, NumberOfChannels) == 8);

// The 16-bit stream format word of a converter.
struct HDAUDIO_CONVERTER_FORMAT {
  union {
    struct {
      USHORT NumberOfChannels : 4;
      USHORT BitsPerSample : 3;
      USHORT : 1;
      USHORT SampleRate : 7;
      USHORT StreamType : 1;
    };
    USHORT ConverterFormat;
  };
};
static_assert(sizeof(HDAUDIO_CONVERTER_FORMAT) == 2);

struct HDAUDIO_DEVICE_INFORMATION {
  USHORT Size;
  USHORT DeviceVersion;
  USHORT DriverVersion;
  USHORT CodecsDetected;
  BOOLEAN IsStripingSupported;
};
static_assert(sizeof(HDAUDIO_DEVICE_INFORMATION) == 10);
static_assert(offsetof(HDAUDIO_DEVICE_INFORMATION, Size) == 0 &&
              offsetof(HDAUDIO_DEVICE_INFORMATION, DeviceVersion) == 2 &&
              offsetof(HDAUDIO_DEVICE_INFORMATION, DriverVersion) == 4 &&
              offsetof(HDAUDIO_DEVICE_INFORMATION, CodecsDetected) == 6 &&
              offsetof(HDAUDIO_DEVICE_INFORMATION, IsStripingSupported) == 8);

// What GetResourceInformation reports: where the codec sits on the link and
// the first node of its function groups. Our own record, shared by the bus
// model and the filter.
struct ORA_HDAUDIO_CODEC_LOCATION {
  UCHAR CodecAddress;
  UCHAR FunctionGroupStartNode;
};
static_assert(sizeof(ORA_HDAUDIO_CODEC_LOCATION) == 2);
static_assert(offsetof(ORA_HDAUDIO_CODEC_LOCATION, CodecAddress) == 0 &&
              offsetof(ORA_HDAUDIO_CODEC_LOCATION, FunctionGroupStartNode) == 1);

// Answer to IRP_MN_QUERY_INTERFACE for GUID_HDAUDIO_BUS_INTERFACE.
struct HDAUDIO_BUS_INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PTRANSFER_CODEC_VERBS TransferCodecVerbs;
  PALLOCATE_CAPTURE_DMA_ENGINE AllocateCaptureDmaEngine;
  PALLOCATE_RENDER_DMA_ENGINE AllocateRenderDmaEngine;
  PCHANGE_BANDWIDTH_ALLOCATION ChangeBandwidthAllocation;
  PALLOCATE_DMA_BUFFER AllocateDmaBuffer;
  PFREE_DMA_BUFFER FreeDmaBuffer;
  PFREE_DMA_ENGINE FreeDmaEngine;
  PSET_DMA_ENGINE_STATE SetDmaEngineState;
  PGET_WALL_CLOCK_REGISTER GetWallClockRegister;
  PGET_LINK_POSITION_REGISTER GetLinkPositionRegister;
  PREGISTER_EVENT_CALLBACK RegisterEventCallback;
  PUNREGISTER_EVENT_CALLBACK UnregisterEventCallback;
  PGET_DEVICE_INFORMATION GetDeviceInformation;
  PGET_RESOURCE_INFORMATION GetResourceInformation;
};
static_assert(sizeof(HDAUDIO_BUS_INTERFACE) == 144);
static_assert(offsetof(HDAUDIO_BUS_INTERFACE, Size) == 0 && offsetof(HDAUDIO_BUS_INTERFACE, Version) == 2 &&
              offsetof(HDAUDIO_BUS_INTERFACE, Context) == 8 &&
              offsetof(HDAUDIO_BUS_INTERFACE, InterfaceReference) == 16 &&
              offsetof(HDAUDIO_BUS_INTERFACE, InterfaceDereference) == 24 &&
              offsetof(HDAUDIO_BUS_INTERFACE, TransferCodecVerbs) == 32 &&
              offsetof(HDAUDIO_BUS_INTERFACE, AllocateCaptureDmaEngine) == 40 &&
              offsetof(HDAUDIO_BUS_INTERFACE, AllocateRenderDmaEngine) == 48 &&
              offsetof(HDAUDIO_BUS_INTERFACE, ChangeBandwidthAllocation) == 56 &&
              offsetof(HDAUDIO_BUS_INTERFACE, AllocateDmaBuffer) == 64 &&
              offsetof(HDAUDIO_BUS_INTERFACE, FreeDmaBuffer) == 72 &&
              offsetof(HDAUDIO_BUS_INTERFACE, FreeDmaEngine) == 80 &&
              offsetof(HDAUDIO_BUS_INTERFACE, SetDmaEngineState) == 88 &&
              offsetof(HDAUDIO_BUS_INTERFACE, GetWallClockRegister) == 96 &&
              offsetof(HDAUDIO_BUS_INTERFACE, GetLinkPositionRegister) == 104 &&
              offsetof(HDAUDIO_BUS_INTERFACE, RegisterEventCallback) == 112 &&
              offsetof(HDAUDIO_BUS_INTERFACE, UnregisterEventCallback) == 120 &&
              offsetof(HDAUDIO_BUS_INTERFACE, GetDeviceInformation) == 128 &&
              offsetof(HDAUDIO_BUS_INTERFACE, GetResourceInformation) == 136);

// Answer for GUID_HDAUDIO_BUS_INTERFACE_V2: the same entries, then four more.
struct HDAUDIO_BUS_INTERFACE_V2 {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PTRANSFER_CODEC_VERBS TransferCodecVerbs;
  PALLOCATE_CAPTURE_DMA_ENGINE AllocateCaptureDmaEngine;
  PALLOCATE_RENDER_DMA_ENGINE AllocateRenderDmaEngine;
  PCHANGE_BANDWIDTH_ALLOCATION ChangeBandwidthAllocation;
  PALLOCATE_DMA_BUFFER AllocateDmaBuffer;
  PFREE_DMA_BUFFER FreeDmaBuffer;
  PFREE_DMA_ENGINE FreeDmaEngine;
  PSET_DMA_ENGINE_STATE SetDmaEngineState;
  PGET_WALL_CLOCK_REGISTER GetWallClockRegister;
  PGET_LINK_POSITION_REGISTER GetLinkPositionRegister;
  PREGISTER_EVENT_CALLBACK RegisterEventCallback;
  PUNREGISTER_EVENT_CALLBACK UnregisterEventCallback;
  PGET_DEVICE_INFORMATION GetDeviceInformation;
  PGET_RESOURCE_INFORMATION GetResourceInformation;
  PALLOCATE_DMA_BUFFER_WITH_NOTIFICATION AllocateDmaBufferWithNotification;
  PFREE_DMA_BUFFER_WITH_NOTIFICATION FreeDmaBufferWithNotification;
  PREGISTER_NOTIFICATION_EVENT RegisterNotificationEvent;
  PUNREGISTER_NOTIFICATION_EVENT UnregisterNotificationEvent;
};
static_assert(sizeof(HDAUDIO_BUS_INTERFACE_V2) == 176);
static_assert(offsetof(HDAUDIO_BUS_INTERFACE_V2, Size) == 0 && offsetof(HDAUDIO_BUS_INTERFACE_V2, Version) == 2 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, Context) == 8 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, InterfaceReference) == 16 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, InterfaceDereference) == 24 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, TransferCodecVerbs) == 32 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, GetDeviceInformation) == 128 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, GetResourceInformation) == 136 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, AllocateDmaBufferWithNotification) == 144 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, FreeDmaBufferWithNotification) == 152 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, RegisterNotificationEvent) == 160 &&
              offsetof(HDAUDIO_BUS_INTERFACE_V2, UnregisterNotificationEvent) == 168);
