// Peers that vanish without a word, and outages, end to end across veth
// links between network namespaces of the test's own (Namespaces): the
// forwarder and the destinations near, the peers far.  A far end set down
// is a host that vanished; the router's far side set down is an outage
// that neither end is told of.  Run by tests/run in the plain build only.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

// Reads and drops what comes, and sends junk (unless it only drains),
// until the connection ends or fails, stop is set or the time is up.
void
stream_until(int fd, const std::atomic<bool> &stop, double seconds = 600,
    bool drain_only = false)
{
	static const std::string junk(64 << 10, 'j');
	char buf[65536];
	for (auto deadline = deadline_in(seconds);
	     !stop && Clock::now() < deadline;) {
		pollfd p{fd,
		    static_cast<short>(POLLIN | (drain_only ? 0 : POLLOUT)), 0};
		if (poll(&p, 1, 100) <= 0)
			continue;
		if ((p.revents & POLLIN) && recv(fd, buf, sizeof(buf), 0) <= 0)
			return;
		if ((p.revents & POLLOUT) &&
		    send(fd, junk.data(), junk.size(), MSG_NOSIGNAL) == -1)
			return;
	}
}

int
timeouts_reported(const Forwarder &forwarder)
{
	const std::string line = "server_read: Connection timed out\n";
	std::string err = forwarder.err();
	int n = 0;
	for (size_t at = err.find(line); at != err.npos;
	     at = err.find(line, at + 1))
		n++;
	return n;
}

// The test's peers: threads that run until stop, and their sockets, all
// ended when it goes out of scope, also when the test fails.
struct Peers {
	~Peers() { end(); }
	void end()
	{
		stop = true;
		for (auto &t : threads)
			t.join();
		for (int fd : fds)
			close(fd);
		threads.clear();
		fds.clear();
	}
	int keep(int fd)
	{
		fds.push_back(fd);
		return fd;
	}
	template <typename F> void start(F f) { threads.emplace_back(f); }

	std::atomic<bool> stop{false};
	std::vector<std::thread> threads;
	std::vector<int> fds;
};

