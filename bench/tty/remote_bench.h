// The remote-port rows of tty_bench (remote_bench.cpp).
#ifndef BENCH_TTY_REMOTE_BENCH_H
#define BENCH_TTY_REMOTE_BENCH_H

#include <cstddef>

// Prints throughput and one-byte write latency of a remote port on a loopback ser2net and of
// the pseudo-terminal it serves, `total` bytes per throughput run.
void remote_rows(size_t total);

#endif
