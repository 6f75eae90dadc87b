// Device-control interception: the format check, the private property sets,
// DRM content forwarding, and the edits of the function driver's answers.
//
// Every read or write of a caller's or the driver's buffer is checked against
// the request's lengths first; a request too short to examine goes down
// unexamined.
#include <cstring>

#include "filter/codec_filter.h"
#include "filter/drm_props.h"
#include "filter/orafilt_props.h"
#include "platform/ks.h"

namespace {

constexpr WCHAR kLineOutWave[] = u"\\eLineOutWave";
constexpr WCHAR kLineInWave[] = u"\\eLineInWave";
constexpr WCHAR kMixedCaptureWave[] = u"\\eMixedCaptureWave";
constexpr WCHAR kSlavedHpLineOutWave[] = u"\\eSlavedHpLineOutWave";
constexpr WCHAR kDuplicatedHpLineOutWave[] = u"\\eDuplicatedHpLineOutWave";
constexpr WCHAR kSpdifOutWave[] = u"\\espdifoutwave";

// Front left and right, front centre, LFE, back left and right.
constexpr DWORD k51ChannelMask = 0x3F;
constexpr ULONG kWaveFormatExtensibleSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
static_assert(kWaveFormatExtensibleSize == 104);
// A data-range answer: the KSMULTIPLE_ITEM header and one KSDATARANGE_AUDIO.
constexpr ULONG kDataRangeAnswerSize = sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO);

// What a property request carries, located and checked against its lengths.
struct PropertyRequest {
  KSPROPERTY property;
  PUCHAR value;       // null when absent
  ULONG valueLength;  // OutputBufferLength
  PFILE_OBJECT file;
};

// FALSE when the request is not IOCTL_KS_PROPERTY on a file object, or too
// short to hold a KSPROPERTY.
BOOLEAN LocateProperty(PIRP irp, PropertyRequest* request) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (!stack->FileObject || DEVICE_TYPE_FROM_CTL_CODE(code) != FILE_DEVICE_KS || (code & 0x3FFC) != 0) return FALSE;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  if (inputLength < sizeof(KSPROPERTY)) return FALSE;
  const UCHAR* header;
  if (irp->Flags & IRP_BUFFERED_IO) {
    auto* system = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    if (!system) return FALSE;
    // The property follows the value buffer at the next 8-byte boundary.
    const ULONGLONG offset = (static_cast<ULONGLONG>(outputLength) + 7) & ~static_cast<ULONGLONG>(7);
    header = system + offset;
    request->value = outputLength ? system : nullptr;
  } else {
    header = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    if (!header) return FALSE;
    request->value = static_cast<PUCHAR>(irp->UserBuffer);
  }
  std::memcpy(&request->property, header, sizeof(KSPROPERTY));
  request->valueLength = outputLength;
  request->file = stack->FileObject;
  return TRUE;
}

BOOLEAN NameIs(PFILE_OBJECT file, const WCHAR* name) {
  UNICODE_STRING wanted;
  RtlInitUnicodeString(&wanted, name);
  return RtlCompareUnicodeString(&file->FileName, &wanted, TRUE) == 0;
}

BOOLEAN HasValue(const PropertyRequest& r, ULONG length) { return r.value && r.valueLength >= length; }

ULONG ReadUlong(const PUCHAR p) {
  ULONG v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

VOID WriteUlong(PUCHAR p, ULONG v) { std::memcpy(p, &v, sizeof(v)); }

}  // namespace

NTSTATUS CCodecFilter::Answer(PIRP irp, ULONG_PTR information) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = information;
  CompleteLocally(irp);
  return STATUS_SUCCESS;
}

