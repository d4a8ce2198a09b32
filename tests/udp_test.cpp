// UDP forwarding end to end: datagrams whole both ways, replies to the
// client that sent last, and TCP pairs alongside.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "brennix.h"
#include "e2e_support.h"

namespace {

// Sends probes through the forwarder until the destination sees one;
// returns the port they came from (the forwarder's connected socket), or
// -1.  Probes that arrive late are read away.
int
wait_udp_path(int client, int port, int dest)
{
	std::string got;
	int from = -1;
	for (int i = 0; i < 100 && from == -1; i++) {
		send_datagram(client, port, "probe");
		if (!recv_datagram(dest, &got, 0.05, &from))
			from = -1;
	}
	while (recv_datagram(dest, &got, 0.1))
		;
	return from;
}

// A UDP socket connected to 127.0.0.2:port, a second address of the
// host; -1 if none could be made.
int
client_of_second_address(int port)
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	sockaddr_in second{};
	second.sin_family = AF_INET;
	second.sin_port = htons(static_cast<uint16_t>(port));
	second.sin_addr.s_addr = inet_addr("127.0.0.2");
	if (connect(fd, reinterpret_cast<sockaddr *>(&second),
	        sizeof(second)) == -1) {
		close(fd);
		return -1;
	}
	return fd;
}

// A tag and a number as one text, such as "q1".  (GCC 12 warns, wrongly,
// of an overlapping copy in "q" + std::to_string(1) when it optimises.)
std::string
numbered(const char *tag, int n)
{
	std::string text(tag);
	text += std::to_string(n);
	return text;
}

struct UdpTest : ::testing::Test {
	int dest = udp_bind();
	int client = udp_bind();
	int port = free_port();
	void TearDown() override
	{
		close(dest);
		close(client);
	}
};

TEST_F(UdpTest, RelaysAQueryAndItsReplyThroughTheConnectedSocket)
{
	Forwarder forwarder(rule(port, local_port(dest), "udp"));
	int relay = wait_udp_path(client, port, dest);
	ASSERT_NE(relay, -1);
	EXPECT_NE(relay, local_port(client));
	EXPECT_NE(relay, port);

	std::string got;
	int from;
	send_datagram(client, port, "query");
	ASSERT_TRUE(recv_datagram(dest, &got, 5, &from));
	EXPECT_EQ(got, "query");
	EXPECT_EQ(from, relay);
	send_datagram(dest, relay, "reply");
	ASSERT_TRUE(recv_datagram(client, &got, 5, &from));
	EXPECT_EQ(got, "reply");
	EXPECT_EQ(from, port);
	EXPECT_EQ(forwarder.after_banner(), "");
}

TEST_F(UdpTest, RepliesGoToTheClientThatSentLast)
{
	int other = udp_bind();
	Forwarder forwarder(rule(port, local_port(dest), "udp"));
	int relay = wait_udp_path(client, port, dest);
	ASSERT_NE(relay, -1);

	std::string got;
	for (int round = 0; round < 3; round++) {
		int sender = round % 2 ? other : client;
		int idle = round % 2 ? client : other;
		send_datagram(sender, port, numbered("q", round));
		ASSERT_TRUE(recv_datagram(dest, &got));
		send_datagram(dest, relay, numbered("r", round));
		ASSERT_TRUE(recv_datagram(sender, &got));
		EXPECT_EQ(got, numbered("r", round));
		EXPECT_FALSE(recv_datagram(idle, &got, 0.1));
	}
	close(other);
}

TEST_F(UdpTest, DeliversEveryDatagramQueuedWhileTheRelayWaits)
{
	Forwarder forwarder(rule(port, local_port(dest), "udp"));
	ASSERT_NE(wait_udp_path(client, port, dest), -1);
	kill(forwarder.pid, SIGSTOP);
	for (int i = 0; i < 10; i++)
		send_datagram(client, port, numbered("d", i));
	kill(forwarder.pid, SIGCONT);
	std::string got;
	for (int i = 0; i < 10; i++) {
		ASSERT_TRUE(recv_datagram(dest, &got)) << i;
		EXPECT_EQ(got, numbered("d", i));
	}
}

TEST_F(UdpTest, RelaysDatagramsOfEverySizeWhole)
{
	Forwarder forwarder(rule(port, local_port(dest), "udp"));
	int relay = wait_udp_path(client, port, dest);
	ASSERT_NE(relay, -1);
	for (size_t size : {0u, 1u, 2048u, 2049u, 65507u}) {
		SCOPED_TRACE(size);
		std::string data = random_bytes(size, unsigned(size)), got;
		send_datagram(client, port, data);
		ASSERT_TRUE(recv_datagram(dest, &got));
		EXPECT_TRUE(got == data) << got.size();
		send_datagram(dest, relay, data);
		ASSERT_TRUE(recv_datagram(client, &got));
		EXPECT_TRUE(got == data) << got.size();
	}
}

