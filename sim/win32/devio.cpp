// Files and device I/O: CreateFileA on device paths, DeviceIoControl as the
// I/O manager builds the request for a user-mode caller, and completion into
// the caller's OVERLAPPED.
#include "platform/win32/devio.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/win32/sync.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"
#include "sim/win32/device_io.h"
#include "sim/win32/sync_objects.h"

namespace sim::win32 {

struct PendingRequest {
  // Keeps the request alive until its completion, whoever else lets go.
  std::shared_ptr<PendingRequest> self;
  std::weak_ptr<FileObject> owner;
  PFILE_OBJECT file = nullptr;
  std::thread::id issuer;
  PIRP irp = nullptr;  // null once completed
  void* system_buffer = nullptr;
  void* output = nullptr;
  ULONG output_length = 0;
  LPOVERLAPPED overlapped = nullptr;
  std::shared_ptr<EventObject> event;  // the OVERLAPPED's event
  // Set when the request completes; what a caller without an event waits on.
  Event done{true, false, "device request"};
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

namespace {

std::atomic_ref<ULONG_PTR> InternalOf(LPOVERLAPPED overlapped) {
  return std::atomic_ref<ULONG_PTR>(overlapped->Internal);
}

// The I/O manager's completion of a user-mode request: buffered output goes
// back, the status block and the event are written, and the IRP is freed.
// An error completed without pending touches neither: the caller has the
// status from the dispatch routine.
NTSTATUS NTAPI OnUserRequestCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<PendingRequest*>(context);
  const NTSTATUS status = irp->IoStatus.Status;
  const ULONG_PTR information = irp->IoStatus.Information;
  const bool report = !NT_ERROR(status) || irp->PendingReturned;
  if (report && (irp->Flags & IRP_INPUT_OPERATION) && request->output)
    std::memcpy(request->output, request->system_buffer, std::min<ULONG_PTR>(information, request->output_length));
  std::free(request->system_buffer);
  request->system_buffer = nullptr;

  const std::shared_ptr<PendingRequest> keep = std::move(request->self);
  if (std::shared_ptr<FileObject> owner = request->owner.lock()) owner->Take(request);
  IoFreeIrp(irp);

  request->status = status;
  request->information = information;
  if (report && request->overlapped) {
    request->overlapped->InternalHigh = information;
    InternalOf(request->overlapped)
        .store(static_cast<ULONG_PTR>(static_cast<ULONG>(status)), std::memory_order_release);
  }
  if (report && request->event) request->event->event.Set();
  request->done.Set();
  // The request's reference on the file object; the last one sends IRP_MJ_CLOSE.
  ObDereferenceObject(request->file);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

bool ProbeFails(const void* buffer, DWORD length) { return length != 0 && buffer == nullptr; }

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::u16string WidenAnsi(const char* text) {
  std::u16string out;
  for (; *text; ++text) out += static_cast<char16_t>(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace

FileObject::FileObject(PFILE_OBJECT file, bool overlapped, std::string path)
    : file_(file), overlapped_(overlapped), path_(std::move(path)) {}

FileObject::~FileObject() = default;

void FileObject::OnLastHandleClosed() { kernel::CloseFileHandle(file_); }

void FileObject::Add(const std::shared_ptr<PendingRequest>& request) {
  std::lock_guard lock(mutex_);
  pending_.push_back(request);
}

void FileObject::Take(PendingRequest* request) {
  std::lock_guard lock(mutex_);
  request->irp = nullptr;
  std::erase_if(pending_, [request](const auto& p) { return p.get() == request; });
}

std::shared_ptr<PendingRequest> FileObject::Find(const OVERLAPPED* overlapped) {
  std::lock_guard lock(mutex_);
  for (const auto& p : pending_)
    if (p->overlapped == overlapped) return p;
  return nullptr;
}

void FileObject::CancelRequestsOf(std::thread::id issuer) {
  // Held across IoCancelIrp, so a request cannot complete and free its IRP
  // between being found and being cancelled; a completion on this same
  // thread (from the cancel routine) takes the lock again.
  std::lock_guard lock(mutex_);
  const auto pending = pending_;
  for (const auto& p : pending)
    if (p->issuer == issuer && p->irp) IoCancelIrp(p->irp);
}

HANDLE InsertFileHandle(PFILE_OBJECT file, bool overlapped, std::string path) {
  return HandleTable::Get().Insert(std::make_shared<FileObject>(file, overlapped, std::move(path)));
}

}  // namespace sim::win32

using namespace sim;
using namespace sim::win32;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (!lpFileName) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  constexpr DWORD kTruncateExisting = 5;
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > kTruncateExisting) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  PFILE_OBJECT file = nullptr;
  const NTSTATUS status = kernel::OpenDevicePath(WidenAnsi(lpFileName), nullptr, &file);
  if (!NT_SUCCESS(status)) {
    SetLastError(NtStatusToWin32Error(status));
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return InsertFileHandle(file, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, lpFileName);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  auto handle = HandleTable::Get().LookupAs<FileObject>(hDevice);
  if (!handle) return FailWith(ERROR_INVALID_HANDLE);
  const ULONG method = METHOD_FROM_CTL_CODE(dwIoControlCode);
  // The I/O manager probes what it copies or maps; METHOD_NEITHER buffers
  // reach the driver untouched.
  if (method != METHOD_NEITHER && (ProbeFails(lpInBuffer, nInBufferSize) || ProbeFails(lpOutBuffer, nOutBufferSize)))
    return FailWith(ERROR_NOACCESS);

  auto request = std::make_shared<PendingRequest>();
  request->owner = handle;
  request->file = handle->file();
  request->issuer = std::this_thread::get_id();
  request->output = lpOutBuffer;
  request->output_length = nOutBufferSize;
  request->overlapped = lpOverlapped;
  if (lpOverlapped && lpOverlapped->hEvent) {
    request->event = HandleTable::Get().LookupAs<EventObject>(lpOverlapped->hEvent);
    if (!request->event) return FailWith(ERROR_INVALID_HANDLE);
  }

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(handle->file()->DeviceObject);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) {
    ObDereferenceObject(top);
    return FailWith(ERROR_NO_SYSTEM_RESOURCES);
  }
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = handle->file();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->FileObject = handle->file();
  stack->Parameters.DeviceIoControl.IoControlCode = dwIoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = nInBufferSize;
  stack->Parameters.DeviceIoControl.OutputBufferLength = nOutBufferSize;
  if (method == METHOD_NEITHER) {
    stack->Parameters.DeviceIoControl.Type3InputBuffer = lpInBuffer;
  } else {
    // One zeroed system buffer carries the input down and, for
    // METHOD_BUFFERED, the output up. The direct methods' output is passed
    // in place: the simulated kernel has no MDLs.
    const DWORD length = method == METHOD_BUFFERED ? std::max(nInBufferSize, nOutBufferSize) : nInBufferSize;
    if (length) {
      request->system_buffer = std::calloc(1, length);
      if (nInBufferSize) std::memcpy(request->system_buffer, lpInBuffer, nInBufferSize);
      irp->AssociatedIrp.SystemBuffer = request->system_buffer;
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (method == METHOD_BUFFERED && nOutBufferSize) irp->Flags |= IRP_INPUT_OPERATION;
    }
  }
  irp->UserBuffer = lpOutBuffer;
  request->irp = irp;
  request->self = request;
  IoSetCompletionRoutine(irp, OnUserRequestCompleted, request.get(), TRUE, TRUE, TRUE);