NTSTATUS CCodecFilter::CheckProposedFormat(PIRP irp, PUCHAR value, ULONG length) {
  const BOOLEAN is1220 = IsCodec1220();
  const BOOLEAN is0899 = IsCodec0899();
  // A proposal shorter than an extensible format is not examined.
  if ((!is1220 && !is0899) || !value || length < kWaveFormatExtensibleSize) return ForwardWithCompletion(irp);
  KSDATAFORMAT format;
  std::memcpy(&format, value, sizeof(format));
  if (!(format.Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) || format.FormatSize < kWaveFormatExtensibleSize)
    return ForwardWithCompletion(irp);
  WAVEFORMATEXTENSIBLE wave;
  std::memcpy(&wave, value + sizeof(KSDATAFORMAT), sizeof(wave));
  const ULONG channels = wave.Format.nChannels;
  const ULONG rate = wave.Format.nSamplesPerSec;
  const ULONG validBits = wave.Samples.wValidBitsPerSample;
  const DWORD mask = wave.dwChannelMask;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;

  BOOLEAN reject = FALSE;
  if (is1220) {
    reject = validBits > 24 || channels == 4 || (channels == 6 && mask != k51ChannelMask) ||
             (channels == 8 && m_ulDsdCapable == 0) || (NameIs(file, kMixedCaptureWave) && rate > 96000) ||
             (!NameIs(file, kLineInWave) && rate == 176400 && validBits == 24);
  } else {
    const BOOLEAN headphones = NameIs(file, kSlavedHpLineOutWave) || NameIs(file, kDuplicatedHpLineOutWave);
    reject =
        channels == 4 || (channels == 6 && mask != k51ChannelMask) || (rate > 96000 && !(headphones && channels <= 2));
  }
  if (!reject) return ForwardWithCompletion(irp);
  irp->IoStatus.Status = STATUS_NO_MATCH;
  irp->IoStatus.Information = 0;
  CompleteLocally(irp);
  return STATUS_NO_MATCH;
}

