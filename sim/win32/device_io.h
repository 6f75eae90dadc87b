// Private to sim/win32: file handles on kernel file objects, the
// NTSTATUS-to-Win32 error map, and the built-in ksuser.dll.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdm.h"
#include "platform/win32/devio.h"
#include "sim/core/handles.h"
#include "sim/core/scheduler.h"

namespace sim::win32 {

// What RtlNtStatusToDosError answers; ERROR_MR_MID_NOT_FOUND for a status
// that has no Win32 counterpart.
DWORD NtStatusToWin32Error(NTSTATUS status);

// A request sent through a file handle that has not completed yet.
struct PendingRequest;

// The object behind a file handle: one kernel file object, opened by
// CreateFileA or KsCreatePin. Closing its last handle sends IRP_MJ_CLEANUP,
// then drops the handle's reference (IRP_MJ_CLOSE once none is left).
class FileObject final : public Object {
 public:
  static constexpr ObjectType kType = ObjectType::File;
  FileObject(PFILE_OBJECT file, bool overlapped, std::string path);
  ~FileObject() override;
  ObjectType Type() const override { return kType; }
  std::string Describe() const override { return path_; }
  void OnLastHandleClosed() override;

  PFILE_OBJECT file() const { return file_; }
  bool overlapped() const { return overlapped_; }

  void Add(const std::shared_ptr<PendingRequest>& request);
  // Forgets a request that completed; its IRP is no longer the file's.
  void Take(PendingRequest* request);
  std::shared_ptr<PendingRequest> Find(const OVERLAPPED* overlapped);
  // IoCancelIrp on every outstanding request the thread issued (CancelIo).
  void CancelRequestsOf(std::thread::id issuer);

 private:
  PFILE_OBJECT file_;
  const bool overlapped_;
  const std::string path_;
  // Recursive: a cancel routine may complete the request on the cancelling thread.
  std::recursive_mutex mutex_;
  std::vector<std::shared_ptr<PendingRequest>> pending_;
};

// Puts an opened file object into the handle table.
HANDLE InsertFileHandle(PFILE_OBJECT file, bool overlapped, std::string path);

// Registers ksuser.dll with the module loader (each new machine).
void RegisterKsUserModule();

}  // namespace sim::win32
