// UDP load for the benchmark: floods and echoes in batches, as fast as one
// CPU sends them, which a Python sender is far too slow for.
//
//   udpflood flood PORT SINK SIZE CLIENTS SECONDS [RATE]
//       binds a sink on SINK and sends SIZE-byte datagrams to PORT from
//       CLIENTS sockets for SECONDS, 64 at a time with sendmmsg: as fast
//       as they go, or RATE datagrams per second in all, in bursts of 64.
//       The sink counts with recvmmsg until the stragglers are in.
//       Prints "sent received seconds".
//   udpflood echo PORT SECONDS INFLIGHT
//       keeps INFLIGHT 64-byte datagrams in flight to PORT, whose
//       destination echoes them; prints "roundtrips seconds".
#include <sys/socket.h>

#include <netinet/in.h>

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

constexpr int BURST = 64;
constexpr int ECHO_SIZE = 64;
constexpr int MAX_DATAGRAM = 65507;

int
udp_socket(int connect_to, int bind_to)
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd == -1)
		fail("socket");
	// Room enough that the generator's own sockets lose nothing.
	int size = 64 << 20;
	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)))
		setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
	if (bind_to) {
		sockaddr_in addr = loopback(bind_to);
		if (bind(fd, reinterpret_cast<sockaddr *>(&addr),
		        sizeof(addr)) == -1)
			fail("bind");
	}
	if (connect_to) {
		sockaddr_in addr = loopback(connect_to);
		if (connect(fd, reinterpret_cast<sockaddr *>(&addr),
		        sizeof(addr)) == -1)
			fail("connect");
	}
	return fd;
}

void
set_timeout(int fd, int ms)
{
	timeval tv{ms / 1000, (ms % 1000) * 1000};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

// A batch of n datagrams of size bytes from one buffer, for sendmmsg, or
// of buffers of their own for recvmmsg.
struct Batch {
	Batch(int n, size_t size, bool own) :
	    msgs(static_cast<size_t>(n)), iovs(static_cast<size_t>(n)),
	    data(own ? static_cast<size_t>(n) * size : size)
	{
		for (size_t i = 0; i < msgs.size(); i++) {
			iovs[i] = {data.data() + (own ? i * size : 0), size};
			msgs[i].msg_hdr.msg_iov = &iovs[i];
			msgs[i].msg_hdr.msg_iovlen = 1;
		}
	}
	std::vector<mmsghdr> msgs;
	std::vector<iovec> iovs;
	std::vector<char> data;
};

int
flood(int port, int sink_port, size_t size, int clients, double seconds,
    double rate)
{
	int sink = udp_socket(0, sink_port);
	set_timeout(sink, 100);
	std::atomic<long> received{0};
	std::atomic<bool> sending{true};
	std::thread counter([&] {
		Batch in(BURST, MAX_DATAGRAM, true);
		auto quiet_since = Clock::now();
		// Counts until the senders are done and nothing came for
		// half a second: what a forwarder still holds is out by then.
		while (sending || seconds_since(quiet_since) < 0.5) {
			int n =
			    recvmmsg(sink, in.msgs.data(), BURST, 0, nullptr);
			if (n > 0) {
				received += n;
				quiet_since = Clock::now();
			}
		}
	});

	std::vector<int> fds;
	for (int c = 0; c < clients; c++)
		fds.push_back(udp_socket(port, 0));
	Batch out(BURST, size, false);
	long sent = 0;
	auto start = Clock::now();
	for (int c = 0; seconds_since(start) < seconds; c = (c + 1) % clients) {
		if (rate > 0) {
			double due = static_cast<double>(sent) / rate;
			double wait = due - seconds_since(start);
			if (wait > 0)
				usleep(static_cast<useconds_t>(wait * 1e6));
		}
		int n = sendmmsg(fds[static_cast<size_t>(c)], out.msgs.data(),
		    BURST, 0);
		if (n > 0)
			sent += n;
		else if (errno != ECONNREFUSED && errno != EAGAIN)
			fail("sendmmsg");
	}
	double took = seconds_since(start);
	sending = false;
	counter.join();
	printf("%ld %ld %.6f\n", sent, received.load(), took);
	return 0;
}

int
echo(int port, double seconds, int inflight)
{
	int fd = udp_socket(port, 0);
	set_timeout(fd, 50);
	Batch out(inflight, ECHO_SIZE, false);
	Batch in(inflight, ECHO_SIZE, true);
	long roundtrips = 0;
	auto start = Clock::now();
	int missing = inflight;
	while (seconds_since(start) < seconds) {
		// Whatever did not come back within the time-out counts as
		// lost and is replaced.
		if (missing > 0 &&
		    sendmmsg(fd, out.msgs.data(),
		        static_cast<unsigned>(missing), 0) > 0)
			missing = 0;
		int n = recvmmsg(fd, in.msgs.data(),
		    static_cast<unsigned>(inflight), MSG_WAITFORONE, nullptr);
		if (n > 0) {
			roundtrips += n;
			missing = n;
		} else if (errno == EAGAIN) {
			missing = inflight;
		}
	}
	printf("%ld %.6f\n", roundtrips, seconds_since(start));
	return 0;
}

} // namespace

int
main(int argc, char **argv)
{
	if (argc >= 7 && strcmp(argv[1], "flood") == 0)
		return flood(atoi(argv[2]), atoi(argv[3]),
		    static_cast<size_t>(atoi(argv[4])), atoi(argv[5]),
		    atof(argv[6]), argc > 7 ? atof(argv[7]) : 0);
	if (argc == 5 && strcmp(argv[1], "echo") == 0)
		return echo(atoi(argv[2]), atof(argv[3]), atoi(argv[4]));
	fprintf(stderr,
	    "usage: udpflood flood PORT SINK SIZE CLIENTS SECONDS [RATE]\n"
	    "       udpflood echo PORT SECONDS INFLIGHT\n");
	return 2;
}
