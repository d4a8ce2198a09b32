// Tests that take minutes, because the kernel's clocks they depend on do:
// run by tests/run in the plain build only.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "e2e_support.h"

namespace {

// A reader that takes nothing for 75 seconds, as ssh or curl suspended
// with ^Z, or a terminal stopped with ^S, keeps its window shut while its
// kernel answers every probe: it is alive, and must get every byte when it
// reads again.  Run directly and through the forwarder at once.
TEST(SlowTest, AReaderPausedForSeventyFiveSecondsGetsEveryByte)
{
	const std::string data = random_bytes(8 << 20, 31);
	PeerServer destination([&](int fd, const std::atomic<bool> &) {
		send_all(fd, data, 150);
	});
	int port = free_port();
	Forwarder forwarder(rule(port, destination.port));
	std::string got[2];
	int end[2] = {-2, -2};
	std::thread readers[2];
	for (int forwarded = 0; forwarded < 2; forwarded++) {
		int fd = tcp_connect(forwarded ? port : destination.port);
		readers[forwarded] = std::thread([&, forwarded, fd] {
			sleep(75);
			end[forwarded] = recv_to_end(fd, &got[forwarded], 60);
			close(fd);
		});
	}
	for (int forwarded = 0; forwarded < 2; forwarded++) {
		SCOPED_TRACE(forwarded ? "forwarded" : "direct");
		readers[forwarded].join();
		EXPECT_EQ(end[forwarded], 0);
		EXPECT_EQ(got[forwarded].size(), data.size());
		EXPECT_TRUE(got[forwarded] == data);
	}
	EXPECT_EQ(forwarder.after_banner(), "");
}

} // namespace
