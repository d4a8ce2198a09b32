// TCP forwarding end to end: integrity, the slot limit, closes, resets and
// failed connects, through the real binary over loopback.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <errno.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

TEST(TcpTest, RelaysMegabytesBothWaysOnSeveralRulesAtOnce)
{
	EchoServer echo1, echo2;
	int p1 = free_port(), p2 = free_port();
	Forwarder forwarder(rule(p1, echo1.port) + rule(p2, echo2.port));

	std::vector<std::thread> clients;
	bool ok[4] = {};
	for (int i = 0; i < 4; i++) {
		clients.emplace_back([&, i] {
			int fd = tcp_connect(i % 2 ? p2 : p1);
			ok[i] = fd != -1 &&
			    echo_intact(fd,
			        random_bytes(3 << 20, 7u + unsigned(i)));
			close(fd);
		});
	}
	for (auto &t : clients)
		t.join();
	for (int i = 0; i < 4; i++)
		EXPECT_TRUE(ok[i]) << "connection " << i;
	EXPECT_TRUE(forwarder.alive());
	EXPECT_EQ(forwarder.after_banner(), "");
}

TEST(TcpTest, ThirtyConnectionsAtOnceAndTheThirtyFirstIsClosed)
{
	EchoServer echo;
	int port = free_port();
	Forwarder forwarder(rule(port, echo.port));

	std::vector<int> fds;
	for (int i = 0; i < 30; i++) {
		fds.push_back(tcp_connect(port));
		ASSERT_TRUE(pings(fds.back())) << "connection " << i;
	}
	int extra = tcp_connect(port);
	ASSERT_NE(extra, -1);
	std::string got;
	EXPECT_EQ(recv_to_end(extra, &got, 10), ECONNRESET);
	close(extra);
	for (int fd : fds)
		EXPECT_TRUE(pings(fd));

	// A freed slot serves the next connection.
	close(fds[5]);
	int again = -1;
	for (int tries = 0; tries < 50 && again == -1; tries++) {
		again = tcp_connect(port);
		if (!pings(again)) {
			close(again);
			again = -1;
			usleep(20000);
		}
	}
	EXPECT_NE(again, -1);
	close(again);
	for (int i = 0; i < 30; i++) {
		if (i != 5)
			close(fds[static_cast<size_t>(i)]);
	}
	EXPECT_EQ(forwarder.after_banner(), "");
}

TEST(TcpTest, ClosesTheUserWhenTheDestinationIsNotListening)
{
	int port = free_port();
	Forwarder forwarder(rule(port, free_port()));
	for (int i = 0; i < 3; i++) {
		int fd = tcp_connect(port);
		ASSERT_NE(fd, -1);
		std::string got;
		EXPECT_EQ(recv_to_end(fd, &got, 10), ECONNRESET);
		close(fd);
	}
	EXPECT_TRUE(forwarder.alive());
	EXPECT_EQ(forwarder.after_banner(), "");
}

TEST(TcpTest, ClosesOnlyThePairWhoseConnectFailsAtOnce)
{
	EchoServer echo;
	int bad = free_port(), good = free_port();
	Forwarder forwarder(rule(bad, 9, "tcp", "255.255.255.255") +
	    rule(good, echo.port));
	int fd = tcp_connect(bad);
	ASSERT_NE(fd, -1);
	EXPECT_TRUE(closed_by_peer(fd));
	close(fd);
	fd = tcp_connect(good);
	EXPECT_TRUE(pings(fd));
	close(fd);
	EXPECT_TRUE(forwarder.alive());
	EXPECT_EQ(forwarder.after_banner().rfind("connect: ", 0), 0u);
}

