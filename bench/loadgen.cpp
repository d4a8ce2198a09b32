// Load generator and loopback backends for the benchmark.
//
//   loadgen serve TCP_PORT UDP_PORT      backends, until killed
//   loadgen bulk up|down PORT SECONDS [BYTES]
//                                        one stream; prints "bytes seconds"
//   loadgen rtt tcp|udp PORT COUNT       64-byte round trips; "p50 p99" (us)
//   loadgen rr PORT SECONDS              100-byte requests, 6000-byte
//                                        replies on one connection;
//                                        prints "exchanges seconds"
//   loadgen connrate PORT SECONDS CLIENTS
//                                        connect, 100-byte exchange, close;
//                                        prints "connections failures
//                                        seconds"
//   loadgen hold PORT COUNT              opens COUNT echo connections,
//                                        prints "ready", holds them until
//                                        standard input ends
//
// The first byte a client sends picks the backend's behaviour: 'U' reads
// and discards, 'D' sends without end, 'E' echoes, 'R' answers every
// 100-byte request with 6000 bytes, 'C' answers one 100-byte request.
#include <sys/socket.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

constexpr size_t REQUEST = 100, REPLY = 6000, MESSAGE = 64;

void
nodelay(int fd)
{
	int on = 1;
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

int
connect_tcp(int port)
{
	sockaddr_in addr = loopback(port);
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	if (fd == -1)
		fail("socket");
	if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) ==
	    -1) {
		close(fd);
		return -1;
	}
	nodelay(fd);
	return fd;
}

bool
write_all(int fd, const char *buf, size_t len)
{
	while (len > 0) {
		ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
		if (n <= 0)
			return false;
		buf += n;
		len -= static_cast<size_t>(n);
	}
	return true;
}

bool
read_exact(int fd, char *buf, size_t len)
{
	while (len > 0) {
		ssize_t n = read(fd, buf, len);
		if (n <= 0)
			return false;
		buf += n;
		len -= static_cast<size_t>(n);
	}
	return true;
}

void
serve_connection(int fd)
{
	static char big[1 << 16];
	char mode, buf[1 << 16];

	nodelay(fd);
	if (read(fd, &mode, 1) != 1) {
		close(fd);
		return;
	}
	switch (mode) {
	case 'U':
		while (read(fd, buf, sizeof(buf)) > 0)
			;
		break;
	case 'D':
		while (write_all(fd, big, sizeof(big)))
			;
		break;
	case 'E':
		for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) {
			if (!write_all(fd, buf, static_cast<size_t>(n)))
				break;
		}
		break;
	case 'R':
		while (read_exact(fd, buf, REQUEST) &&
		    write_all(fd, big, REPLY))
			;
		break;
	case 'C':
		if (read_exact(fd, buf, REQUEST - 1) &&
		    write_all(fd, big, REQUEST)) {
			while (read(fd, buf, sizeof(buf)) > 0)
				;
		}
		break;
	}
	close(fd);
}

int
serve(int tcp_port, int udp_port)
{
	int on = 1;
	sockaddr_in addr = loopback(tcp_port);
	int listen_fd = socket(AF_INET, SOCK_STREAM, 0);
	setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
	if (bind(listen_fd, reinterpret_cast<sockaddr *>(&addr),
	        sizeof(addr)) == -1 ||
	    listen(listen_fd, 512) == -1)
		fail("tcp backend");

	addr = loopback(udp_port);
	int udp_fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (bind(udp_fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) ==
	    -1)
		fail("udp backend");
	std::thread([udp_fd] {
		char buf[65536];
		for (;;) {
			sockaddr_in from{};
			socklen_t len = sizeof(from);
			ssize_t n = recvfrom(udp_fd, buf, sizeof(buf), 0,
			    reinterpret_cast<sockaddr *>(&from), &len);
			if (n >= 0)
				sendto(udp_fd, buf, static_cast<size_t>(n), 0,
				    reinterpret_cast<sockaddr *>(&from), len);
		}
	}).detach();

	printf("ready\n");
	fflush(stdout);
	for (;;) {
		int fd = accept(listen_fd, nullptr, nullptr);
		if (fd != -1)
			std::thread(serve_connection, fd).detach();
	}
}

int
bulk(bool up, int port, double seconds, double max_bytes)
{
	static char buf[1 << 18];
	int fd = connect_tcp(port);
	if (fd == -1)
		fail("connect");
	char mode = up ? 'U' : 'D';
	write_all(fd, &mode, 1);
	double bytes = 0;
	auto start = Clock::now();
	while (seconds_since(start) < seconds && bytes < max_bytes) {
		size_t want = static_cast<size_t>(std::min<double>(sizeof(buf),
		    max_bytes - bytes));
		ssize_t n = up ? send(fd, buf, want, MSG_NOSIGNAL)
		               : read(fd, buf, want);
		if (n <= 0)
			fail("bulk");
		bytes += static_cast<double>(n);
	}
	if (up) {
		// Done when the backend has read it all and closed.
		shutdown(fd, SHUT_WR);
		while (read(fd, buf, sizeof(buf)) > 0)
			;
	}
	double took = seconds_since(start);
	close(fd);
	printf("%.0f %.6f\n", bytes, took);
	return 0;
}

