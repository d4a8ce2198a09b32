// The forwarder under load and abuse: many streams at once, faults in the
// middle of them, churn, and running out of descriptors.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

// Connects, checks the echo and closes; true when the echo came back.
bool
short_connection(int port)
{
	int fd = tcp_connect(port);
	bool ok = pings(fd);
	close(fd);
	return ok;
}

template <typename Pred>
bool
wait_for(Pred pred, double seconds)
{
	auto deadline = deadline_in(seconds);
	while (!pred()) {
		if (Clock::now() > deadline)
			return false;
		usleep(10000);
	}
	return true;
}

// Connects 30 users at once, each first sending greeting; returns how
// many of them were served.
int
batch_of_thirty(int port, const std::string &greeting = "")
{
	std::vector<int> fds;
	int served = 0;
	for (int i = 0; i < 30; i++) {
		fds.push_back(tcp_connect(port));
		send_all(fds.back(), greeting, 5);
		served += pings(fds.back());
	}
	for (int fd : fds)
		close(fd);
	return served;
}

TEST(StressTest, ThirtyConnectionsMoveEightMegabytesEachWayIntact)
{
	EchoServer echo;
	int port = free_port();
	Forwarder forwarder(rule(port, echo.port));
	std::atomic<int> intact{0};
	std::vector<std::thread> users;
	for (unsigned i = 0; i < 30; i++) {
		users.emplace_back([&, i] {
			int fd = tcp_connect(port);
			intact +=
			    echo_intact(fd, random_bytes(8 << 20, 100 + i));
			close(fd);
		});
	}
	for (auto &t : users)
		t.join();
	EXPECT_EQ(intact, 30);
	EXPECT_EQ(echo.accepted, 30);
	EXPECT_TRUE(forwarder.alive());
	EXPECT_EQ(forwarder.after_banner(), "");
}

// A destination whose first byte from each user says how it behaves: 'E'
// echoes, 'R' resets after a first read, 'D' never reads until released,
// 'P' sends a reply of some 256 KiB and closes at once.
void
scripted_destination(int fd, const std::atomic<bool> &stopping,
    const std::atomic<bool> &release)
{
	std::string mode = recv_n(fd, 1, 10);
	if (mode == "E") {
		echo_handler(fd, stopping);
	} else if (mode == "R") {
		recv_n(fd, 100000, 0.2);
		set_linger_zero(fd);
	} else if (mode == "D") {
		while (!stopping && !release)
			usleep(10000);
		set_linger_zero(fd);
	} else if (mode == "P") {
		send_all(fd, random_bytes((256 << 10) + 1000, 6), 10);
	}
}

int
connect_as(int port, const char *mode)
{
	int fd = tcp_connect(port);
	send_all(fd, mode, 5);
	return fd;
}

TEST(StressTest, FaultsHurtOnlyTheirOwnPairsAndFreeTheirSlots)
{
	std::atomic<bool> release{false};
	PeerServer destination([&](int fd, const std::atomic<bool> &stopping) {
		scripted_destination(fd, stopping, release);
	});
	// One rule, so that all 30 slots fit below the select limit.
	int port = free_port();
	Forwarder forwarder(rule(port, destination.port));
	int first = connect_as(port, "E");
	ASSERT_TRUE(pings(first));
	close(first);

	std::atomic<int> intact{0};
	std::vector<std::thread> healthy;
	for (unsigned i = 0; i < 8; i++) {
		healthy.emplace_back([&, i] {
			int fd = connect_as(port, "E");
			intact +=
			    echo_intact(fd, random_bytes(4 << 20, 200 + i));
			close(fd);
		});
	}

	// A user that resets before its outbound connect has even started.
	kill(forwarder.pid, SIGSTOP);
	close_with_reset(connect_as(port, "E"));
	kill(forwarder.pid, SIGCONT);

	// Resets from the user mid-stream, with buffers full both ways.
	for (int i = 0; i < 2; i++) {
		int fd = connect_as(port, "E");
		send_all(fd, random_bytes(8 << 20, 7), 1);
		if (i == 1)
			recv_n(fd, 100000, 1);
		close_with_reset(fd);
	}
	// Resets from the destination, before and while data flows.
	for (size_t size : {0u, 50000u, 4u << 20}) {
		int fd = connect_as(port, "R");
		send_all(fd, random_bytes(size, 8), 2);
		EXPECT_TRUE(closed_by_peer(fd, 10));
		close(fd);
	}
	// A user that stops reading and a destination that never reads hold
	// their slots with full buffers.
	std::vector<int> held;
	for (const char *mode : {"E", "D"}) {
		int fd = connect_as(port, mode);
		send_all(fd, random_bytes(16 << 20, 9), 1);
		held.push_back(fd);
	}
	// Users that vanish while a closing destination's reply drains.
	for (int i = 0; i < 3; i++) {
		int fd = connect_as(port, "P");
		usleep(50000);
		recv_n(fd, 1000, 1);
		close_with_reset(fd);
	}

	for (auto &t : healthy)
		t.join();
	EXPECT_EQ(intact, 8);
	EXPECT_TRUE(forwarder.alive());
	for (int fd : held)
		close_with_reset(fd);
	// A pair whose destination never reads is only freed by the
	// destination: with its buffer full, nothing is read from the user.
	release = true;

	// Every slot is free again, once the closes have been seen.
	int served = 0;
	for (int i = 0; i < 20 && served != 30; i++) {
		usleep(100000);
		served = batch_of_thirty(port, "E");
	}
	EXPECT_EQ(served, 30);
	expect_only_pair_failures(forwarder);
}

