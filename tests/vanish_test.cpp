// Peers that vanish without a word, end to end across veth links.  The
// test leaves the machine's network namespace for one of its own (near:
// the forwarder and the destinations) and makes a far one for the peers,
// joined by link N = 10.77.N.0/24, near .1 and far .2.  A far end set down
// is a host that vanished.  Run by tests/run in the plain build only.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

bool
run(const std::string &command)
{
	return system(command.c_str()) == 0;
}

std::string
near_ip(int link)
{
	return "10.77." + std::to_string(link) + ".1";
}

// The test process in a network namespace of its own, and a far one
// joined to it by three links.
struct Namespaces {
	Namespaces()
	{
		if (unshare(CLONE_NEWNET) == -1)
			return;
		near_ns = open("/proc/thread-self/ns/net", O_RDONLY);
		std::string cmd = "ip link set lo up && ip netns add " + name +
		    " && ip -n " + name + " link set lo up";
		for (int n = 1; n <= 3; n++) {
			std::string l = std::to_string(n), net = "10.77." + l;
			cmd += " && ip link add bxn" + l +
			    " type veth peer name bxf" + l + " netns " + name +
			    " && ip addr add " + net + ".1/24 dev bxn" + l +
			    " && ip link set bxn" + l + " up && ip -n " + name +
			    " addr add " + net + ".2/24 dev bxf" + l +
			    " && ip -n " + name + " link set bxf" + l + " up";
		}
		if (run(cmd))
			far_ns = open(("/run/netns/" + name).c_str(), O_RDONLY);
	}
	~Namespaces()
	{
		if (far_ns != -1)
			run("ip netns del " + name);
		close(far_ns);
		close(near_ns);
	}
	Namespaces(const Namespaces &) = delete;
	Namespaces &operator=(const Namespaces &) = delete;

	// Runs make in the far namespace: the sockets it makes, and the
	// threads it starts, live there.
	template <typename F> void far(F make)
	{
		setns(far_ns, CLONE_NEWNET);
		make();
		setns(near_ns, CLONE_NEWNET);
	}
	// A connection from the far namespace to the forwarder, or to a
	// destination, on link's near address (tcp_connect's rcvbuf).
	int far_connect(int link, int port, int rcvbuf = 0)
	{
		int fd = -1;
		far([&] {
			fd = tcp_connect(port, 10, near_ip(link).c_str(),
			    rcvbuf);
		});
		return fd;
	}

	std::string name = "bx-far-" + std::to_string(getpid());
	int near_ns = -1, far_ns = -1;
};

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
// that vanished: each is let go within three minutes, with one line.  A
// reader paused for 75 s beside them, directly and through the
// forwarder, is alive and gets every byte.
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
	// Connected, the user's window shut.
	peers.keep(ns.far_connect(1, ports[0], 16 << 10));
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
	constexpr size_t CASES = 8;
	std::vector<double> let_go;
	for (auto deadline = deadline_in(200);
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
	EXPECT_LT(let_go.back(), 180);

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

} // namespace