// Every state a pair can hold bytes or its end of stream in, for a peer
// that vanished: each is let go within four and a half minutes, with one
// line, most within three.  Two take longest, for there the kernel's
// tries back off up to two minutes apart: a reader that shut its window
// on bytes already in flight, and a pair lingering after an orderly end,
// whose stream the kernel would finish alone.  A reader paused for 75 s
// beside them, directly and through the forwarder, is alive and gets
// every byte.
TEST(SlowTest, PeersThatVanishAreLetGoInEveryStateLiveOnesAreNot)
{
	Namespaces ns;
	if (ns.far_ns == -1)
		GTEST_SKIP() << "no network namespaces with veth links here";
	// Link 2 loses our ends of stream, as a peer that vanished right
	// after it took the data would, and is slow to bring acknowledgements
	// back, so that the data is still in flight, and sent whole, when the
	// pair ends.  Reno, like any algorithm that does not pace, sends a
	// first flight at once, where BBR would pace it out behind our end of
	// stream.
	const std::string congestion =
	    "/proc/sys/net/ipv4/tcp_congestion_control";
	write_file(congestion, "reno");
	ASSERT_EQ(read_file(congestion), "reno\n");
	ASSERT_TRUE(run("nft add table inet bx && nft add chain inet bx out "
	                "'{ type filter hook output priority 0; }' && nft add "
	                "rule inet bx out oifname bxn2 tcp flags '&' fin == "
	                "fin drop && ip netns exec " +
	    ns.name +
	    " tc qdisc add dev bxf2 root tbf rate 16kbit burst 100 "
	    "latency 5s"));
	const std::string part(100 << 10, 'p'), tail(4 << 10, 't');
	const std::string data = random_bytes(8 << 20, 41);
	PeerServer streamer([](int fd, const std::atomic<bool> &stopping) {
		stream_until(fd, stopping);
	});
	PeerServer resetter([](int fd, const std::atomic<bool> &stopping) {
		stream_until(fd, stopping, 2);
		set_linger_zero(fd);
	});
	PeerServer closer([&](int fd, const std::atomic<bool> &) {
		send_all(fd, part, 30);
	});
	PeerServer part_resetter([&](int fd, const std::atomic<bool> &) {
		send_all(fd, part, 30);
		wait_acknowledged(fd);
		set_linger_zero(fd);
	});
	// It ends a moment after its data, which the forwarder has sent on
	// by then, apart from our end of stream.
	PeerServer tail_closer([&](int fd, const std::atomic<bool> &) {
		send_all(fd, tail, 30);
		usleep(20000);
	});
	PeerServer
	    sender([&](int fd,
	               const std::atomic<bool> &) { send_all(fd, data, 150); },
	        near_ip(3).c_str());
	std::unique_ptr<PeerServer> sink;
	ns.far([&] {
		sink = std::make_unique<PeerServer>(
		    [](int fd, const std::atomic<bool> &stopping) {
			    stream_until(fd, stopping, 600, true);
		    },
		    "10.77.1.2");
	});
	const struct {
		const PeerServer *dest;
		std::string host;
	} dests[] = {{&streamer, "127.0.0.1"}, {sink.get(), "10.77.1.2"},
	    {&resetter, "127.0.0.1"}, {&closer, "127.0.0.1"},
	    {&part_resetter, "127.0.0.1"}, {&tail_closer, "127.0.0.1"},
	    {&sender, near_ip(3)}};
	std::string config;
	int ports[7];
	for (int i = 0; i < 7; i++) {
		ports[i] = free_port();
		config += rule(ports[i], dests[i].dest->port, "tcp",
		    dests[i].host.c_str());
	}
	Forwarder forwarder(config);
	int probe = tcp_connect(ports[5]); // the forwarder is up
	ASSERT_NE(probe, -1);
	recv_n(probe, tail.size());
	close(probe);
	usleep(500000);
	int base_fds = open_fds(forwarder.pid);

	std::string got[2];
	int end[2] = {-2, -2};
	Peers peers;
	// Connected, bytes in flight: to a user who reads, and to a
	// destination that reads.
	int reader = peers.keep(ns.far_connect(1, ports[0]));
	peers.start([&, reader] {
		stream_until(reader, peers.stop, 600, true);
	});
	int uploader = peers.keep(tcp_connect(ports[1]));
	peers.start([&, uploader] { stream_until(uploader, peers.stop); });
	// Connected, the user's window shut; and shut on bytes in flight: the
	// user reads, then shrinks its buffer and stops.
	peers.keep(ns.far_connect(1, ports[0], 16 << 10));
	int shrinker = peers.keep(ns.far_connect(1, ports[0]));
	peers.start([&, shrinker] {
		stream_until(shrinker, peers.stop, 1, true);
		int tiny = 2048;
		setsockopt(shrinker, SOL_SOCKET, SO_RCVBUF, &tiny,
		    sizeof(tiny));
	});
	// Draining and flushing: the destination resets while the user's
	// window is shut and the user still sends; the second user ends its
	// stream too.
	for (bool ends : {false, true}) {
		int fd = peers.keep(ns.far_connect(1, ports[2], 16 << 10));
		peers.start([&, fd, ends] {
			for (int i = 0; i < 30 && !peers.stop; i++) {
				send(fd, "beat", 4, MSG_NOSIGNAL);
				usleep(100000);
			}
			if (ends)
				shutdown(fd, SHUT_WR);
		});
	}
	// Lingering with bytes unacknowledged, and acking: the destination
	// ends or resets once it handed over what the user does not read
	// (and the forwarder's send queue holds); the second user ends its
	// stream.
	peers.keep(ns.far_connect(1, ports[3], 16 << 10));
	int acking = peers.keep(ns.far_connect(1, ports[4], 16 << 10));
	// Lingering with only our end of stream unacknowledged (link 2).
	peers.keep(ns.far_connect(2, ports[5]));
	// Alive: paused for 75 s, directly and through the forwarder.
	for (int forwarded = 0; forwarded < 2; forwarded++) {
		int fd = peers.keep(ns.far_connect(3,
		    forwarded ? ports[6] : sender.port, 16 << 10));
		peers.start([&, fd, forwarded] {
			sleep(75);
			end[forwarded] = recv_to_end(fd, &got[forwarded], 60);
		});
	}

	sleep(3);
	shutdown(acking, SHUT_WR);
	sleep(1);
	ASSERT_TRUE(run("ip -n " + ns.name + " link set bxf1 down"));
	auto vanished = Clock::now();
	constexpr size_t CASES = 9;
	std::vector<double> let_go;
	for (auto deadline = deadline_in(280);
	     Clock::now() < deadline && let_go.size() < CASES; sleep(1)) {
		for (auto n = static_cast<size_t>(timeouts_reported(forwarder));
		     let_go.size() < n;)
			let_go.push_back(std::chrono::duration<
			                 double>(Clock::now() - vanished)
			                     .count());
	}
	for (double s : let_go)
		std::printf("a vanished peer let go after %.0f s\n", s);
	ASSERT_EQ(let_go.size(), CASES) << forwarder.err();
	EXPECT_LT(let_go[CASES - 3], 180);
	EXPECT_LT(let_go.back(), 270);

	peers.end();
	for (int forwarded = 0; forwarded < 2; forwarded++) {
		SCOPED_TRACE(forwarded ? "forwarded" : "direct");
		EXPECT_EQ(end[forwarded], 0);
		EXPECT_TRUE(got[forwarded] == data);
	}
	for (auto deadline = deadline_in(10);
	     open_fds(forwarder.pid) != base_fds && Clock::now() < deadline;)
		usleep(100000);
	EXPECT_EQ(open_fds(forwarder.pid), base_fds);
	expect_only_pair_failures(forwarder);
}