TEST(StressTest, ChurnLeavesDescriptorsAndMemoryAsTheyWere)
{
	EchoServer echo;
	int port = free_port();
	Forwarder forwarder(rule(port, echo.port));
	// Touch every slot once, so that later use maps no new pages.
	ASSERT_EQ(batch_of_thirty(port), 30);
	// The slots free up as the forwarder sees the closes.
	ASSERT_TRUE(wait_for([&] { return short_connection(port); }, 5));
	int fds = -1;
	wait_for(
	    [&] {
		    int now = open_fds(forwarder.pid);
		    bool settled = now == fds;
		    fds = now;
		    usleep(50000);
		    return settled;
	    },
	    5);
	long rss = resident_kib(forwarder.pid);

	int in_a_row = 0;
	for (int i = 0; i < 2000; i++)
		in_a_row += short_connection(port);
	std::atomic<int> in_parallel{0};
	std::vector<std::thread> workers;
	for (int w = 0; w < 10; w++) {
		workers.emplace_back([&] {
			for (int i = 0; i < 150; i++)
				in_parallel += short_connection(port);
		});
	}
	for (auto &t : workers)
		t.join();
	EXPECT_EQ(in_a_row, 2000);
	EXPECT_EQ(in_parallel, 1500);

	EXPECT_TRUE(wait_for([&] { return open_fds(forwarder.pid) == fds; }, 5))
	    << open_fds(forwarder.pid) << " descriptors, " << fds << " before";
	EXPECT_LE(resident_kib(forwarder.pid), rss + 16)
	    << rss << " KiB before";
	EXPECT_EQ(forwarder.after_banner(), "");
}

TEST(StressTest, TenRulesKeepThirtyPairsAndTurnAwayTheThirtyFirstUnseen)
{
	// Eight TCP and two UDP rules, started clean, with 20 descriptors
	// inherited, and with 3 to 61 inherited: every time all 30 slots
	// serve, and the destination never hears of a user turned away.
	for (int inherited : {0, 20, 59}) {
		SCOPED_TRACE(inherited);
		EchoServer echo;
		UdpEcho dest;
		std::string config;
		std::vector<int> tcp_ports, udp_ports;
		for (int i = 0; i < 10; i++) {
			if (i % 5 == 1) {
				udp_ports.push_back(free_port());
				config +=
				    rule(udp_ports.back(), dest.port, "udp");
			} else {
				tcp_ports.push_back(free_port());
				config += rule(tcp_ports.back(), echo.port);
			}
		}
		Forwarder forwarder(config, 0, Forwarder::Streams::FILES,
		    inherited);

		std::vector<int> users;
		size_t served = 0;
		for (size_t i = 0; i < 30; i++) {
			users.push_back(tcp_connect(tcp_ports[i %
			    tcp_ports.size()]));
			served += pings(users.back());
		}
		EXPECT_EQ(served, 30u);
		EXPECT_EQ(echo.accepted, 30);
		int extra = tcp_connect(tcp_ports[3]);
		EXPECT_TRUE(closed_by_peer(extra, 5));
		close(extra);
		usleep(200000);
		EXPECT_EQ(echo.accepted, 30);

		int client = udp_bind();
		for (int port : udp_ports) {
			std::string got;
			std::string query = "query " + std::to_string(port);
			send_datagram(client, port, query);
			EXPECT_TRUE(recv_datagram(client, &got));
			EXPECT_EQ(got, query);
		}
		for (int fd : users) {
			EXPECT_TRUE(pings(fd));
			close(fd);
		}
		close(client);
		EXPECT_TRUE(forwarder.alive());
		EXPECT_EQ(forwarder.after_banner(), "");
	}
}

TEST(StressTest, RunningOutOfDescriptorsNeitherSpinsNorHangs)
{
	EchoServer echo;
	// The spare descriptor changes how many are left for pairs; one of
	// the two limits leaves an accept with none at all.
	for (int limit : {40, 41}) {
		SCOPED_TRACE(limit);
		int a = free_port(), b = free_port();
		int u = free_port();
		Forwarder forwarder(rule(a, echo.port) + rule(b, echo.port) +
		        rule(u, echo.port, "udp"),
		    limit);
		std::vector<int> pairs;
		int fd;
		while (pairs.size() < 30 && pings(fd = tcp_connect(a)))
			pairs.push_back(fd);
		close(fd);
		ASSERT_GE(pairs.size(), 10u);
		ASSERT_LT(pairs.size(), 30u);

		for (int i = 0; i < 3; i++) {
			fd = tcp_connect(i % 2 ? a : b);
			EXPECT_TRUE(closed_by_peer(fd, 5));
			close(fd);
		}
		double before = cpu_seconds(forwarder.pid);
		usleep(500000);
		EXPECT_LT(cpu_seconds(forwarder.pid) - before, 0.2);

		close(pairs.back());
		pairs.pop_back();
		bool served = false;
		for (int i = 0; i < 50 && !served; i++) {
			served = pings(fd = tcp_connect(b));
			close(fd);
		}
		EXPECT_TRUE(served);
		for (int p : pairs)
			close(p);
		EXPECT_TRUE(forwarder.alive());
	}
}

} // namespace
