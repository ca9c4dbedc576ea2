// Measures the memory one evaluation of the benchmark's answer needs: every
// allocation through operator new is counted, and the peak of live bytes
// during Evaluate, above what was live before it, is reported beside the
// body's size. The process's peak resident size (getrusage) before and after
// is printed as a cross-check; it also holds the workload itself.

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "bench/workload.h"
#include "coverage/evaluate.h"
#include "harness/state.h"

namespace {

std::size_t liveBytes = 0;
std::size_t peakBytes = 0;

// Each block carries its size in front, at the alignment new guarantees.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t size) {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = size;
  liveBytes += size;
  if (liveBytes > peakBytes) peakBytes = liveBytes;
  return static_cast<char*>(block) + kHeader;
}

void Release(void* pointer) {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - kHeader;
  liveBytes -= *static_cast<std::size_t*>(block);
  std::free(block);
}

long MaxResidentKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

void* operator new(std::size_t size) {
  void* pointer = Allocate(size);
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void operator delete(void* pointer) noexcept { Release(pointer); }
void operator delete[](void* pointer) noexcept { Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { Release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept {
  Release(pointer);
}

int main() {
  using namespace ostrivel;
  bench::Workload workload = bench::MakeWorkload();
  bench::ScratchDirectory directory;
  bench::UseDirectory(directory.path(), std::move(workload.methodLists));

  const long residentBefore = MaxResidentKb();
  const std::size_t baseline = liveBytes;
  peakBytes = liveBytes;
  // As the exchange does it.
  bench::Evaluate(workload.body);
  const std::size_t peak = peakBytes - baseline;
  const long residentAfter = MaxResidentKb();

  const double body = static_cast<double>(workload.body.size());
  std::printf("body: %.2f MB\n", body / 1e6);
  std::printf("peak heap during Evaluate: %.2f MB (%.2fx body)\n",
              static_cast<double>(peak) / 1e6,
              static_cast<double>(peak) / body);
  std::printf("max resident: %.1f MB before, %.1f MB after (+%.1f MB)\n",
              static_cast<double>(residentBefore) / 1e3,
              static_cast<double>(residentAfter) / 1e3,
              static_cast<double>(residentAfter - residentBefore) / 1e3);
  harness::ResetState();
  return 0;
}
