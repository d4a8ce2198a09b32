// TCP pairs under faults, end to end: nothing read is dropped when a side
// fails, a reset reaches the other side as a reset, and no slot is held for
// a user who has gone.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <linux/sockios.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <arpa/inet.h>

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "brennix.h"
#include "e2e_support.h"

namespace {

const std::string ANSWER = "HTTP/1.1 413 Payload Too Large\r\n\r\n";

// A destination that reads the head of an upload, answers at once and
// closes without reading the rest, so that its kernel resets the
// connection.
void
early_answer(int fd, const std::atomic<bool> &)
{
	recv_n(fd, 1000, 5);
	send_all(fd, ANSWER, 5);
}

TEST(TcpFaultTest, EveryUserReadsAnEarlyAnswerToAnUploadCutShort)
{
	PeerServer destination(early_answer);
	int port = free_port();
	Forwarder forwarder(rule(port, destination.port));
	std::atomic<int> answered{0};
	std::vector<std::thread> users;
	for (int i = 0; i < 20; i++) {
		users.emplace_back([&] {
			int fd = tcp_connect(port);
			send_all(fd, random_bytes(4 << 20, 3), 10);
			std::string got;
			recv_to_end(fd, &got, 10);
			answered += got == ANSWER;
			close(fd);
		});
	}
	for (auto &t : users)
		t.join();
	EXPECT_EQ(answered, 20);
	EXPECT_TRUE(forwarder.alive());
	expect_only_pair_failures(forwarder);
}

// Sends data, waits until the forwarder has surely passed it on, then
// resets the connection.
void
send_then_reset(int fd, const std::string &data)
{
	send_all(fd, data, 5);
	usleep(200000);
	close_with_reset(fd);
}

TEST(TcpFaultTest, AResetReachesTheOtherSideAfterAllTheData)
{
	const std::string data = random_bytes(5000, 4);
	int port = free_port();

	// The destination resets: the user reads everything, then a reset.
	PeerServer resetting([&](int fd, const std::atomic<bool> &) {
		send_all(fd, data, 5);
		usleep(200000);
		set_linger_zero(fd); // the server's close is a reset
	});
	Forwarder forwarder(rule(port, resetting.port));
	int user = tcp_connect(port);
	std::string got;
	EXPECT_EQ(recv_to_end(user, &got), ECONNRESET);
	EXPECT_TRUE(got == data) << got.size();
	close(user);

	// The user resets: the destination reads everything, then a reset.
	int listener = tcp_listen();
	int other_port = free_port();
	Forwarder to_listener(rule(other_port, local_port(listener)));
	user = tcp_connect(other_port);
	int dest = accept(listener, nullptr, nullptr);
	send_then_reset(user, data);
	got.clear();
	EXPECT_EQ(recv_to_end(dest, &got), ECONNRESET);
	EXPECT_TRUE(got == data) << got.size();
	close(dest);

	// An orderly end stays orderly.
	user = tcp_connect(other_port);
	dest = accept(listener, nullptr, nullptr);
	send_all(user, data);
	close(user);
	got.clear();
	EXPECT_EQ(recv_to_end(dest, &got), 0);
	EXPECT_TRUE(got == data) << got.size();
	close(dest);
	close(listener);
}

TEST(TcpFaultTest, ALargeDownloadCutByAResetStillArrivesWhole)
{
	// The destination streams more than every buffer on the way holds,
	// and resets once the forwarder has acknowledged all of it; the user
	// reads late.  Every byte acknowledged reaches the user, then the
	// reset.
	const std::string data = random_bytes((4 << 20) + 1000, 5);
	std::atomic<bool> sent{false};
	PeerServer destination([&](int fd, const std::atomic<bool> &) {
		sent = send_all(fd, data, 30);
		int unacked = 1;
		for (auto deadline = deadline_in(30);
		     unacked > 0 && Clock::now() < deadline; usleep(1000))
			ioctl(fd, SIOCOUTQ, &unacked);
		set_linger_zero(fd);
	});
	int port = free_port();
	Forwarder forwarder(rule(port, destination.port));
	int user = tcp_connect(port);
	usleep(300000);
	std::string got;
	int end = recv_to_end(user, &got, 30);
	EXPECT_TRUE(sent);
	EXPECT_EQ(end, ECONNRESET);
	EXPECT_TRUE(got == data) << got.size();
	close(user);
}

// A listener whose accept queue is full: the kernel drops further SYNs,
// so a connect to it stays pending, as to a black-holed host.
struct BlackHole {
	int listener = tcp_listen();
	int queued = -1;
	BlackHole()
	{
		listen(listener, 0); // one waiting connection fills it
		queued = tcp_connect(local_port(listener), 1);
	}
	// Takes the waiting connection, making room for one more.
	void open_up() { close(accept(listener, nullptr, nullptr)); }
	~BlackHole()
	{
		close(queued);
		close(listener);
	}
};

TEST(TcpFaultTest, UsersWhoLeaveAPendingConnectFreeTheirSlotsAtOnce)
{
	BlackHole hole;
	EchoServer echo;
	int dark = free_port(), healthy = free_port();
	Forwarder forwarder(rule(dark, local_port(hole.listener)) +
	    rule(healthy, echo.port));
	std::vector<int> users;
	for (int i = 0; i < 30; i++)
		users.push_back(tcp_connect(dark));
	usleep(200000);
	for (int fd : users)
		close(fd);

	// A connection accepted before the closes are seen finds no slot
	// and is closed; one that comes a moment later is served.
	bool served = false;
	for (auto deadline = deadline_in(1); !served && Clock::now() < deadline;
	     usleep(10000)) {
		int fd = tcp_connect(healthy);
		served = pings(fd);
		close(fd);
	}
	EXPECT_TRUE(served);
	EXPECT_EQ(forwarder.after_banner(), "");
}

TEST(TcpFaultTest, BytesSentBeforeLeavingAPendingConnectArriveWhenItCompletes)
{
	BlackHole hole;
	int port = free_port();
	Forwarder forwarder(rule(port, local_port(hole.listener)));
	int user = tcp_connect(port);
	send_all(user, "sent while connecting");
	close(user);
	usleep(300000);
	hole.open_up();
	// The connect's next SYN finds room within seconds.
	int dest = accept(hole.listener, nullptr, nullptr);
	ASSERT_NE(dest, -1);
	std::string got;
	EXPECT_EQ(recv_to_end(dest, &got, 10), 0);
	EXPECT_EQ(got, "sent while connecting");
	close(dest);
}

TEST(TcpFaultTest, AResetThatComesWithTheConnectReachesTheUserAsAReset)
{
	// The destination takes the connection and resets it at once, while
	// the user's first byte waits: the user reads a reset, not an end.
	// Through the forwarder, the connect is held until the user has sent
	// its byte, and the reset comes before the forwarder looks again.
	for (bool forwarded : {false, true}) {
		SCOPED_TRACE(forwarded ? "forwarded" : "direct");
		BlackHole hole;
		std::unique_ptr<Forwarder> forwarder;
		int port = local_port(hole.listener);
		if (forwarded) {
			port = free_port();
			forwarder = std::make_unique<Forwarder>(rule(port,
			    local_port(hole.listener)));
		} else {
			hole.open_up();
		}
		int user = tcp_connect(port);
		ASSERT_TRUE(send_all(user, "x"));
		usleep(300000);
		if (forwarded) {
			kill(forwarder->pid, SIGSTOP);
			hole.open_up();
		}
		// The held connect's next SYN finds room within seconds.
		close_with_reset(accept(hole.listener, nullptr, nullptr));
		usleep(100000);
		if (forwarded)
			kill(forwarder->pid, SIGCONT);
		std::string got;
		EXPECT_EQ(recv_to_end(user, &got, 10), ECONNRESET);
		close(user);
		if (forwarded) {
			EXPECT_EQ(forwarder->after_banner(),
			    "server_read: Connection reset by peer\n");
		}
	}
}

int
peer_port(int fd)
{
	sockaddr_in addr{};
	socklen_t len = sizeof(addr);
	getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &len);
	return ntohs(addr.sin_port);
}