// What a download got, when it first got something after a moment, and
// how it ended: -1 while it goes on, 0 for an orderly end, else the error.
struct Download {
	std::string got;
	Clock::time_point first_after;
	int end = -1;
};

// Reads what fd's peer sends into *d until stop or the connection ends.
void
download(int fd, Download *d, Clock::time_point after,
    const std::atomic<bool> &stop)
{
	char buf[4096];
	while (!stop) {
		pollfd p{fd, POLLIN, 0};
		if (poll(&p, 1, 100) <= 0)
			continue;
		ssize_t n = recv(fd, buf, sizeof(buf), 0);
		if (n <= 0) {
			d->end = n == 0 ? 0 : errno;
			return;
		}
		d->got.append(buf, static_cast<size_t>(n));
		if (Clock::now() > after &&
		    d->first_after == Clock::time_point{})
			d->first_after = Clock::now();
	}
}

// An outage of 90 s on a link that times a try out after 300 ms: the
// kernel's tries back off to 76 s and 153 s after the last answer, so
// that 120 s after it the link, back since 90 s, has not been tried yet.
// TCP survives the outage directly, and a download through the forwarder
// survives it too: every byte arrives, in order, and nothing is reported.
TEST(SlowTest, AnOutageShorterThanTwoMinutesIsSurvivedAsDirectly)
{
	Namespaces ns;
	if (ns.far_ns == -1)
		GTEST_SKIP() << "no network namespaces with veth links here";
	// Numbered pieces of 512 bytes, one every 100 ms.
	PeerServer trickler(
	    [](int fd, const std::atomic<bool> &stopping) {
		    char piece[512] = {};
		    for (uint32_t i = 0; !stopping; i++) {
			    memcpy(piece, &i, sizeof(i));
			    if (!send_all(fd, std::string(piece, sizeof(piece)),
			            300))
				    return;
			    usleep(100000);
		    }
	    },
	    near_ip(4).c_str());
	int port = free_port();
	Forwarder forwarder(rule(port, trickler.port, "tcp",
	    near_ip(4).c_str()));
	auto down = Clock::now() + std::chrono::seconds(3);
	auto up = down + std::chrono::seconds(90);
	Download got[2];
	Peers peers;
	for (int forwarded = 0; forwarded < 2; forwarded++) {
		int fd = peers.keep(ns.far_connect(4,
		    forwarded ? port : trickler.port));
		ASSERT_NE(fd, -1);
		peers.start([&, fd, forwarded] {
			download(fd, &got[forwarded], up, peers.stop);
		});
	}
	std::this_thread::sleep_until(down);
	ASSERT_TRUE(ns.outage(true));
	std::this_thread::sleep_until(up);
	ASSERT_TRUE(ns.outage(false));
	// Directly, the kernel tries again 153 s after the last answer.
	for (auto deadline = up + std::chrono::seconds(90);
	     Clock::now() < deadline &&
	     (got[0].first_after == Clock::time_point{} ||
	         got[1].first_after == Clock::time_point{});)
		sleep(1);
	// Before the users leave, which resets the pairs.
	std::string said = forwarder.after_banner();
	peers.end();
	for (int forwarded = 0; forwarded < 2; forwarded++) {
		SCOPED_TRACE(forwarded ? "forwarded" : "direct");
		const Download &d = got[forwarded];
		EXPECT_EQ(d.end, -1) << "the connection ended";
		EXPECT_NE(d.first_after, Clock::time_point{})
		    << "nothing came after the outage";
		for (size_t at = 0; at + 512 <= d.got.size(); at += 512) {
			uint32_t i;
			memcpy(&i, d.got.data() + at, sizeof(i));
			ASSERT_EQ(i, at / 512);
		}
		if (d.first_after != Clock::time_point{})
			std::printf("%s: resumed %.0f s after the outage "
			            "began\n",
			    forwarded ? "forwarded" : "direct",
			    std::chrono::duration<double>(d.first_after - down)
			        .count());
	}
	EXPECT_EQ(said, "");
}

