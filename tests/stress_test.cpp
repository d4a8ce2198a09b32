// The forwarder under load and abuse: many streams at once, faults in the
// middle of them, churn, and running out of descriptors.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

std::string
rule(int local, int remote, const char *proto = "tcp")
{
	return std::to_string(local) + " 127.0.0.1 " + std::to_string(remote) +
	    " " + proto + "\n";
}

bool
pings(int fd)
{
	return fd != -1 && send_all(fd, "ping", 5) &&
	    recv_n(fd, 4, 5) == "ping";
}

TEST(StressTest, RunningOutOfDescriptorsNeitherSpinsNorHangs)
{
	EchoServer echo;
	// The spare descriptor changes how many are left for pairs; one of
	// the two limits leaves an accept with none at all.
	for (int limit : {40, 41}) {
		SCOPED_TRACE(limit);
		int a = free_port(SOCK_STREAM), b = free_port(SOCK_STREAM);
		int u = free_port(SOCK_DGRAM);
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
