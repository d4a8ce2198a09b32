// The end of a TCP pair, end to end: every case is run on a direct
// connection and through the forwarder, and both must come out the same.
// Nothing accepted is destroyed at the close, a reset arrives after all
// the data, and urgent bytes stay in the stream.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <arpa/inet.h>
#include <errno.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "e2e_support.h"

namespace {

const char *
how(bool forwarded, bool downstream)
{
	if (forwarded)
		return downstream ? "forwarded, to the user"
		                  : "forwarded, to the destination";
	return downstream ? "direct, to the user"
	                  : "direct, to the destination";
}

// Sends data, ends the stream and reads until the peer ends, as a server
// that closes with care does.
void
send_and_linger(int fd, const std::string &data)
{
	send_all(fd, data, 30);
	shutdown(fd, SHUT_WR);
	std::string ignored;
	recv_to_end(fd, &ignored, 30);
}

// Reads slowly until the end of the stream, sending a beat of 1 KiB every
// 5 ms meanwhile (or as given), as a client with a heartbeat or a
// pipelined request does.  Returns how the stream ended (recv_to_end's
// code).
int
read_slowly_while_sending(int fd, std::string *got, size_t beat_size = 1024,
    unsigned pause_us = 5000)
{
	const std::string beat(beat_size, 'h');
	char buf[SMALL_BUFFER];
	auto deadline = deadline_in(30);
	while (Clock::now() < deadline) {
		(void)send(fd, beat.data(), beat.size(),
		    MSG_DONTWAIT | MSG_NOSIGNAL);
		usleep(pause_us);
		ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
		if (n == 0)
			return 0;
		if (n > 0)
			got->append(buf, static_cast<size_t>(n));
		else if (errno != EAGAIN)
			return errno;
	}
	return -1;
}

TEST(TcpEndTest, ACloseWithInputUnreadDeliversTheWholeTail)
{
	const std::string data = random_bytes(2 << 20, 21);
	for (bool forwarded : {false, true}) {
		for (bool downstream : {true, false}) {
			SCOPED_TRACE(how(forwarded, downstream));
			Link link(forwarded);
			std::thread sender(send_and_linger,
			    link.from(downstream), std::cref(data));
			std::string got;
			int end = read_slowly_while_sending(link.to(downstream),
			    &got);
			shutdown(link.to(downstream), SHUT_RDWR);
			sender.join();
			EXPECT_EQ(end, 0);
			EXPECT_EQ(got.size(), data.size());
			EXPECT_TRUE(got == data);
			if (link.forwarder) {
				EXPECT_EQ(link.forwarder->after_banner(), "");
			}
		}
	}
}

TEST(TcpEndTest, AnEndWhileTheOtherSideStillSendsIsAnEndOfStream)
{
	// One side sends a request and ends its stream without reading,
	// while the other keeps sending in beats that fill every buffer
	// toward the first: the other must read the request, then the end
	// of stream, not a reset.
	const std::string request = random_bytes(64 << 10, 23);
	for (bool forwarded : {false, true}) {
		for (bool downstream : {true, false}) {
			SCOPED_TRACE(how(forwarded, downstream));
			Link link(forwarded);
			std::string got;
			int end = -2;
			std::thread open_side([&] {
				end = read_slowly_while_sending(
				    link.to(downstream), &got, 2048, 200);
			});
			sleep(2); // the ended side's buffers fill up
			EXPECT_TRUE(send_all(link.from(downstream), request));
			usleep(200000); // and is acknowledged
			shutdown(link.from(downstream), SHUT_WR);
			open_side.join();
			EXPECT_EQ(end, 0);
			EXPECT_EQ(got.size(), request.size());
			EXPECT_TRUE(got == request);
		}
	}
}

// Sends data, waits until the peer has acknowledged all of it, then ends
// the connection with a reset, or with an orderly close.  Takes *fd over.
void
send_then_end(int *fd, const std::string &data, bool reset)
{
	send_all(*fd, data, 30);
	wait_acknowledged(*fd);
	if (reset)
		close_with_reset(*fd);
	else
		close(*fd);
	*fd = -1;
}

TEST(TcpEndTest, AResetArrivesAfterAllTheDataHoweverLateTheReaderReads)
{
	// Every combination at once, each on a link of its own: a reader
	// that starts at once or three seconds late, both directions, an
	// abort and an orderly end.
	const std::string data = random_bytes(1 << 20, 22);
	struct Case {
		bool forwarded, downstream, reset;
		unsigned delay_ms;
		std::unique_ptr<Link> link;
		int end = -2;
		std::string got;
	};
	std::vector<Case> cases;
	for (bool forwarded : {false, true})
		for (bool downstream : {true, false})
			for (bool reset : {true, false})
				for (unsigned delay : {0u, 3000u})
					cases.push_back({forwarded, downstream,
					    reset, delay,
					    std::make_unique<Link>(forwarded),
					    -2, ""});
	std::vector<std::thread> threads;
	for (auto &c : cases) {
		threads.emplace_back(send_then_end,
		    c.downstream ? &c.link->dest : &c.link->user,
		    std::cref(data), c.reset);
		threads.emplace_back([&c] {
			usleep(c.delay_ms * 1000);
			c.end =
			    recv_to_end(c.link->to(c.downstream), &c.got, 30);
		});
	}
	for (auto &t : threads)
		t.join();
	for (auto &c : cases) {
		SCOPED_TRACE(std::string(how(c.forwarded, c.downstream)) +
		    (c.reset ? ", reset" : ", orderly") + ", read after " +
		    std::to_string(c.delay_ms) + " ms");
		EXPECT_EQ(c.end, c.reset ? ECONNRESET : 0);
		EXPECT_EQ(c.got.size(), data.size());
		EXPECT_TRUE(c.got == data);
		if (c.link->forwarder) {
			expect_only_pair_failures(*c.link->forwarder);
		}
	}
}

TEST(TcpEndTest, UrgentBytesStayInTheStream)
{
	// Telnet's Synch: IAC IP IAC, then the DM byte sent urgent.  A
	// receiver that reads urgent bytes inline gets all ten in order.
	const std::string head = "abc\xff\xf4\xff", mark = "\xf2", tail = "def";
	for (bool forwarded : {false, true}) {
		for (bool downstream : {true, false}) {
			SCOPED_TRACE(how(forwarded, downstream));
			Link link(forwarded);
			int on = 1;
			setsockopt(link.to(downstream), SOL_SOCKET,
			    SO_OOBINLINE, &on, sizeof(on));
			int from = link.from(downstream);
			ASSERT_TRUE(send_all(from, head));
			usleep(50000);
			ASSERT_EQ(send(from, mark.data(), 1, MSG_OOB), 1);
			usleep(50000);
			ASSERT_TRUE(send_all(from, tail));
			EXPECT_EQ(recv_n(link.to(downstream), 10, 5),
			    head + mark + tail);
		}
	}
}

} // namespace
