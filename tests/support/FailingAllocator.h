// A global allocator for test programs that can make one chosen allocation
// fail, as an exhausted heap would: operator new throws std::bad_alloc. Only
// the throwing forms, and only the arming thread's allocations, are counted,
// so the simulated host's main thread is not affected.
#pragma once

#include <cstddef>

namespace alloctest {

// The n-th allocation (counting from 0) made by the calling thread from now
// on fails; later ones succeed again.
void FailAllocation(int n);
// Stops counting; true when the chosen allocation was reached and failed.
bool Disarm();
// Stops counting for a while (for work of the test's own inside an armed
// call) and returns what Resume needs to go on counting where it stopped.
int Suspend();
void Resume(int suspended);

// Every allocation larger than `bytes`, on any thread, fails from now on;
// 0 lifts the limit.
void LimitAllocationSize(std::size_t bytes);

// Runs prepare, then call, once for each allocation that call makes on the
// calling thread, the k-th run with the k-th allocation failing, and hands
// each result to check(k, result, failed); stops after the first run that
// reached no chosen allocation. Returns the number of allocations made by
// the call, or -1 past `limit`.
template <class Prepare, class Call, class Check>
int ForEachAllocation(Prepare prepare, Call call, Check check, int limit = 1000) {
    for (int k = 0; k < limit; ++k) {
        prepare();
        FailAllocation(k);
        const auto result = call();
        const bool failed = Disarm();
        check(k, result, failed);
        if (!failed) return k;
    }
    return -1;
}

}  // namespace alloctest
