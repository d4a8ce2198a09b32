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
//   udpflood fair PORT SINK TCP_PORT QUERY_PORT CLIENTS SECONDS
//       floods PORT as above with 64-byte datagrams from CLIENTS sockets
//       (0: no flood), while one client makes 64-byte TCP round trips one
//       after another on TCP_PORT (a loadgen backend: it echoes) and
//       another sends 64-byte UDP queries one at a time to QUERY_PORT,
//       each given QUERY_WAIT_MS to be answered.  Prints "received
//       roundtrips p99_us queries answered seconds".
#include <sys/socket.h>

#include <netinet/in.h>

#include <netinet/tcp.h>

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

constexpr int BURST = 64;
constexpr int ECHO_SIZE = 64;
constexpr int MAX_DATAGRAM = 65507;
constexpr int QUERY_WAIT_MS = 200;

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

// Counts the datagrams that reach the sink port until done is set and
// nothing came for half a second: what a forwarder still holds is out by
// then.
struct Sink {
	explicit Sink(int port) : fd(udp_socket(0, port))
	{
		set_timeout(fd, 100);
		counter = std::thread([this] {
			Batch in(BURST, MAX_DATAGRAM, true);
			auto quiet_since = Clock::now();
			while (!done || seconds_since(quiet_since) < 0.5) {
				int n = recvmmsg(fd, in.msgs.data(), BURST, 0,
				    nullptr);
				if (n > 0) {
					received += n;
					quiet_since = Clock::now();
				}
			}
		});
	}
	long finish()
	{
		done = true;
		counter.join();
		close(fd);
		return received;
	}

	int fd;
	std::atomic<long> received{0};
	std::atomic<bool> done{false};
	std::thread counter;
};

// Sends size-byte datagrams to port from clients sockets, 64 at a time,
// for seconds or until stop is set, at rate per second in bursts of 64
// (0: as fast as they go); returns how many were sent.
long
send_flood(int port, size_t size, int clients, double seconds, double rate,
    const std::atomic<bool> &stop)
{
	std::vector<int> fds;
	for (int c = 0; c < clients; c++)
		fds.push_back(udp_socket(port, 0));
	Batch out(BURST, size, false);
	long sent = 0;
	auto start = Clock::now();
	for (int c = 0; clients > 0 && !stop && seconds_since(start) < seconds;
	     c = (c + 1) % clients) {
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
	for (int fd : fds)
		close(fd);
	return sent;
}

int
flood(int port, int sink_port, size_t size, int clients, double seconds,
    double rate)
{
	Sink sink(sink_port);
	std::atomic<bool> stop{false};
	auto start = Clock::now();
	long sent = send_flood(port, size, clients, seconds, rate, stop);
	double took = seconds_since(start);
	printf("%ld %ld %.6f\n", sent, sink.finish(), took);
	return 0;
}

// 64-byte round trips, one after another, to an echoing TCP backend until
// stop is set; the time of each, in microseconds, goes to us.
void
tcp_round_trips(int port, const std::atomic<bool> &stop,
    std::vector<double> *us)
{
	sockaddr_in addr = loopback(port);
	int fd = socket(AF_INET, SOCK_STREAM, 0), on = 1;
	char msg[ECHO_SIZE] = {'E'}, back[ECHO_SIZE];
	if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) ==
	    -1)
		fail("connect");
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
	send(fd, msg, 1, MSG_NOSIGNAL); // the backend echoes
	while (!stop) {
		auto start = Clock::now();
		if (send(fd, msg, sizeof(msg), MSG_NOSIGNAL) != sizeof(msg))
			fail("tcp round trip");
		for (size_t got = 0; got < sizeof(back);) {
			ssize_t n = recv(fd, back, sizeof(back) - got, 0);
			if (n <= 0)
				fail("tcp round trip");
			got += static_cast<size_t>(n);
		}
		us->push_back(seconds_since(start) * 1e6);
	}
	close(fd);
}

// 64-byte queries one at a time until stop is set, each given
// QUERY_WAIT_MS to be answered; counts them and the answers.
void
udp_queries(int port, const std::atomic<bool> &stop, long *sent, long *answered)
{
	int fd = udp_socket(port, 0);
	char msg[ECHO_SIZE] = {0}, back[ECHO_SIZE];
	for (unsigned id = 0; !stop; id++) {
		memcpy(msg, &id, sizeof(id));
		if (send(fd, msg, sizeof(msg), 0) == -1)
			continue;
		(*sent)++;
		auto start = Clock::now();
		for (;;) {
			int left = QUERY_WAIT_MS -
			    static_cast<int>(seconds_since(start) * 1000);
			pollfd p{fd, POLLIN, 0};
			if (left <= 0 || poll(&p, 1, left) != 1)
				break;
			if (recv(fd, back, sizeof(back), 0) ==
			        static_cast<ssize_t>(sizeof(back)) &&
			    memcmp(back, &id, sizeof(id)) == 0) {
				(*answered)++;
				break;
			}
		}
	}
	close(fd);
}

int
fair(int port, int sink_port, int tcp_port, int query_port, int clients,
    double seconds)
{
	Sink sink(sink_port);
	std::atomic<bool> stop{false};
	std::vector<double> us;
	long queries = 0, answered = 0;
	auto start = Clock::now();
	std::thread tcp(tcp_round_trips, tcp_port, std::cref(stop), &us);
	std::thread udp(udp_queries, query_port, std::cref(stop), &queries,
	    &answered);
	send_flood(port, ECHO_SIZE, clients, seconds, 0, stop);
	while (seconds_since(start) < seconds)
		usleep(10000);
	stop = true;
	tcp.join();
	udp.join();
	double took = seconds_since(start);
	std::sort(us.begin(), us.end());
	double p99 = us.empty() ? 0 : us[us.size() * 99 / 100];
	printf("%ld %zu %.1f %ld %ld %.6f\n", sink.finish(), us.size(), p99,
	    queries, answered, took);
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
	if (argc == 8 && strcmp(argv[1], "fair") == 0)
		return fair(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]),
		    atoi(argv[5]), atoi(argv[6]), atof(argv[7]));
	fprintf(stderr,
	    "usage: udpflood flood PORT SINK SIZE CLIENTS SECONDS [RATE]\n"
	    "       udpflood echo PORT SECONDS INFLIGHT\n"
	    "       udpflood fair PORT SINK TCP_PORT QUERY_PORT CLIENTS "
	    "SECONDS\n");
	return 2;
}
