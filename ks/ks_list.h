// The library's list: doubly linked, head and tail pointers, a 32-bit count.
// Appending goes to the tail; emptying goes from the head. An owning list
// deletes its elements as it empties; the others only drop their entries.
#pragma once

#include <new>

#include "platform/base.h"

template <typename T>
class CKsList {
 public:
  struct Entry {
    Entry* pNext;
    Entry* pPrev;
    T* pData;
  };

  explicit CKsList(bool fOwning) : m_fOwning(fOwning) {}
  ~CKsList() { Clear(); }
  CKsList(const CKsList&) = delete;
  CKsList& operator=(const CKsList&) = delete;

  // False when the entry cannot be allocated; the element then stays the caller's.
  bool Append(T* pData) {
    Entry* pEntry = new (std::nothrow) Entry{nullptr, m_pTail, pData};
    if (pEntry == nullptr) return false;
    if (m_pTail != nullptr)
      m_pTail->pNext = pEntry;
    else
      m_pHead = pEntry;
    m_pTail = pEntry;
    ++m_ulCount;
    return true;
  }

  // Takes the first element out of the list; the caller then owns it.
  T* RemoveHead() {
    Entry* pEntry = m_pHead;
    if (pEntry == nullptr) return nullptr;
    m_pHead = pEntry->pNext;
    if (m_pHead != nullptr)
      m_pHead->pPrev = nullptr;
    else
      m_pTail = nullptr;
    --m_ulCount;
    T* pData = pEntry->pData;
    delete pEntry;
    return pData;
  }

  void Clear() {
    while (m_pHead != nullptr) {
      T* pData = RemoveHead();
      if (m_fOwning) delete pData;
    }
  }

  // The element at a 0-based position, or null past the end.
  T* At(ULONG ulIndex) const {
    for (Entry* pEntry = m_pHead; pEntry != nullptr; pEntry = pEntry->pNext, --ulIndex)
      if (ulIndex == 0) return pEntry->pData;
    return nullptr;
  }

  Entry* Head() const { return m_pHead; }
  Entry* Tail() const { return m_pTail; }
  ULONG Count() const { return m_ulCount; }
  bool IsEmpty() const { return m_ulCount == 0; }
  bool IsOwning() const { return m_fOwning; }

 private:
  Entry* m_pHead = nullptr;
  Entry* m_pTail = nullptr;
  ULONG m_ulCount = 0;
  bool m_fOwning;
};
