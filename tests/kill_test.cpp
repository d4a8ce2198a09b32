// The forwarder stopped or killed while a pair is in each state of its
// life, and restarted at once.  What each peer reads to its end: a stream
// that the forwarder had handed over whole, its end included, completes
// from the kernel; every other ends in a reset, so that nobody takes a
// cut-off stream for a complete one.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "e2e_support.h"

namespace {

const std::string BIG = random_bytes(8 << 20, 51);
const std::string SMALL = random_bytes(200 << 10, 52);

// What the peers do before the kill, in a thread of their own.
void
download(Link &p, const std::atomic<bool> &stop)
{
	while (!stop && send_all(p.dest, SMALL, 1))
		;
}

enum { USER = 1, DEST = 2 };

TEST(KillTest, EveryStreamNotHandedOverWholeEndsInAReset)
{
	const struct {
		const char *state;
		int signal;
		void (*act)(Link &, const std::atomic<bool> &); // before it
		bool pending;  // the connect to the destination stays pending
		int readers;   // who reads to the end
		bool paused;   // ... only once the forwarder is gone
		bool complete; // the user gets SMALL whole, then its end
	} rows[] = {
	    {"a download streaming", SIGKILL, download, false, USER, false,
	        false},
	    {"a download streaming, stopped", SIGTERM, download, false, USER,
	        false, false},
	    {"an upload streaming", SIGKILL,
	        [](Link &p, const std::atomic<bool> &stop) {
		        while (!stop && send_all(p.user, SMALL, 1))
			        ;
	        },
	        false, DEST, false, false},
	    {"8 MiB ended in order, the user paused", SIGKILL,
	        [](Link &p, const std::atomic<bool> &) {
		        send_all(p.dest, BIG, 5);
		        shutdown(p.dest, SHUT_WR);
	        },
	        false, USER, true, false},
	    {"200 KiB then a reset, the user paused", SIGKILL,
	        [](Link &p, const std::atomic<bool> &) {
		        send_all(p.dest, SMALL, 5);
		        wait_acknowledged(p.dest, 5);
		        close_with_reset(p.dest);
		        p.dest = -1;
	        },
	        false, USER, true, false},
	    {"a connect pending, 1000 bytes sent", SIGKILL,
	        [](Link &p, const std::atomic<bool> &) {
		        send_all(p.user, std::string(1000, 'u'), 5);
	        },
	        true, USER, false, false},
	    {"an idle pair", SIGKILL, [](Link &, const std::atomic<bool> &) {},
	        false, USER | DEST, false, false},
	    {"200 KiB ended in order, all handed over", SIGKILL,
	        [](Link &p, const std::atomic<bool> &) {
		        send_all(p.dest, SMALL, 5);
		        shutdown(p.dest, SHUT_WR);
	        },
	        false, USER, true, true},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.state);
		Link p(true, row.pending);
		ASSERT_NE(p.user, -1);
		std::atomic<bool> stop{false}, killed{false};
		std::thread peers(row.act, std::ref(p), std::cref(stop));
		int end[2] = {-2, -2};
		std::string got[2];
		std::thread readers[2];
		for (int r = 0; r < 2; r++) {
			if (!(row.readers & (r == 0 ? USER : DEST)))
				continue;
			int fd = r == 0 ? p.user : p.dest;
			readers[r] = std::thread([&, r, fd] {
				while (row.paused && !killed)
					usleep(10000);
				end[r] = recv_to_end(fd, &got[r], 30);
			});
		}
		sleep(1);
		kill(p.forwarder->pid, row.signal);
		EXPECT_NE(p.forwarder->wait_exit(10), -1);
		killed = true;
		for (auto &t : readers) {
			if (t.joinable())
				t.join();
		}
		stop = true;
		peers.join();
		for (int r = 0; r < 2; r++) {
			if (!(row.readers & (r == 0 ? USER : DEST)))
				continue;
			SCOPED_TRACE(r == 0 ? "the user" : "the destination");
			EXPECT_EQ(end[r], row.complete ? 0 : ECONNRESET);
			if (row.complete) {
				EXPECT_TRUE(got[r] == SMALL) << got[r].size();
			}
		}
	}
}

// Sockets of this host's TCP connections (not listeners) on local port
// port, from /proc/net/tcp.
int
connections_on(int port)
{
	std::ifstream in("/proc/net/tcp");
	std::string line;
	int n = 0;
	std::getline(in, line);
	while (std::getline(in, line)) {
		std::istringstream fields(line);
		std::string slot, local, remote, state;
		fields >> slot >> local >> remote >> state;
		if (std::stoi(local.substr(local.find(':') + 1), nullptr, 16) ==
		        port &&
		    state != "0A")
			n++;
	}
	return n;
}

TEST(KillTest, ARestartRightAfterAKillBindsEveryPortAndServes)
{
	PeerServer sender([](int fd, const std::atomic<bool> &) {
		send_all(fd, SMALL, 30);
	});
	UdpEcho udp[2];
	const int tcp_ports[3] = {free_port(), free_port(), free_port()};
	const int udp_ports[2] = {free_port(), free_port()};
	std::string config;
	for (int port : tcp_ports)
		config += rule(port, sender.port);
	for (int i = 0; i < 2; i++)
		config += rule(udp_ports[i], udp[i].port, "udp");
	// Reads the download to its end before closing, so that the
	// forwarder's socket is the one left in TIME_WAIT.
	auto serves = [](int port) {
		int fd = tcp_connect(port, 5);
		std::string got;
		bool ok = recv_to_end(fd, &got) == 0 && got == SMALL;
		close(fd);
		return ok;
	};
	auto first = std::make_unique<Forwarder>(config);
	// Downloads that the forwarder ended first, whose sockets wait in
	// TIME_WAIT, and one that lingers with data for a user who does not
	// read.
	for (int port : tcp_ports)
		EXPECT_TRUE(serves(port)) << port;
	int paused = tcp_connect(tcp_ports[0], 10, "127.0.0.1", SMALL_BUFFER);
	sleep(1);
	kill(first->pid, SIGKILL);
	ASSERT_NE(first->wait_exit(10), -1);
	for (int port : tcp_ports)
		EXPECT_GT(connections_on(port), 0) << port;

	Forwarder second(config);
	for (int port : tcp_ports)
		EXPECT_TRUE(serves(port)) << port;
	int client = udp_bind();
	for (int port : udp_ports) {
		std::string got;
		send_datagram(client, port, "ping");
		EXPECT_TRUE(recv_datagram(client, &got) && got == "ping")
		    << port;
	}
	close(client);
	close(paused);
	EXPECT_EQ(second.after_banner(), "");
}

} // namespace