TEST_F(UdpTest, KeepsRelayingOnceASilentDestinationListens)
{
	int later = free_port();
	Forwarder forwarder(rule(port, later, "udp"));
	// Refusals from the missing destination end only the current drain.
	for (int i = 0; i < 20; i++) {
		send_datagram(client, port, "lost");
		usleep(5000);
	}
	EXPECT_TRUE(forwarder.alive());
	int now = udp_bind(later);
	EXPECT_NE(wait_udp_path(client, port, now), -1);
	close(now);
	EXPECT_TRUE(forwarder.alive());
}

TEST_F(UdpTest, SharesALocalPortNumberWithATcpRuleAndLeavesItsPairsAlone)
{
	EchoServer echo;
	Forwarder forwarder(rule(port, local_port(dest), "udp") +
	    rule(port, echo.port));
	int relay = wait_udp_path(client, port, dest);
	ASSERT_NE(relay, -1);
	int tcp = tcp_connect(port);
	ASSERT_NE(tcp, -1);

	std::atomic<bool> done{false};
	int received = 0;
	std::thread flood([&] {
		std::string got;
		for (int i = 0; !done && i < 2000; i++) {
			send_datagram(client, port, random_bytes(1000, 9));
			if (recv_datagram(dest, &got, 1))
				received++;
		}
	});
	const std::string data = random_bytes(2 << 20, 11);
	std::thread writer([&] { send_all(tcp, data); });
	std::string echoed = recv_n(tcp, data.size(), 60);
	writer.join();
	done = true;
	flood.join();
	EXPECT_TRUE(echoed == data);
	EXPECT_GT(received, 0);
	close(tcp);
}

TEST_F(UdpTest, RepliesLeaveFromTheAddressTheClientSentTo)
{
	Forwarder forwarder(rule(port, local_port(dest), "udp"));
	int relay = wait_udp_path(client, port, dest);
	ASSERT_NE(relay, -1);

	// A connected client, like most resolvers, takes replies only from
	// the address it sent to: here a second address of the host.
	int connected = client_of_second_address(port);
	ASSERT_NE(connected, -1);
	std::string got;
	for (const char *query : {"one", "two"}) {
		ASSERT_EQ(send(connected, query, 3, 0), 3);
		ASSERT_TRUE(recv_datagram(dest, &got));
		send_datagram(dest, relay, std::string("re:") + query);
		ASSERT_TRUE(recv_datagram(connected, &got)) << query;
		EXPECT_EQ(got, std::string("re:") + query);
	}
	// And a client of the first address still hears from that one.
	send_datagram(client, port, "three");
	ASSERT_TRUE(recv_datagram(dest, &got));
	send_datagram(dest, relay, "re:three");
	sockaddr_in from{};
	socklen_t len = sizeof(from);
	char buf[16];
	ASSERT_EQ(recvfrom(client, buf, sizeof(buf), 0,
	              reinterpret_cast<sockaddr *>(&from), &len),
	    8);
	EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
	close(connected);
}

TEST_F(UdpTest, APortInUseIsNeitherSharedNorTaken)
{
	Forwarder forwarder(rule(port, local_port(dest), "udp"));
	ASSERT_NE(wait_udp_path(client, port, dest), -1);
	// Another socket that asks to share the port is refused.
	for (in_addr_t host : {INADDR_ANY, INADDR_LOOPBACK}) {
		int thief = socket(AF_INET, SOCK_DGRAM, 0);
		int on = 1;
		setsockopt(thief, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
		sockaddr_in addr{};
		addr.sin_family = AF_INET;
		addr.sin_port = htons(static_cast<uint16_t>(port));
		addr.sin_addr.s_addr = htonl(host);
		EXPECT_EQ(bind(thief, reinterpret_cast<sockaddr *>(&addr),
		              sizeof(addr)),
		    -1);
		close(thief);
	}
	// A second forwarder on the same port stops, and so does a rules
	// file that names one UDP port twice.
	Forwarder second(rule(port, local_port(dest), "udp"));
	EXPECT_EQ(second.wait_exit(10), 1);
	EXPECT_EQ(second.after_banner(), "bind: Address already in use\n");
	int other = free_port();
	Forwarder twice(rule(other, local_port(dest), "udp") +
	    rule(other, local_port(dest), "udp"));
	EXPECT_EQ(twice.wait_exit(10), 1);
	EXPECT_EQ(twice.after_banner(), "bind: Address already in use\n");
	EXPECT_TRUE(forwarder.alive());
}

// A socket with room for every datagram a test queues up.
void
make_room(int fd)
{
	int size = 4 << 20;
	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)))
		setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

