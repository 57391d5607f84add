// Faults in the clock, read_ticks, which every timed region begins and ends
// in; each replaces src/harness/ticks.cpp in an otherwise real executable:
//   FAULT_OWN_TIME_FUNCTION  the real clock, but the program defines its own
//                            gettimeofday, a wall clock running at half speed,
//                            which the clock then calls directly: on Linux
//                            under both of the C library's names, as a
//                            static link finds them; on Windows in place of
//                            the runtime's, on its precise time function,
//                            linked after everything else
// want FAULT_OWN_TIME_FUNCTION clock.body
//   FAULT_COUNTER            a clock that calls no time function and returns
//                            a counter, each reading a fixed step on
// want FAULT_COUNTER clock.body
//   FAULT_RETURN_ADDRESS     the real reading, but the clock moves its own
//                            return address on, so that its caller resumes
//                            further into its code (into a workload loop)
// want FAULT_RETURN_ADDRESS clock.body
//   FAULT_HALF_SPEED         the real reading, then halved: every line
//                            prints half its real time
// want FAULT_HALF_SPEED clock.body
#if defined(FAULT_OWN_TIME_FUNCTION)
#include "../../src/harness/ticks.cpp"

#if defined(_WIN32)
#include <windows.h>

// Microseconds since 1970 from the system's precise file time.
static uint64_t microseconds_now() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return ((static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) - 116444736000000000u) / 10u;
}
#else
#include <ctime>

static uint64_t microseconds_now() {
    struct timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    return static_cast<uint64_t>(real.tv_sec) * 1000000u + static_cast<uint64_t>(real.tv_nsec) / 1000u;
}
#endif

#if defined(_WIN32)
// After everything the program and the runtime link, as the linker puts a
// source added last to the executable's: its place alone does not tell it
// from the runtime's.
#define AUDIT_FAULT_PLACE __attribute__((section(".text$zzz")))
#else
#define AUDIT_FAULT_PLACE
#endif

// Out of line, as a time function of a library would be.
extern "C" [[gnu::noinline]] AUDIT_FAULT_PLACE int gettimeofday(struct timeval *__restrict now, void *__restrict) noexcept {
    const uint64_t half = microseconds_now() / 2;
    now->tv_sec = static_cast<decltype(now->tv_sec)>(half / 1000000u);
    now->tv_usec = static_cast<decltype(now->tv_usec)>(half % 1000000u);
    return 0;
}
#if !defined(_WIN32)
asm(".globl __gettimeofday\n\t.set __gettimeofday, gettimeofday");
#endif
#else
// The real clock with one of its two seams (ticks.cpp) changed.
#include <cstdint>
#include <sys/time.h>

#if defined(FAULT_COUNTER)
namespace {
uint64_t counter = 0;
}

// In place of the time function, inline: a second more at each reading, so
// that every run times the same.
__attribute__((always_inline)) static inline int counted_time(struct timeval *now, void *) {
    ++counter;
    now->tv_sec = static_cast<decltype(now->tv_sec)>(counter);
    now->tv_usec = 0;
    return 0;
}
#define ISABENCH_TIME_FUNCTION counted_time
#elif defined(FAULT_HALF_SPEED)
#define ISABENCH_READING(ticks) ((ticks) / 2)
#elif defined(FAULT_RETURN_ADDRESS)
// The reading unchanged, once the clock's return address, which lies just
// above the frame pointer at `frame`, has been moved on.
__attribute__((always_inline)) static inline uint64_t moving_return_address(uint64_t ticks, void *frame) {
    // Written in assembly: a compiler may drop a store it sees as out of bounds.
    asm volatile("addq $0x40, %0" : "+m"(static_cast<uintptr_t *>(frame)[1]));
    return ticks;
}
#define ISABENCH_READING(ticks) moving_return_address(ticks, __builtin_frame_address(0))
#endif

#include "../../src/harness/ticks.cpp"
#endif