double
percentile(std::vector<double> &v, double p)
{
	std::sort(v.begin(), v.end());
	return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

int
rtt(bool tcp, int port, int count)
{
	char msg[MESSAGE] = {0}, back[MESSAGE];
	int fd;
	if (tcp) {
		if ((fd = connect_tcp(port)) == -1)
			fail("connect");
		char mode = 'E';
		write_all(fd, &mode, 1);
	} else {
		sockaddr_in addr = loopback(port);
		fd = socket(AF_INET, SOCK_DGRAM, 0);
		if (connect(fd, reinterpret_cast<sockaddr *>(&addr),
		        sizeof(addr)) == -1)
			fail("connect");
	}
	std::vector<double> us;
	int lost = 0;
	for (int i = -200; i < count; i++) {
		auto start = Clock::now();
		if (send(fd, msg, sizeof(msg), MSG_NOSIGNAL) !=
		    static_cast<ssize_t>(sizeof(msg)))
			fail("send");
		bool ok;
		if (tcp) {
			ok = read_exact(fd, back, sizeof(back));
		} else {
			pollfd p{fd, POLLIN, 0};
			ok = poll(&p, 1, 1000) == 1 &&
			    recv(fd, back, sizeof(back), 0) ==
			        static_cast<ssize_t>(sizeof(back));
		}
		if (!ok) {
			if (tcp || ++lost > count / 10)
				fail("round trip");
			continue;
		}
		if (i >= 0)
			us.push_back(seconds_since(start) * 1e6);
	}
	close(fd);
	printf("%.2f %.2f\n", percentile(us, 0.5), percentile(us, 0.99));
	return 0;
}

int
request_response(int port, double seconds)
{
	char req[REQUEST] = {'R'}, reply[REPLY];
	int fd = connect_tcp(port);
	if (fd == -1)
		fail("connect");
	write_all(fd, req, 1);
	long exchanges = 0;
	auto start = Clock::now();
	while (seconds_since(start) < seconds) {
		if (!write_all(fd, req, sizeof(req)) ||
		    !read_exact(fd, reply, sizeof(reply)))
			fail("exchange");
		exchanges++;
	}
	double took = seconds_since(start);
	close(fd);
	printf("%ld %.6f\n", exchanges, took);
	return 0;
}

int
connection_rate(int port, double seconds, int clients)
{
	std::atomic<long> done{0}, failed{0};
	auto start = Clock::now();
	std::vector<std::thread> threads;
	for (int c = 0; c < clients; c++) {
		threads.emplace_back([&] {
			char req[REQUEST] = {'C'}, reply[REQUEST];
			while (seconds_since(start) < seconds) {
				int fd = connect_tcp(port);
				bool ok = fd != -1 &&
				    write_all(fd, req, sizeof(req)) &&
				    read_exact(fd, reply, sizeof(reply));
				if (fd != -1)
					close(fd);
				(ok ? done : failed)++;
			}
		});
	}
	for (auto &t : threads)
		t.join();
	printf("%ld %ld %.6f\n", done.load(), failed.load(),
	    seconds_since(start));
	return 0;
}

int
hold(int port, int count)
{
	std::vector<int> fds;
	char msg[MESSAGE + 1] = {'E'}, back[MESSAGE];
	for (int i = 0; i < count; i++) {
		int fd = connect_tcp(port);
		if (fd == -1 || !write_all(fd, msg, sizeof(msg)) ||
		    !read_exact(fd, back, sizeof(back)))
			fail("hold");
		fds.push_back(fd);
	}
	printf("ready\n");
	fflush(stdout);
	while (read(0, back, sizeof(back)) > 0)
		;
	for (int fd : fds)
		close(fd);
	return 0;
}

int
usage()
{
	fprintf(stderr, "usage: see the comment at the top of loadgen.cpp\n");
	return 2;
}

} // namespace

int
main(int argc, char **argv)
{
	signal(SIGPIPE, SIG_IGN);
	std::vector<std::string> a(argv + 1, argv + argc);
	auto num = [&](size_t i) {
		return i < a.size() ? atof(a[i].c_str()) : 0;
	};
	if (a.size() == 3 && a[0] == "serve")
		return serve(int(num(1)), int(num(2)));
	if ((a.size() == 4 || a.size() == 5) && a[0] == "bulk")
		return bulk(a[1] == "up", int(num(2)), num(3),
		    a.size() == 5 ? num(4) : 1e18);
	if (a.size() == 4 && a[0] == "rtt")
		return rtt(a[1] == "tcp", int(num(2)), int(num(3)));
	if (a.size() == 3 && a[0] == "rr")
		return request_response(int(num(1)), num(2));
	if (a.size() == 4 && a[0] == "connrate")
		return connection_rate(int(num(1)), num(2), int(num(3)));
	if (a.size() == 3 && a[0] == "hold")
		return hold(int(num(1)), int(num(2)));
	return usage();
}