// A reader that ended its own stream and does not read, while the writer
// ended too and left the tail to its kernel; then its link is down for
// 100 s.  The writer's kernel keeps probing the shut window, and once the
// link is back and the reader reads, every byte and the end arrive,
// directly and through the forwarder alike.
TEST(SlowTest, AReaderThatEndedItsStreamOutlivesAnOutageAsDirectly)
{
	Namespaces ns;
	if (ns.far_ns == -1)
		GTEST_SKIP() << "no network namespaces with veth links here";
	const std::string data = random_bytes(96 << 10, 43);
	PeerServer
	    writer([&](int fd,
	               const std::atomic<bool> &) { send_all(fd, data, 30); },
	        near_ip(4).c_str());
	int port = free_port();
	Forwarder forwarder(rule(port, writer.port, "tcp", near_ip(4).c_str()));
	int readers[2];
	for (int forwarded = 0; forwarded < 2; forwarded++) {
		readers[forwarded] =
		    ns.far_connect(4, forwarded ? port : writer.port, 16 << 10);
		ASSERT_NE(readers[forwarded], -1);
	}
	sleep(2);
	for (int fd : readers)
		shutdown(fd, SHUT_WR);
	sleep(1);
	ASSERT_TRUE(ns.outage(true));
	sleep(100);
	ASSERT_TRUE(ns.outage(false));
	sleep(2);
	for (int forwarded = 0; forwarded < 2; forwarded++) {
		SCOPED_TRACE(forwarded ? "forwarded" : "direct");
		std::string got;
		EXPECT_EQ(recv_to_end(readers[forwarded], &got, 120), 0);
		EXPECT_EQ(got.size(), data.size());
		EXPECT_TRUE(got == data);
		close(readers[forwarded]);
	}
	EXPECT_EQ(forwarder.after_banner(), "");
}

} // namespace
