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

// Readers that take nothing for a while, as ssh or curl suspended with
// ^Z, or a terminal stopped with ^S: their kernels keep the window shut
// and answer every probe.  They are alive, and get every byte when they
// read again, also when the writer ended its stream meanwhile and left
// the tail to its kernel, and when the reader had ended its own stream
// first (as nc -N does at the end of its input).  Each case is run
// directly and through the forwarder at once.
TEST(SlowTest, PausedReadersGetEveryByteAsDirectly)
{
	const struct {
		const char *name;
		size_t size;
		int rcvbuf;
		int ends_after; // the reader ends its stream after this, or -1
		int pause;      // ... then reads after this, in seconds
	} cases[] = {
	    {"8 MiB, paused for 75 s", 8 << 20, 0, -1, 75},
	    {"96 KiB, ended its stream, paused for 100 s", 96 << 10, 16 << 10,
	        2, 100},
	};
	constexpr int CASES = sizeof(cases) / sizeof(cases[0]);
	std::string data[CASES];
	std::unique_ptr<PeerServer> destinations[CASES];
	std::string config;
	int ports[CASES];
	for (int c = 0; c < CASES; c++) {
		data[c] = random_bytes(cases[c].size, 31 + unsigned(c));
		destinations[c] =
		    std::make_unique<PeerServer>([&, c](int fd,
		                                     const std::atomic<bool>
		                                         &) {
			    send_all(fd, data[c], 150);
		    });
		ports[c] = free_port();
		config += rule(ports[c], destinations[c]->port);
	}
	Forwarder forwarder(config);
	std::string got[CASES][2];
	int end[CASES][2];
	std::vector<std::thread> readers;
	for (int c = 0; c < CASES; c++) {
		for (int forwarded = 0; forwarded < 2; forwarded++) {
			int fd = tcp_connect(forwarded ? ports[c]
			                               : destinations[c]->port,
			    10, "127.0.0.1", cases[c].rcvbuf);
			end[c][forwarded] = -2;
			readers.emplace_back([&, c, forwarded, fd] {
				if (cases[c].ends_after >= 0) {
					sleep(unsigned(cases[c].ends_after));
					shutdown(fd, SHUT_WR);
				}
				sleep(unsigned(cases[c].pause));
				end[c][forwarded] =
				    recv_to_end(fd, &got[c][forwarded], 60);
				close(fd);
			});
		}
	}
	for (auto &t : readers)
		t.join();
	for (int c = 0; c < CASES; c++) {
		for (int forwarded = 0; forwarded < 2; forwarded++) {
			SCOPED_TRACE(std::string(cases[c].name) +
			    (forwarded ? ", forwarded" : ", direct"));
			EXPECT_EQ(end[c][forwarded], 0);
			EXPECT_EQ(got[c][forwarded].size(), data[c].size());
			EXPECT_TRUE(got[c][forwarded] == data[c]);
		}
	}
	EXPECT_EQ(forwarder.after_banner(), "");
}

} // namespace
