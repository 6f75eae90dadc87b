// Sends arbitrary device-control requests (any set, id, flags, lengths,
// buffering and contents, and any answer of the function driver) through
// OraFilt's dispatch and completion, on an identified DSD-capable codec.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "filter/drm_props.h"
#include "filter/orafilt_props.h"
#include "platform/ks.h"
#include "sim/kernel/kernel.h"
#include "tests/filter/harness.h"

using namespace filter_test;

namespace {

// Reads the input front to back; past its end every field is 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  T Take() {
    T value{};
    const size_t n = size_ - at_ < sizeof(T) ? size_ - at_ : sizeof(T);
    if (n) std::memcpy(&value, data_ + at_, n);
    at_ += n;
    return value;
  }
  // What is left, up to `max` bytes.
  std::vector<uint8_t> Rest(size_t max) {
    const size_t n = size_ - at_ < max ? size_ - at_ : max;
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// memcpy that accepts empty buffers.
void Copy(void* to, const void* from, size_t n) {
  if (n) std::memcpy(to, from, n);
}

const GUID* const kSets[] = {&KSPROPSETID_Pin, &KSPROPSETID_OraFilt, &KSPROPSETID_OraFiltCodec,
                             &KSPROPSETID_DrmAudioStream};
const char16_t* const kNames[] = {u"\\eLineOutWave",
                                  u"\\eLineInWave",
                                  u"\\eMixedCaptureWave",
                                  u"\\eSlavedHpLineOutWave",
                                  u"\\eDuplicatedHpLineOutWave",
                                  u"\\espdifoutwave",
                                  u"",
                                  u"\\eLineOutWave\\{146F1A80-4791-11D0-A5D6-28DB04C10000}"};

Stack* TheStack() {
  static Stack* stack = [] {
    auto* s = new Stack(DefaultCodec());
    TestFile file(u"\\eLineOutWave");
    Request r(s->top());
    r.stack()->MajorFunction = IRP_MJ_CREATE;
    r.stack()->FileObject = &file.file;
    r.Send();
    return s;
  }();
  return stack;
}

// The function driver's answer for this input.
struct Reply {
  NTSTATUS status;
  ULONG_PTR information;
  std::vector<uint8_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Stack* stack = TheStack();
  Input in(data, size);
  const uint8_t shape = in.Take<uint8_t>();
  const bool buffered = shape & 1;
  const bool no_value = shape & 2;
  const bool no_file = shape & 4;
  const bool internal = shape & 8;
  const bool shadow = shape & 16;
  TestFile file(kNames[in.Take<uint8_t>() % (sizeof(kNames) / sizeof(kNames[0]))]);

  KSPROPERTY property{};
  const uint8_t set = in.Take<uint8_t>();
  if (set < 4 * 60)
    property.Set = *kSets[set % 4];
  else
    property.Set = in.Take<GUID>();
  property.Id = in.Take<uint8_t>() < 200 ? in.Take<uint8_t>() % 40 : in.Take<ULONG>();
  property.Flags = in.Take<ULONG>();
  ULONG code = CTL_CODE(FILE_DEVICE_KS, 0, 0, 0) | (in.Take<uint8_t>() & 0xF);
  if (in.Take<uint8_t>() > 240) code = in.Take<ULONG>();
  const ULONG output_length = in.Take<uint16_t>() % 512;
  const ULONG input_length = in.Take<uint8_t>() % 64;

  Reply reply;
  reply.status = in.Take<uint8_t>() < 200 ? STATUS_SUCCESS : static_cast<NTSTATUS>(0xC0000001u);
  reply.information = in.Take<uint16_t>() % 1024;
  reply.bytes = in.Rest(output_length);
  const std::vector<uint8_t> value_bytes = in.Rest(output_length);

  // Exactly the sizes the request claims, so any read past them is caught.
  std::unique_ptr<uint8_t[]> system, header, value;
  const ULONG property_offset = (output_length + 7) & ~7u;
  std::vector<uint8_t> property_bytes(input_length, 0);
  Copy(property_bytes.data(), &property, input_length < sizeof(property) ? input_length : sizeof(property));
  PVOID value_buffer = nullptr;
  if (buffered) {
    const ULONG total = property_offset + input_length;
    if (total) {
      system.reset(new uint8_t[total]());
      Copy(system.get(), value_bytes.data(), value_bytes.size());
      Copy(system.get() + property_offset, property_bytes.data(), input_length);
    }
    value_buffer = system.get();
  } else {
    if (input_length) {
      header.reset(new uint8_t[input_length]);
      Copy(header.get(), property_bytes.data(), input_length);
    }
    if (!no_value && output_length) {
      value.reset(new uint8_t[output_length]());
      Copy(value.get(), value_bytes.data(), value_bytes.size());
    }
    value_buffer = value.get();
  }

  Lower().handler = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(reply.status) && value_buffer) {
      const ULONG room = s->Parameters.DeviceIoControl.OutputBufferLength;
      Copy(value_buffer, reply.bytes.data(), reply.bytes.size() < room ? reply.bytes.size() : room);
    }
    irp->IoStatus.Status = reply.status;
    irp->IoStatus.Information = reply.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return reply.status;
  };

  {
    Request r(stack->top(), shadow ? 1 : 0);
    r.stack()->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    r.stack()->FileObject = no_file ? nullptr : &file.file;
    r.stack()->Parameters.DeviceIoControl.IoControlCode = code;
    r.stack()->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    r.stack()->Parameters.DeviceIoControl.InputBufferLength = input_length;
    if (buffered) {
      r.irp()->Flags = IRP_BUFFERED_IO;
      r.irp()->AssociatedIrp.SystemBuffer = system.get();
    } else {
      r.stack()->Parameters.DeviceIoControl.Type3InputBuffer = header.get();
      r.irp()->UserBuffer = value.get();
    }
    r.Send();
    if (!r.completed()) {
      std::fprintf(stderr, "request not completed\n");
      std::abort();
    }
  }
  Lower().handler = nullptr;
  Drm().calls.clear();
  const auto violations = sim::kernel::Verifier::Get().Take();
  if (!violations.empty()) {
    std::fprintf(stderr, "%s\n", sim::kernel::Verifier::Format(violations).c_str());
    std::abort();
  }
  return 0;
}
