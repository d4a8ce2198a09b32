// Start-up of the real binary: the rules file, the banner, the sockets.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "e2e_support.h"

namespace {

std::string
banner(int rules)
{
	return "brennix v0.6 - relays TCP and UDP ports, four words a rule\n"
	       "Max TCP connections: 30\n"
	       "Ports forwarded: " +
	    std::to_string(rules) + "\n";
}

TEST(StartupTest, StopsBeforeTheBannerWithoutUsableRules)
{
	Forwarder missing(std::nullopt);
	EXPECT_EQ(missing.wait_exit(10), 1);
	EXPECT_EQ(missing.err(), "brennix: can't open config file\n\n");

	Forwarder none("# only a comment\n\n   \n# 1 127.0.0.1 2 tcp\n");
	EXPECT_EQ(none.wait_exit(10), 1);
	EXPECT_EQ(none.err(),
	    "brennix: No forwardable ports defined in the config file\n");
	EXPECT_EQ(none.out(), "");
}

TEST(StartupTest, PrintsTheBannerAndNothingElse)
{
	int a = free_port(), b = free_port();
	int silent = free_port();
	Forwarder forwarder(rule(a, 9, "tcp") + "# comment\n" +
	    rule(b, silent, "UDP"));
	int fd = tcp_connect(a);
	ASSERT_NE(fd, -1);
	close(fd);
	// A UDP rule whose destination does not listen still starts.
	EXPECT_TRUE(forwarder.alive());
	EXPECT_EQ(forwarder.err(), banner(2));
	EXPECT_EQ(forwarder.out(), "");
}

TEST(StartupTest, ReportsAPortInUseAfterTheBanner)
{
	int busy = tcp_listen();
	Forwarder forwarder(rule(free_port(), 9, "tcp") +
	    rule(local_port(busy), 9, "tcp"));
	EXPECT_EQ(forwarder.wait_exit(10), 1);
	EXPECT_EQ(forwarder.err(),
	    banner(2) + "bind: Address already in use\n");
	close(busy);
}

TEST(StartupTest, ReportsAUdpDestinationThatCannotBeConnected)
{
	Forwarder forwarder(rule(free_port(), 9, "udp", "255.255.255.255"));
	EXPECT_EQ(forwarder.wait_exit(10), 1);
	EXPECT_EQ(forwarder.err().rfind(banner(1) + "connect: ", 0), 0u)
	    << forwarder.err();
}

TEST(StartupTest, ErrorLinesNeverReachAStreamNorEndTheProcess)
{
	using Streams = Forwarder::Streams;
	for (Streams streams : {Streams::CLOSED, Streams::BROKEN_PIPE}) {
		SCOPED_TRACE(static_cast<int>(streams));
		// The destination echoes and keeps what each connection sent.
		std::mutex lock;
		std::vector<std::string> received;
		PeerServer destination([&](int fd, const std::atomic<bool> &) {
			std::string got;
			char buf[4096];
			ssize_t n;
			while ((n = read(fd, buf, sizeof(buf))) > 0) {
				got.append(buf, static_cast<size_t>(n));
				if (write(fd, buf, static_cast<size_t>(n)) != n)
					break;
			}
			std::lock_guard<std::mutex> g(lock);
			received.push_back(got);
		});
		int port = free_port();
		Forwarder forwarder(rule(port, destination.port), 0, streams);

		// A user that resets makes the forwarder write an error line.
		int user = tcp_connect(port);
		ASSERT_TRUE(send_all(user, "hello"));
		ASSERT_EQ(recv_n(user, 5), "hello");
		close_with_reset(user);
		auto deadline = deadline_in(10);
		for (;; usleep(10000)) {
			std::lock_guard<std::mutex> g(lock);
			if (!received.empty() || Clock::now() > deadline)
				break;
		}
		{
			std::lock_guard<std::mutex> g(lock);
			ASSERT_EQ(received.size(), 1u);
			EXPECT_EQ(received[0], "hello");
		}
		EXPECT_TRUE(forwarder.alive());
		int again = tcp_connect(port);
		EXPECT_TRUE(pings(again));
		close(again);
	}
}

TEST(StartupTest, StopsBeforeBindingWhenTheDescriptorLimitIsTooLow)
{
	// A TCP rule takes a descriptor and a UDP rule two; the standard
	// streams, the one held in reserve and one pair take five more.
	// Below 7, the rules file cannot even be read.
	EchoServer echo;
	int a = free_port(), b = free_port();
	const std::string rules = rule(a, echo.port) + rule(b, 9, "udp");
	for (auto [limit, needed] : {std::pair{4, 7}, {6, 7}, {8, 9}}) {
		Forwarder forwarder(rules, limit);
		EXPECT_EQ(forwarder.wait_exit(10), 1);
		// (A sanitizer's leak check may add lines: it runs short too.)
		EXPECT_EQ(forwarder.err().rfind("brennix: descriptor limit " +
		                  std::to_string(limit) +
		                  " is too low: " + std::to_string(needed) +
		                  " needed (ulimit -n)\n",
		              0),
		    0u)
		    << forwarder.err();
	}
	Forwarder forwarder(rules, 9);
	int user = tcp_connect(a);
	EXPECT_TRUE(pings(user));
	close(user);
}

} // namespace
