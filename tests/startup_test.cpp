// Start-up of the real binary: the rules file, the banner, the sockets.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

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

} // namespace
