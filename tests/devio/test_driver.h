// A small root-enumerated driver for the device I/O tests: two interfaces of
// KSCATEGORY_AUDIO ("eLineOutWave" with a KSCATEGORY_RENDER alias, "eMicIn"
// without one), device-control answers the test chooses, and a record of
// everything the driver was sent.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wdm.h"

namespace devio_test {

inline constexpr std::u16string_view kInstanceId = u"ROOT\\ORADEVTEST\\0000";

// How the driver answers the next device-control requests.
struct Reply {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<uint8_t> output;  // written to the output (UserBuffer or SystemBuffer)
  // A size query: with an output shorter than `output`, STATUS_BUFFER_OVERFLOW
  // and Information = the size needed, as kernel streaming answers.
  bool size_query = false;
  bool pend = false;  // mark pending, keep with a cancel routine
};

inline Reply Answer(NTSTATUS status, ULONG_PTR information, std::vector<uint8_t> output = {}, bool size_query = false) {
  Reply r;
  r.status = status;
  r.information = information;
  r.output = std::move(output);
  r.size_query = size_query;
  return r;
}

struct Create {
  std::u16string file_name;  // as FileName carried it (binary after a pin name)
  PFILE_OBJECT file;
  PFILE_OBJECT related;
};

struct Control {
  ULONG code;
  ULONG input_length;
  ULONG output_length;
  PVOID type3_input;
  PVOID user_buffer;
  PVOID system_buffer;
  std::vector<uint8_t> system_input;  // the system buffer's first input_length bytes
  ULONG flags;
  KPROCESSOR_MODE requestor_mode;
  PFILE_OBJECT file;
};

struct Log {
  std::vector<Create> creates;
  std::vector<Control> controls;
  int cleanups = 0;
  int closes = 0;
};

// Starts the device (registers the service and the built-in image first).
PDEVICE_OBJECT StartTestDevice();
void SetReply(Reply reply);
Log TakeLog();
std::size_t PendingCount();
// Completes the oldest pending request: writes `output` into its buffer.
void CompletePending(NTSTATUS status, ULONG_PTR information, const std::vector<uint8_t>& output = {});

}  // namespace devio_test
