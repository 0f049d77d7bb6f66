// Objects of the file store on the counted process heap (runtime/memobj.h), so that the
// allocation counter of the benchmarks sees them. Any thread may call; an object made by
// HeapNew is destroyed only by HeapDelete.
#pragma once

#include <new>
#include <utility>

#include "runtime/memobj.h"

template <class T, class... Args>
T* HeapNew(Args&&... args) {
  return new (Heap::Allocate(sizeof(T))) T(std::forward<Args>(args)...);
}

// Does nothing for null.
template <class T>
void HeapDelete(T* object) {
  if (object == nullptr) return;
  object->~T();
  Heap::Release(object);
}