NTSTATUS CCodecFilter::DispatchDeviceControl(PIRP irp) {
  PropertyRequest r{};
  if (!LocateProperty(irp, &r)) return ForwardWithCompletion(irp);
  const GUID& set = r.property.Set;
  const ULONG id = r.property.Id;
  const ULONG flags = r.property.Flags;

  if (set == KSPROPSETID_Pin && id == KSPROPERTY_PIN_PROPOSEDATAFORMAT && (flags & KSPROPERTY_TYPE_SET))
    return CheckProposedFormat(irp, r.value, r.valueLength);

  if (set == KSPROPSETID_OraFilt && id == KSPROPERTY_ORAFILT_PRESENT && (flags & KSPROPERTY_TYPE_GET)) {
    if (!HasValue(r, sizeof(ULONG))) return ForwardWithCompletion(irp);
    WriteUlong(r.value, 1);
    return Answer(irp, sizeof(ULONG));
  }

  if (set == KSPROPSETID_OraFilt && id == KSPROPERTY_ORAFILT_DSD) {
    if (!HasValue(r, sizeof(ULONG))) return ForwardWithCompletion(irp);
    if (flags & KSPROPERTY_TYPE_GET) {
      WriteUlong(r.value, IsCodec1220() && m_ulDsdCapable != 0 && NameIs(r.file, kLineOutWave) ? 1 : 0);
      return Answer(irp, sizeof(ULONG));
    }
    if (flags & KSPROPERTY_TYPE_SET) {
      if (IsCodec1220()) ApplyDsdCoefficients(ReadUlong(r.value));
      return Answer(irp, 0);
    }
    return ForwardWithCompletion(irp);
  }

  if (set == KSPROPSETID_OraFiltCodec && (flags & KSPROPERTY_TYPE_BASICSUPPORT)) {
    if (id == KSPROPERTY_ORAFILTCODEC_PRESENT) {
      if (!HasValue(r, sizeof(ULONG))) return ForwardWithCompletion(irp);
      WriteUlong(r.value, 1);
      return Answer(irp, sizeof(ULONG));
    }
    if (id == KSPROPERTY_ORAFILTCODEC_VERB) {
      if (!HasValue(r, sizeof(ULONG))) return ForwardWithCompletion(irp);
      EnsureBusInterface();
      ULONG response = 0;
      const NTSTATUS status = SendCodecVerb(ReadUlong(r.value), &response);
      if (!NT_SUCCESS(status)) {
        // No verb reached the codec: say so, and leave the caller's value alone.
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        CompleteLocally(irp);
        return status;
      }
      WriteUlong(r.value, response);
      return Answer(irp, sizeof(ULONG));
    }
    if (id == KSPROPERTY_ORAFILTCODEC_BUSDWORD) {
      if (!HasValue(r, sizeof(ORAFILT_BUSDWORD))) return ForwardWithCompletion(irp);
      ORAFILT_BUSDWORD word;
      std::memcpy(&word, r.value, sizeof(word));
      ULONG read = 0;
      if (!AccessBusBlock(word.Write, word.Selector, word.Offset, word.Value, &read)) read = 0;
      WriteUlong(r.value + offsetof(ORAFILT_BUSDWORD, Value), read);
      return Answer(irp, sizeof(ORAFILT_BUSDWORD));
    }
  }

  if (set == KSPROPSETID_DrmAudioStream && id == KSPROPERTY_DRMAUDIOSTREAM_CONTENTID && (flags & KSPROPERTY_TYPE_SET)) {
    if (!HasValue(r, 16)) return ForwardWithCompletion(irp);
    DRMFORWARD forward{};
    forward.Flags = 0;
    forward.DeviceObject = m_pLowerDeviceObject;
    forward.FileObject = r.file;
    forward.Context = r.file;
    const NTSTATUS status = DrmForwardContentToDeviceObject(ReadUlong(r.value), nullptr, &forward);
    if (!NT_SUCCESS(status)) return ForwardWithCompletion(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    CompleteLocally(irp);
    return status;
  }

  return ForwardWithCompletion(irp);
}

VOID CCodecFilter::OnCompleteDeviceControl(PIRP irp) {
  if (!NT_SUCCESS(irp->IoStatus.Status)) return;
  PropertyRequest r{};
  if (!LocateProperty(irp, &r)) return;
  if (!(r.property.Set == KSPROPSETID_Pin) || !(r.property.Flags & KSPROPERTY_TYPE_GET) || !r.value) return;
  // Only what the driver below returned, and only inside the caller's buffer, is looked at.
  ULONG_PTR returned = irp->IoStatus.Information;
  if (returned > r.valueLength) returned = r.valueLength;

  if (r.property.Id == KSPROPERTY_PIN_DATARANGES) {
    if (r.valueLength <= sizeof(KSMULTIPLE_ITEM) || returned < kDataRangeAnswerSize) return;
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, r.value, sizeof(header));
    if (header.Count == 0) return;
    PUCHAR first = r.value + sizeof(KSMULTIPLE_ITEM);
    KSDATARANGE_AUDIO range;
    std::memcpy(&range, first, sizeof(range));
    if (range.DataRange.FormatSize < sizeof(KSDATARANGE_AUDIO)) return;
    if (IsCodec1220()) {
      if (m_ulDsdCapable == 0 && range.MaximumChannels > 6) range.MaximumChannels = 6;
      if (range.MaximumBitsPerSample > 24) range.MaximumBitsPerSample = 24;
      if (NameIs(r.file, kMixedCaptureWave) && range.MaximumSampleFrequency > 96000)
        range.MaximumSampleFrequency = 96000;
    } else if (IsCodec0899()) {
      if (range.MaximumChannels == 2 && range.MaximumSampleFrequency > 96000) range.MaximumSampleFrequency = 96000;
    } else {
      return;
    }
    std::memcpy(first, &range, sizeof(range));
    return;
  }

  if (r.property.Id == KSPROPERTY_PIN_CTYPES) {
    if (returned < sizeof(ULONG)) return;
    if (IsCodec1220() && m_ulDsdCapable == 0 && NameIs(r.file, kSpdifOutWave)) WriteUlong(r.value, 0);
  }
}
