// Runs a program with a limit on the size of every file it writes, as a
// disk that fills up would set one: file_size_limited BYTES PROGRAM [ARGS...]
//
// SIGXFSZ is ignored, so that a write beyond the limit fails with EFBIG and
// the program sees an error it must handle, as it would see ENOSPC, instead
// of being killed by the signal.

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BYTES PROGRAM [ARGS...]\n", argv[0]);
        return 127;
    }
    const rlim_t nLimit = std::strtoull(argv[1], nullptr, 10);
    const rlimit limit{nLimit, nLimit};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
        std::perror("file_size_limited");
        return 127;
    }
    execv(argv[2], argv + 2);
    std::perror(argv[2]);
    return 127;
}
