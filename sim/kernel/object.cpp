// Object manager: file objects, references, and opening devices by name.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "sim/kernel/internal.h"

namespace sim::kernel {

namespace {

using internal::Hex;

struct FileRecord {
  LONG references = 1;
  std::u16string name;
  std::string device;  // for leak reports, after the device may be gone
};

std::mutex g_mutex;
std::map<const FILE_OBJECT*, FileRecord> g_files;

void FreeFile(PFILE_OBJECT file) {
  PDEVICE_OBJECT device = file->DeviceObject;
  {
    std::lock_guard lock(g_mutex);
    g_files.erase(file);
  }
  internal::ForgetEventsIn(file, sizeof(FILE_OBJECT));
  std::free(file);
  internal::DropDeviceReference(device);
}

}  // namespace

namespace internal {

bool IsLiveFile(const FILE_OBJECT* file) {
  std::lock_guard lock(g_mutex);
  return g_files.count(file) != 0;
}

NTSTATUS OpenFileObject(PDEVICE_OBJECT device, std::u16string_view file_name, PFILE_OBJECT related, PFILE_OBJECT* out) {
  auto file = static_cast<PFILE_OBJECT>(std::aligned_alloc(16, (sizeof(FILE_OBJECT) + 15) / 16 * 16));
  std::memset(file, 0, sizeof(FILE_OBJECT));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  file->RelatedFileObject = related;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  AddDeviceReference(device);
  {
    std::lock_guard lock(g_mutex);
    auto& record = g_files[file];
    record.name = std::u16string(file_name);
    record.device = DescribeDevice(device);
    file->FileName.Buffer = record.name.empty() ? nullptr : record.name.data();
    file->FileName.Length = static_cast<USHORT>(record.name.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
  }
  const NTSTATUS status = SendSynchronousIrp(
      device, STATUS_SUCCESS, [](PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_CREATE; }, file);
  if (!NT_SUCCESS(status)) {
    // A failed create is neither cleaned up nor closed.
    FreeFile(file);
    return status;
  }
  *out = file;
  return status;
}

void CleanupFileObject(PFILE_OBJECT file) {
  SendSynchronousIrp(
      file->DeviceObject, STATUS_SUCCESS, [](PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_CLEANUP; },
      file);
}

void CollectObjectLeaks(std::vector<Violation>& out) {
  std::lock_guard lock(g_mutex);
  for (const auto& [file, record] : g_files)
    out.push_back({"file object leak", "file object " + Hex(file) + " \"" + Narrow(record.name) + "\" on " +
                                           record.device + " still has " + std::to_string(record.references) +
                                           " reference(s)"});
}

void ResetObjects() {
  std::lock_guard lock(g_mutex);
  for (auto& [file, record] : g_files) std::free(const_cast<FILE_OBJECT*>(file));
  g_files.clear();
}

}  // namespace internal

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

LONG_PTR NTAPI ObfReferenceObject(PVOID Object) {
  if (internal::IsLiveDevice(static_cast<PDEVICE_OBJECT>(Object))) {
    LONG count;
    internal::ChangeDevicePointerReferences(static_cast<PDEVICE_OBJECT>(Object), 1, &count);
    return count;
  }
  {
    std::lock_guard lock(g_mutex);
    if (auto it = g_files.find(static_cast<PFILE_OBJECT>(Object)); it != g_files.end()) return ++it->second.references;
  }
  BugCheck(BugCheckCode::ReferenceByPointer, "ObfReferenceObject on " + internal::Hex(Object) +
                                                 ", which is neither a device nor a file object, from " +
                                                 ORA_KERNEL_CALLER());
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID Object) {
  const std::string caller = ORA_KERNEL_CALLER();
  if (internal::IsLiveDevice(static_cast<PDEVICE_OBJECT>(Object))) {
    LONG count;
    internal::ChangeDevicePointerReferences(static_cast<PDEVICE_OBJECT>(Object), -1, &count);
    if (count < 0)
      BugCheck(BugCheckCode::ReferenceByPointer, "ObfDereferenceObject on " +
                                                     internal::DescribeDevice(static_cast<PDEVICE_OBJECT>(Object)) +
                                                     " without a reference to drop, from " + caller);
    return count;
  }
  auto file = static_cast<PFILE_OBJECT>(Object);
  LONG count = 0;
  {
    std::unique_lock lock(g_mutex);
    auto it = g_files.find(file);
    if (it == g_files.end()) {
      lock.unlock();
      BugCheck(BugCheckCode::ReferenceByPointer, "ObfDereferenceObject on " + internal::Hex(Object) +
                                                     ", which is neither a device nor a file object (released "
                                                     "twice?), from " +
                                                     caller);
    }
    count = --it->second.references;
  }
  if (count == 0) {
    // The last reference sends IRP_MJ_CLOSE to the stack the file was opened on.
    internal::SendSynchronousIrp(
        file->DeviceObject, STATUS_SUCCESS, [](PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_CLOSE; },
        file);
    FreeFile(file);
  }
  return count;
}

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK, PFILE_OBJECT* FileObject,
                                        PDEVICE_OBJECT* DeviceObject) {
  PDEVICE_OBJECT device = internal::FindDeviceByName(internal::FromUnicodeString(ObjectName));
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  PFILE_OBJECT file = nullptr;
  const NTSTATUS status = internal::OpenFileObject(device, u"", nullptr, &file);
  if (!NT_SUCCESS(status)) return status;
  // The handle the open made is closed before returning; only the reference remains.
  internal::CleanupFileObject(file);
  *FileObject = file;
  *DeviceObject = internal::AttachedTop(device);
  return STATUS_SUCCESS;
}

}  // extern "C"