TEST(TcpTest, ALargeReplyAndCloseAllReachASlowClient)
{
	const std::string reply = random_bytes(1 << 20, 3);
	int listen_fd = tcp_listen();
	std::thread destination([&] {
		int fd = accept(listen_fd, nullptr, nullptr);
		recv_n(fd, 4);
		send_all(fd, reply);
		close(fd);
	});
	int port = free_port();
	Forwarder forwarder(rule(port, local_port(listen_fd)));
	int fd = tcp_connect(port);
	ASSERT_TRUE(send_all(fd, "GET\n"));
	std::string got;
	bool eof = false;
	while (!eof && got.size() <= reply.size()) {
		std::string piece = recv_n(fd, 16384, 20);
		eof = piece.size() < 16384;
		got += piece;
		usleep(1000);
	}
	destination.join();
	EXPECT_EQ(got.size(), reply.size());
	EXPECT_TRUE(got == reply);
	close(fd);
	close(listen_fd);
	EXPECT_EQ(forwarder.after_banner(), "");
}

TEST(TcpTest, SurvivesUsersAndDestinationsThatVanishMidTransfer)
{
	EchoServer echo;
	int streamer = tcp_listen(), resetter = tcp_listen();
	std::atomic<bool> done{false};
	// One destination streams until its user is gone, one resets after a
	// first read.
	std::thread stream_thread([&] {
		int fd = accept(streamer, nullptr, nullptr);
		std::string chunk = random_bytes(65536, 1);
		while (!done && send_all(fd, chunk, 5))
			;
		close(fd);
	});
	std::thread reset_thread([&] {
		int fd = accept(resetter, nullptr, nullptr);
		recv_n(fd, 1000);
		close_with_reset(fd);
	});
	int p_echo = free_port(), p_stream = free_port(), p_reset = free_port();
	Forwarder forwarder(rule(p_echo, echo.port) +
	    rule(p_stream, local_port(streamer)) +
	    rule(p_reset, local_port(resetter)));

	int bystander = tcp_connect(p_echo);
	ASSERT_TRUE(pings(bystander));

	int user = tcp_connect(p_stream);
	EXPECT_EQ(recv_n(user, 200000).size(), 200000u);
	close_with_reset(user);

	int victim = tcp_connect(p_echo);
	ASSERT_TRUE(pings(victim));
	std::thread victim_writer([&] {
		send_all(victim, random_bytes(1 << 20, 2), 5);
	});
	usleep(20000);
	victim_writer.join();
	close_with_reset(victim);

	int doomed = tcp_connect(p_reset);
	send_all(doomed, random_bytes(1 << 20, 4), 5);
	EXPECT_TRUE(closed_by_peer(doomed));
	close(doomed);
	reset_thread.join();
	done = true;
	stream_thread.join();

	EXPECT_TRUE(echo_intact(bystander, random_bytes(1 << 20, 5)));
	close(bystander);
	EXPECT_TRUE(forwarder.alive());
	// Nothing but a line for each pair that failed.
	expect_only_pair_failures(forwarder);
	close(streamer);
	close(resetter);
}

TEST(TcpTest, TenRulesServeAllThirtySlotsRoundAfterRound)
{
	EchoServer echo;
	std::string config;
	std::vector<int> ports;
	for (int i = 0; i < 10; i++) {
		ports.push_back(free_port());
		config += rule(ports.back(), echo.port);
	}
	Forwarder forwarder(config);
	int fd = tcp_connect(ports[0]);
	ASSERT_TRUE(pings(fd));
	close(fd);
	usleep(100000);
	int idle_fds = open_fds(forwarder.pid);
	for (int round = 0; round < 2; round++) {
		std::vector<int> fds;
		int served = 0;
		for (int i = 0; i < 30; i++) {
			fd = tcp_connect(ports[static_cast<size_t>(i % 10)]);
			ASSERT_NE(fd, -1);
			served += pings(fd);
			fds.push_back(fd);
		}
		EXPECT_EQ(served, 30);
		for (int user : fds)
			close(user);
		// Every slot is free again once the forwarder holds no
		// more descriptors than before.
		for (auto deadline = deadline_in(5);
		     open_fds(forwarder.pid) > idle_fds &&
		     Clock::now() < deadline;
		     usleep(10000))
			;
		EXPECT_EQ(open_fds(forwarder.pid), idle_fds);
	}
	EXPECT_TRUE(forwarder.alive());
	EXPECT_EQ(forwarder.after_banner(), "");
}

} // namespace
