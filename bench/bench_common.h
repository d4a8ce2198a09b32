// What the benchmark's generators share: failing, loopback addresses and
// the clock.
#ifndef BRENNIX_BENCH_COMMON_H
#define BRENNIX_BENCH_COMMON_H

#include <netinet/in.h>

#include <stdio.h>
#include <stdlib.h>

#include <chrono>

using Clock = std::chrono::steady_clock;

[[noreturn]] inline void
fail(const char *what)
{
	perror(what);
	exit(1);
}

inline sockaddr_in
loopback(int port)
{
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	addr.sin_port = htons(static_cast<uint16_t>(port));
	return addr;
}

inline double
seconds_since(Clock::time_point start)
{
	return std::chrono::duration<double>(Clock::now() - start).count();
}

#endif