TEST_F(UdpTest, DatagramsQueuedBothWaysWhileStoppedArriveWholeAndInOrder)
{
	// 70 datagrams, more than a pass moves, the first 20 of every size,
	// queue up toward the stopped forwarder from a client of 127.0.0.2;
	// then as many replies.
	Forwarder forwarder(rule(port, local_port(dest), "udp"));
	int relay = wait_udp_path(client, port, dest);
	ASSERT_NE(relay, -1);
	int connected = client_of_second_address(port);
	ASSERT_NE(connected, -1);
	make_room(connected);
	make_room(dest);
	const size_t sizes[] = {0, 1, 2048, 2049, 65507, 100, 200, 300, 400,
	    500};
	std::vector<std::string> data;
	for (unsigned i = 0; i < 70; i++)
		data.push_back(random_bytes(i < 20 ? sizes[i % 10] : 100 + i,
		    i));

	kill(forwarder.pid, SIGSTOP);
	for (auto &d : data)
		ASSERT_EQ(send(connected, d.data(), d.size(), 0),
		    static_cast<ssize_t>(d.size()));
	kill(forwarder.pid, SIGCONT);
	std::string got;
	int from;
	for (size_t i = 0; i < data.size(); i++) {
		ASSERT_TRUE(recv_datagram(dest, &got, 5, &from)) << i;
		EXPECT_TRUE(got == data[i]) << i << ": " << got.size();
		EXPECT_EQ(from, relay);
	}

	// The connected client takes datagrams from 127.0.0.2:port only.
	kill(forwarder.pid, SIGSTOP);
	for (auto &d : data)
		send_datagram(dest, relay, d);
	kill(forwarder.pid, SIGCONT);
	for (size_t i = 0; i < data.size(); i++) {
		ASSERT_TRUE(recv_datagram(connected, &got, 5)) << i;
		EXPECT_TRUE(got == data[i]) << i << ": " << got.size();
	}
	close(connected);
	EXPECT_EQ(forwarder.after_banner(), "");
}

TEST_F(UdpTest, BothSocketsOfARuleAskForAQueueThatHoldsBursts)
{
	// The kernel gives twice what is asked, up to net.core.rmem_max.
	Forwarder forwarder(rule(port, local_port(dest), "udp"));
	ASSERT_NE(wait_udp_path(client, port, dest), -1);
	int rmem_max = std::stoi(read_file("/proc/sys/net/core/rmem_max"));
	int udp_sockets = 0;
	for (int fd = 3; fd < SELECT_LIMIT; fd++) {
		int copy = copy_fd(forwarder.pid, fd);
		if (copy == -1)
			continue;
		if (int_option(copy, SOL_SOCKET, SO_TYPE) == SOCK_DGRAM) {
			SCOPED_TRACE(fd);
			udp_sockets++;
			EXPECT_EQ(int_option(copy, SOL_SOCKET, SO_RCVBUF),
			    2 * std::min(UDP_RCVBUF, rmem_max));
		}
		close(copy);
	}
	EXPECT_EQ(udp_sockets, 2);
}

// Puts process or thread pid (0: the calling thread) on one CPU, where
// the machine has two or more.
void
pin(pid_t pid, size_t cpu)
{
	cpu_set_t set;
	CPU_ZERO(&set);
	CPU_SET(cpu, &set);
	if (sysconf(_SC_NPROCESSORS_ONLN) >= 2)
		sched_setaffinity(pid, sizeof(set), &set);
}

// Sends datagrams of size bytes to port from four sockets, 64 at a time,
// as fast as they go while on is set, until stop is, from the first CPU.
void
flood(int port, const std::atomic<bool> &on, const std::atomic<bool> &stop,
    size_t size)
{
	pin(0, 0);
	std::string datagram(size, 'd');
	iovec iov{datagram.data(), datagram.size()};
	std::vector<mmsghdr> burst(64);
	for (auto &m : burst) {
		m.msg_hdr.msg_iov = &iov;
		m.msg_hdr.msg_iovlen = 1;
	}
	std::vector<int> fds;
	for (int i = 0; i < 4; i++)
		fds.push_back(udp_bind());
	for (size_t i = 0; !stop; i++) {
		if (!on) {
			usleep(1000);
			continue;
		}
		sockaddr_in to{};
		to.sin_family = AF_INET;
		to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		to.sin_port = htons(static_cast<uint16_t>(port));
		for (auto &m : burst) {
			m.msg_hdr.msg_name = &to;
			m.msg_hdr.msg_namelen = sizeof(to);
		}
		sendmmsg(fds[i % fds.size()], burst.data(), 64, 0);
	}
	for (int fd : fds)
		close(fd);
}

