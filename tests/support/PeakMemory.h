#pragma once
// The resident size of this process, for tests and benchmarks that bound the memory a
// component takes. Only this process counts, so processes running beside it (ctest -j)
// do not change the figures.
#include <functional>

namespace testsupport {

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:"); -1 when it is missing.
long ProcStatusKb(const char* field);

// How far the resident size rises above what it is before `fn` runs, at its peak while
// `fn` runs (KiB). The peak is started again through /proc/self/clear_refs; where that is
// not allowed, a thread samples the resident size every millisecond instead.
long PeakRssGrowthKb(const std::function<void()>& fn);

// The same measured in a child process made for it (fork), so that nothing this process
// did before (memory freed but kept for reuse, an earlier peak) blurs the figure; -1 when
// `fn` raised or the child failed. For programs without other threads (benchmarks).
long ChildPeakRssGrowthKb(const std::function<void()>& fn);

}  // namespace testsupport
