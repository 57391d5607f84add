// Entry and driver: runs the measuring functions in their fixed order.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../variants/variants.h"

int main() {
    bench_scalar();

    // The results are the program's whole purpose: a run whose lines were not
    // written (a full disk, a closed pipe) must not end as a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int error = errno;
        std::fprintf(stderr, "isabench: could not write the results to standard output: %s\n",
                     std::strerror(error));
        return 1;
    }
    return 0;
}