TEST_F(UdpTest, AFloodOnOneRuleLeavesEveryOtherRuleServed)
{
	// The flooded rule's destination never reads; a TCP rule echoes,
	// and a second UDP rule answers queries.
	EchoServer echo;
	UdpEcho answerer;
	int tcp_port = free_port(), query_port = free_port();
	Forwarder forwarder(rule(port, local_port(dest), "udp") +
	    rule(tcp_port, echo.port) + rule(query_port, answerer.port, "udp"));
	std::atomic<bool> stop{false}, on{false};
	int user = tcp_connect(tcp_port);
	ASSERT_TRUE(pings(user));
	pin(forwarder.pid, 1); // apart from the flood, as bench/run has it
	// Round trips on the TCP rule and queries on the second UDP rule for
	// the time given, as a rate of round trips a second.
	int queries = 0, answered = 0;
	auto exchange = [&](double seconds) {
		int trips = 0;
		for (auto deadline = deadline_in(seconds);
		     Clock::now() < deadline;) {
			if (pings(user))
				trips++;
			std::string query = std::to_string(++queries), got;
			send_datagram(client, query_port, query);
			// A late answer to an earlier query does not count.
			while (recv_datagram(client, &got, 0.2) && got != query)
				;
			if (got == query)
				answered++;
		}
		return trips / seconds;
	};
	// Calm and flooded in turns, so that what else the machine does
	// weighs on both alike.
	std::thread flooding[2];
	for (auto &t : flooding)
		t = std::thread(flood, port, std::cref(on), std::cref(stop),
		    64);
	double calm = 0, flooded = 0;
	for (int round = 0; round < 4; round++) {
		calm += exchange(0.5);
		on = true;
		usleep(100000);
		flooded += exchange(0.5);
		on = false;
		usleep(100000);
	}
	stop = true;
	for (auto &t : flooding)
		t.join();
	close(user);
	// Served is the point, not how fast: b2fd146 kept 14 % of its calm
	// rate here at best, this forwarder over 40 %.
	EXPECT_GE(flooded, calm / 4) << calm << " calm";
	EXPECT_GE(answered, queries * 9 / 10) << queries << " queries";
}

// How many of n queries to port come back within 200 ms, one every 20 ms.
int
answered(int client, int port, int n)
{
	int answers = 0;
	for (int i = 0; i < n; i++) {
		std::string query = numbered("query ", i), got;
		send_datagram(client, port, query);
		while (recv_datagram(client, &got, 0.2) && got != query)
			;
		answers += got == query;
		usleep(20000);
	}
	return answers;
}

TEST_F(UdpTest, AFloodThatFillsItsSocketHoldsUpOnlyItsOwnRule)
{
	// Rule A forwards to a sink behind a 1 Mbit/s link and is flooded
	// with 1400-byte datagrams, so that the forwarder's socket toward
	// the sink stays full, and a pass's batches are more than it takes
	// when it has room.  Rule B, queried meanwhile, answers as its echo
	// server does directly, whichever rule comes first in the file.
	Namespaces ns;
	if (ns.far_ns == -1)
		GTEST_SKIP() << "no network namespaces with veth links here";
	ASSERT_TRUE(run("tc qdisc add dev bxn1 root tbf rate 1mbit burst 2k "
	                "latency 10s"));
	int sink = -1;
	ns.far([&] {
		sink = socket(AF_INET, SOCK_DGRAM, 0);
		sockaddr_in far{};
		far.sin_family = AF_INET;
		far.sin_addr.s_addr = inet_addr("10.77.1.2");
		bind(sink, reinterpret_cast<sockaddr *>(&far), sizeof(far));
	});
	UdpEcho echo;
	int near_client = udp_bind();
	std::atomic<bool> on{false};
	int direct = answered(near_client, echo.port, 50);
	for (bool a_first : {true, false}) {
		SCOPED_TRACE(a_first ? "A first" : "B first");
		int a = free_port(), b = free_port();
		std::string rule_a =
		                rule(a, local_port(sink), "udp", "10.77.1.2"),
		            rule_b = rule(b, echo.port, "udp");
		Forwarder forwarder(a_first ? rule_a + rule_b
		                            : rule_b + rule_a);
		ASSERT_GT(answered(near_client, b, 5), 0);
		pin(forwarder.pid, 1);
		std::atomic<bool> flooded{false};
		std::thread flooding(flood, a, std::cref(on),
		    std::cref(flooded), 1400);
		on = true;
		usleep(300000);
		int served = answered(near_client, b, 100);
		flooded = true;
		flooding.join();
		EXPECT_GE(served, 90) << direct << " of 50 directly";
	}
	close(sink);
	close(near_client);
}

} // namespace
