// CKernelUnknown: reference counting in the port-class manner.
#include <cstring>

#include "filter/codec_filter.h"

void* CKernelUnknown::operator new(std::size_t size, POOL_TYPE pool, ULONG tag) noexcept {
  void* memory = ExAllocatePoolWithTag(pool, size, tag);
  if (memory) std::memset(memory, 0, size);
  return memory;
}

void CKernelUnknown::operator delete(void* memory) noexcept {
  if (memory) ExFreePool(memory);
}

void CKernelUnknown::operator delete(void* memory, POOL_TYPE, ULONG) noexcept {
  if (memory) ExFreePool(memory);
}

CKernelUnknown::CKernelUnknown() : m_lRefCount(0), m_pUnknownOuter(this), m_Unknown(this) {}

CKernelUnknown::~CKernelUnknown() = default;

NTSTATUS CKernelUnknown::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (iid == IID_IUnknown_Kernel) {
    IKernelUnknown* unknown = &m_Unknown;
    *object = unknown;
    unknown->AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_UNSUCCESSFUL;
}

ULONG CKernelUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount)); }

ULONG CKernelUnknown::NonDelegatingRelease() {
  const LONG count = InterlockedDecrement(&m_lRefCount);
  if (count != 0) return static_cast<ULONG>(count);
  // References taken while the destructors run must not start destruction again.
  m_lRefCount = 1;
  delete this;
  return 0;
}

NTSTATUS CKernelUnknown::CEmbeddedUnknown::QueryInterface(REFIID iid, PVOID* object) {
  return m_pOwner->m_pUnknownOuter->NonDelegatingQueryInterface(iid, object);
}

ULONG CKernelUnknown::CEmbeddedUnknown::AddRef() { return m_pOwner->m_pUnknownOuter->NonDelegatingAddRef(); }

ULONG CKernelUnknown::CEmbeddedUnknown::Release() { return m_pOwner->m_pUnknownOuter->NonDelegatingRelease(); }
