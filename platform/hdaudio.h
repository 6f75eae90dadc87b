// The HD Audio bus driver interface that the codec's PDO hands out through
// IRP_MN_QUERY_INTERFACE: codec verbs, resources, DMA engines, events.
//
// The same definitions on both platforms: the MinGW-w64 SDK has none, and
// only kernel code (the filter, the simulated bus) uses them.
#pragma once

#include <cstddef>

#include "platform/base.h"

#ifdef _WIN32
#include <winternl.h>

// Kernel objects that only pass through here by pointer.
struct _MDL;
struct _KEVENT;
typedef struct _MDL* PMDL;
typedef struct _KEVENT* PKEVENT;
#else
// The kernel records, so that kernel code can include both headers.
#include "platform/wdm.h"
#endif
typedef SIZE_T* PSIZE_T;
typedef UCHAR* PUCHAR;

struct HDAUDIO_CODEC_TRANSFER;
struct HDAUDIO_CODEC_RESPONSE;
struct HDAUDIO_STREAM_FORMAT;
struct HDAUDIO_CONVERTER_FORMAT;
struct HDAUDIO_DEVICE_INFORMATION;
typedef HDAUDIO_CODEC_TRANSFER* PHDAUDIO_CODEC_TRANSFER;
typedef HDAUDIO_STREAM_FORMAT* PHDAUDIO_STREAM_FORMAT;
typedef HDAUDIO_CONVERTER_FORMAT* PHDAUDIO_CONVERTER_FORMAT;
typedef HDAUDIO_DEVICE_INFORMATION* PHDAUDIO_DEVICE_INFORMATION;

enum HDAUDIO_STREAM_STATE : int { ResetState = 0, StopState = 1, PauseState = 1, RunState = 2 };
static_assert(sizeof(HDAUDIO_STREAM_STATE) == 4);

typedef void(NTAPI* PINTERFACE_REFERENCE)(PVOID Context);
typedef void(NTAPI* PINTERFACE_DEREFERENCE)(PVOID Context);

typedef void(NTAPI* PHDAUDIO_TRANSFER_COMPLETE_CALLBACK)(HDAUDIO_CODEC_TRANSFER* CodecTransfer, PVOID Context);
typedef void(NTAPI* PHDAUDIO_UNSOLICITED_RESPONSE_CALLBACK)(HDAUDIO_CODEC_RESPONSE Response, PVOID Context);

typedef NTSTATUS(NTAPI* PTRANSFER_CODEC_VERBS)(PVOID _context, ULONG Count, PHDAUDIO_CODEC_TRANSFER CodecTransfer,
                                               PHDAUDIO_TRANSFER_COMPLETE_CALLBACK Callback, PVOID Context);
typedef NTSTATUS(NTAPI* PALLOCATE_CAPTURE_DMA_ENGINE)(PVOID _context, UCHAR CodecAddress,
                                                      PHDAUDIO_STREAM_FORMAT StreamFormat, PHANDLE Handle,
                                                      PHDAUDIO_CONVERTER_FORMAT ConverterFormat);
typedef NTSTATUS(NTAPI* PALLOCATE_RENDER_DMA_ENGINE)(PVOID _context, PHDAUDIO_STREAM_FORMAT StreamFormat,
                                                     BOOLEAN Stripe, PHANDLE Handle,
                                                     PHDAUDIO_CONVERTER_FORMAT ConverterFormat);
typedef NTSTATUS(NTAPI* PCHANGE_BANDWIDTH_ALLOCATION)(PVOID _context, HANDLE Handle,
                                                      PHDAUDIO_STREAM_FORMAT StreamFormat,
                                                      PHDAUDIO_CONVERTER_FORMAT ConverterFormat);
typedef NTSTATUS(NTAPI* PALLOCATE_DMA_BUFFER)(PVOID _context, HANDLE Handle, SIZE_T RequestedBufferSize,
                                              PMDL* BufferMdl, PSIZE_T AllocatedBufferSize, PUCHAR StreamId,
                                              PULONG FifoSize);
typedef NTSTATUS(NTAPI* PFREE_DMA_BUFFER)(PVOID _context, HANDLE Handle);
typedef NTSTATUS(NTAPI* PFREE_DMA_ENGINE)(PVOID _context, HANDLE Handle);
typedef NTSTATUS(NTAPI* PSET_DMA_ENGINE_STATE)(PVOID _context, HDAUDIO_STREAM_STATE StreamState, ULONG NumberOfHandles,
                                               PHANDLE Handles);
typedef void(NTAPI* PGET_WALL_CLOCK_REGISTER)(PVOID _context, PULONG* Wallclock);
typedef NTSTATUS(NTAPI* PGET_LINK_POSITION_REGISTER)(PVOID _context, HANDLE Handle, PULONG* Position);
typedef NTSTATUS(NTAPI* PREGISTER_EVENT_CALLBACK)(PVOID _context, PHDAUDIO_UNSOLICITED_RESPONSE_CALLBACK Routine,
                                                  PVOID Context, PUCHAR Tag);
typedef NTSTATUS(NTAPI* PUNREGISTER_EVENT_CALLBACK)(PVOID _context, UCHAR Tag);
typedef NTSTATUS(NTAPI* PGET_DEVICE_INFORMATION)(PVOID _context, PHDAUDIO_DEVICE_INFORMATION DeviceInformation);
typedef void(NTAPI* PGET_RESOURCE_INFORMATION)(PVOID _context, PUCHAR CodecAddress, PUCHAR FunctionGroupStartNode);
typedef NTSTATUS(NTAPI* PALLOCATE_DMA_BUFFER_WITH_NOTIFICATION)(PVOID _context, HANDLE Handle, ULONG NotificationCount,
                                                                SIZE_T RequestedBufferSize, PMDL* BufferMdl,
                                                                PSIZE_T AllocatedBufferSize,
                                                                PSIZE_T OffsetFromFirstPage, PUCHAR StreamId,
                                                                PULONG FifoSize);
typedef NTSTATUS(NTAPI* PFREE_DMA_BUFFER_WITH_NOTIFICATION)(PVOID _context, HANDLE Handle, PMDL BufferMdl,
                                                            SIZE_T BufferSize);
typedef NTSTATUS(NTAPI* PREGISTER_NOTIFICATION_EVENT)(PVOID _context, HANDLE Handle, PKEVENT NotificationEvent);
typedef NTSTATUS(NTAPI* PUNREGISTER_NOTIFICATION_EVENT)(PVOID _context, HANDLE Handle, PKEVENT NotificationEvent);

#include "platform/layouts/hdaudio.h"

typedef HDAUDIO_CODEC_COMMAND* PHDAUDIO_CODEC_COMMAND;
typedef HDAUDIO_CODEC_RESPONSE* PHDAUDIO_CODEC_RESPONSE;
typedef HDAUDIO_BUS_INTERFACE* PHDAUDIO_BUS_INTERFACE;
typedef HDAUDIO_BUS_INTERFACE_V2* PHDAUDIO_BUS_INTERFACE_V2;

#define ORA_VALUE(name, type, value) inline constexpr type name = static_cast<type>(value);
#include "platform/values/hdaudio.def"
#undef ORA_VALUE

#define ORA_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#include "platform/values/hdaudio_guids.def"
#undef ORA_GUID
