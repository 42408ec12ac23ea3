// Memory of the simulated machine: LocalAlloc blocks, counted and failed
// on demand.
#include "sim/sim_system.h"

#include <cstdlib>
#include <cstring>

namespace vantor::sim::detail {

// --- Memory -----------------------------------------------------------------

HLOCAL SimSystem::LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~static_cast<UINT>(LMEM_ZEROINIT)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // only fixed memory
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(Mutex());
  if (faults_.allocationFailuresAfter == 0) {
    lock.unlock();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = std::malloc(bytes != 0 ? bytes : 1);
  if (block == nullptr) {
    lock.unlock();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Memory that is not asked to be zeroed is not: code that relies on
  // zeroes it did not ask for shows.
  std::memset(block, (flags & LMEM_ZEROINIT) != 0 ? 0 : 0xCD,
              bytes != 0 ? bytes : 1);
  if (faults_.allocationFailuresAfter > 0) --faults_.allocationFailuresAfter;
  blocks_.emplace(block, bytes);
  ++counters_.allocations;
  return block;
}

HLOCAL SimSystem::LocalFree(HLOCAL mem) {
  if (mem == nullptr) return nullptr;
  std::unique_lock<std::mutex> lock(Mutex());
  auto it = blocks_.find(mem);
  if (it == blocks_.end()) {
    lock.unlock();
    SetLastError(ERROR_INVALID_HANDLE);
    return mem;
  }
  blocks_.erase(it);
  lock.unlock();
  std::free(mem);
  return nullptr;
}

}  // namespace vantor::sim::detail