TEST(TcpFaultTest, BothSocketsOfAPairCarryTheirKeepaliveAndRelayOptions)
{
	EchoServer echo;
	int port = free_port();
	Forwarder forwarder(rule(port, echo.port));
	int user = tcp_connect(port);
	ASSERT_TRUE(pings(user));
	// Every connected TCP socket of the forwarder: the pair's two.
	int pair_sockets = 0, outbound = 0;
	for (int fd = 3; fd < SELECT_LIMIT; fd++) {
		int copy = copy_fd(forwarder.pid, fd);
		if (copy == -1)
			continue;
		if (int_option(copy, SOL_SOCKET, SO_TYPE) == SOCK_STREAM &&
		    int_option(copy, SOL_SOCKET, SO_ACCEPTCONN) == 0) {
			SCOPED_TRACE(fd);
			pair_sockets++;
			EXPECT_EQ(int_option(copy, SOL_SOCKET, SO_KEEPALIVE),
			    1);
			EXPECT_EQ(int_option(copy, IPPROTO_TCP, TCP_KEEPIDLE),
			    KEEPALIVE_IDLE);
			EXPECT_EQ(int_option(copy, IPPROTO_TCP, TCP_KEEPINTVL),
			    KEEPALIVE_INTERVAL);
			EXPECT_EQ(int_option(copy, IPPROTO_TCP, TCP_KEEPCNT),
			    KEEPALIVE_COUNT);
			// A user timeout would also end a paused reader.
			EXPECT_EQ(int_option(copy, IPPROTO_TCP,
			              TCP_USER_TIMEOUT),
			    0);
			EXPECT_EQ(int_option(copy, SOL_SOCKET, SO_OOBINLINE),
			    1);
			EXPECT_EQ(int_option(copy, IPPROTO_TCP, TCP_NODELAY),
			    1);
			EXPECT_EQ(int_option(copy, IPPROTO_TCP, TCP_INQ), 1);
			// No cap on the backoff until a try goes unanswered.
			int cap =
			    int_option(copy, IPPROTO_TCP, TCP_RTO_MAX_OPTION);
			EXPECT_TRUE(cap == -1 || cap == KERNEL_RTO_MAX_MS)
			    << cap;
			if (peer_port(copy) == echo.port) {
				outbound++;
				EXPECT_EQ(int_option(copy, IPPROTO_TCP,
				              TCP_SYNCNT),
				    CONNECT_SYN_RETRIES);
			}
		}
		close(copy);
	}
	EXPECT_EQ(pair_sockets, 2);
	EXPECT_EQ(outbound, 1);
	close(user);
}

} // namespace