  if (lpOverlapped) {
    InternalOf(lpOverlapped).store(static_cast<ULONG_PTR>(STATUS_PENDING), std::memory_order_relaxed);
    if (request->event) request->event->event.Reset();
  }
  // The request holds a reference on the file object until it completes.
  ObReferenceObject(handle->file());
  handle->Add(request);
  NTSTATUS status = IoCallDriver(top, irp);
  ObDereferenceObject(top);

  if (status != STATUS_PENDING) {
    Scheduler::Get().Lock();
    const bool completed = request->done.IsSignaledLocked();
    Scheduler::Get().Unlock();
    if (!completed)
      kernel::BugCheck(kernel::BugCheckCode::DriverVerifierIoManagerViolation,
                       "a dispatch routine returned a status other than STATUS_PENDING for the device-control "
                       "request " +
                           std::to_string(dwIoControlCode) + " on " + handle->Describe() + " without completing it");
  }
  if (lpOverlapped && handle->overlapped()) {
    if (!NT_ERROR(status) && lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(lpOverlapped->InternalHigh);
  } else {
    if (status == STATUS_PENDING) {
      Waitable* done = &request->done;
      Scheduler::Get().Wait({&done, 1}, false, kInfinite);
      status = request->status;
    }
    if (!NT_ERROR(status) && lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(request->information);
  }
  if (!NT_SUCCESS(status) || status == STATUS_PENDING) return FailWith(NtStatusToWin32Error(status));
  return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  auto handle = HandleTable::Get().LookupAs<FileObject>(hFile);
  if (!handle) return FailWith(ERROR_INVALID_HANDLE);
  if (!lpOverlapped) return FailWith(ERROR_NOACCESS);
  if (static_cast<NTSTATUS>(InternalOf(lpOverlapped).load(std::memory_order_acquire)) == STATUS_PENDING) {
    if (!bWait) return FailWith(ERROR_IO_INCOMPLETE);
    std::shared_ptr<EventObject> event;
    std::shared_ptr<PendingRequest> request;
    Waitable* waitable = nullptr;
    if (lpOverlapped->hEvent) {
      event = HandleTable::Get().LookupAs<EventObject>(lpOverlapped->hEvent);
      if (!event) return FailWith(ERROR_INVALID_HANDLE);
      waitable = &event->event;
    } else if ((request = handle->Find(lpOverlapped))) {
      waitable = &request->done;
    }
    if (waitable) Scheduler::Get().Wait({&waitable, 1}, false, kInfinite);
  }
  const auto status = static_cast<NTSTATUS>(InternalOf(lpOverlapped).load(std::memory_order_acquire));
  if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  if (!NT_SUCCESS(status)) return FailWith(NtStatusToWin32Error(status));
  return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  auto handle = HandleTable::Get().LookupAs<FileObject>(hFile);
  if (!handle) return FailWith(ERROR_INVALID_HANDLE);
  handle->CancelRequestsOf(std::this_thread::get_id());
  return TRUE;
}

}  // extern "C"
