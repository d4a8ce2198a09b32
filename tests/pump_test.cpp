// The stream pump on socket pairs: interest from buffer state, the forced
// write after a read, back-pressure, draining on close, and write failures.
#include <gtest/gtest.h>

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <errno.h>
#include <unistd.h>

#include <string>

#include "brennix.h"

namespace {

// A connected slot between two socket pairs: the test plays the user on
// user_peer and the destination on server_peer.
class PumpTest : public ::testing::Test {
    protected:
	void SetUp() override
	{
		int u[2], s[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0,
		              u),
		    0);
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0,
		              s),
		    0);
		slot.user_fd = u[0];
		user_peer = u[1];
		slot.server_fd = s[0];
		server_peer = s[1];
		slot.to_server_end = slot.to_server_pos = slot.to_server;
		slot.to_user_end = slot.to_user_pos = slot.to_user;
		slot.state = SLOT_CONNECTED;
	}
	void TearDown() override
	{
		if (slot.user_fd != -1)
			close_slot(&slot);
		close(user_peer);
		close(server_peer);
	}

	// One pass of the loop for this slot alone, without waiting, with
	// the look at a lingering pair's acknowledgements.
	void pass()
	{
		fd_set read_set, write_set;
		FD_ZERO(&read_set);
		FD_ZERO(&write_set);
		slot_interest(&slot, &read_set, &write_set);
		timeval zero{};
		ASSERT_NE(select(SELECT_LIMIT, &read_set, &write_set, nullptr,
		              &zero),
		    -1);
		pump_slot(&slot, &read_set, &write_set);
		if (slot.state == SLOT_LINGERING || slot.state == SLOT_ACKING)
			(void)check_peers(&slot, 0);
	}

	void interest(fd_set *read_set, fd_set *write_set)
	{
		FD_ZERO(read_set);
		FD_ZERO(write_set);
		slot_interest(&slot, read_set, write_set);
	}

	// Writes to fd until its buffers are full; returns how much.
	static size_t fill_up(int fd)
	{
		static const std::string chunk(4096, 'f');
		size_t total = 0;
		ssize_t n;
		while ((n = write(fd, chunk.data(), chunk.size())) > 0)
			total += static_cast<size_t>(n);
		return total;
	}

	static std::string drain(int fd)
	{
		std::string got;
		char buf[8192];
		ssize_t n;
		while ((n = read(fd, buf, sizeof(buf))) > 0)
			got.append(buf, static_cast<size_t>(n));
		return got;
	}

	conn_slot slot{};
	int user_peer = -1, server_peer = -1;
};

TEST_F(PumpTest, InterestFollowsBufferState)
{
	fd_set r, w;
	interest(&r, &w);
	EXPECT_TRUE(FD_ISSET(slot.user_fd, &r));
	EXPECT_TRUE(FD_ISSET(slot.server_fd, &r));
	EXPECT_FALSE(FD_ISSET(slot.user_fd, &w));
	EXPECT_FALSE(FD_ISSET(slot.server_fd, &w));

	// A full buffer, even partly sent, stops its reader until it is empty.
	slot.to_server_end = slot.to_server + RELAY_BUFSIZE;
	slot.to_server_pos = slot.to_server + 100;
	interest(&r, &w);
	EXPECT_FALSE(FD_ISSET(slot.user_fd, &r));
	EXPECT_TRUE(FD_ISSET(slot.server_fd, &w));
	EXPECT_TRUE(FD_ISSET(slot.server_fd, &r));

	slot.to_user_end = slot.to_user + 1;
	interest(&r, &w);
	EXPECT_TRUE(FD_ISSET(slot.user_fd, &w));
	EXPECT_TRUE(FD_ISSET(slot.server_fd, &r));

	// A pair whose destination ended writes out to the user, and reads
	// the user only to drop what it sends.
	slot.state = SLOT_DRAINING;
	slot.ended = END_SERVER;
	slot.to_server_end = slot.to_server_pos = slot.to_server;
	interest(&r, &w);
	EXPECT_TRUE(FD_ISSET(slot.user_fd, &r));
	EXPECT_FALSE(FD_ISSET(slot.server_fd, &r));
	EXPECT_TRUE(FD_ISSET(slot.user_fd, &w));
	EXPECT_FALSE(FD_ISSET(slot.server_fd, &w));
}

TEST_F(PumpTest, RelaysBothWaysWithinOnePass)
{
	ASSERT_EQ(write(user_peer, "request", 7), 7);
	ASSERT_EQ(write(server_peer, "reply", 5), 5);
	pass();
	EXPECT_EQ(drain(server_peer), "request");
	EXPECT_EQ(drain(user_peer), "reply");
	EXPECT_EQ(slot.to_server_pos, slot.to_server);
	EXPECT_EQ(slot.to_server_end, slot.to_server);
	EXPECT_EQ(slot.to_user_pos, slot.to_user);
	EXPECT_EQ(slot.to_user_end, slot.to_user);
}

TEST_F(PumpTest, FullDestinationHoldsBackTheUserWithoutLosingBytes)
{
	size_t filler = fill_up(slot.server_fd);
	std::string sent;
	for (int i = 0; i < 3000; i++)
		sent += static_cast<char>('a' + i % 26);
	ASSERT_EQ(write(user_peer, sent.data(), sent.size()), 3000);

	pass();
	EXPECT_EQ(slot.to_server_end, slot.to_server + RELAY_BUFSIZE);
	pass();
	fd_set r, w;
	interest(&r, &w);
	EXPECT_FALSE(FD_ISSET(slot.user_fd, &r));

	std::string got;
	for (int i = 0; i < 100 && got.size() < filler + sent.size(); i++) {
		got += drain(server_peer);
		pass();
	}
	ASSERT_EQ(got.size(), filler + sent.size());
	EXPECT_EQ(got.substr(filler), sent);
	EXPECT_EQ(slot.state, SLOT_CONNECTED);
}

TEST_F(PumpTest, EndOfStreamWritesOutWhatIsBufferedThenCloses)
{
	size_t filler = fill_up(slot.server_fd);
	ASSERT_EQ(write(user_peer, "last words", 10), 10);
	ASSERT_EQ(shutdown(user_peer, SHUT_WR), 0);
	pass();
	pass();
	EXPECT_EQ(slot.state, SLOT_DRAINING);

	std::string got;
	for (int i = 0; i < 100 && slot.user_fd != -1; i++) {
		got += drain(server_peer);
		pass();
	}
	EXPECT_EQ(slot.user_fd, -1);
	got += drain(server_peer);
	EXPECT_EQ(got.size(), filler + 10);
	EXPECT_EQ(got.substr(filler), "last words");
	char c;
	EXPECT_EQ(read(server_peer, &c, 1), 0);
}

TEST_F(PumpTest, APeerVanishingDuringTheDrainClosesThePair)
{
	fill_up(slot.server_fd);
	ASSERT_EQ(write(user_peer, "last words", 10), 10);
	ASSERT_EQ(shutdown(user_peer, SHUT_WR), 0);
	pass();
	pass();
	ASSERT_EQ(slot.state, SLOT_DRAINING);
	close(server_peer);
	server_peer = -1;
	testing::internal::CaptureStderr();
	pass();
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "server_read: Connection reset by peer\n");
	EXPECT_EQ(slot.user_fd, -1);
}

TEST_F(PumpTest, EndOfStreamWithNothingBufferedClosesAtOnce)
{
	ASSERT_EQ(shutdown(server_peer, SHUT_WR), 0);
	pass();
	EXPECT_EQ(slot.user_fd, -1);
	EXPECT_EQ(slot.server_fd, -1);
	char c;
	EXPECT_EQ(read(user_peer, &c, 1), 0);
}

TEST_F(PumpTest, AFailedWriteDeliversWhatThatSideSentThenCloses)
{
	// The user stops taking data, so the write of the reply fails with
	// EPIPE and no signal; what the user still sends reaches the
	// destination, and once that has been taken, the pair closes.  One
	// line in all.
	ASSERT_EQ(shutdown(user_peer, SHUT_RD), 0);
	ASSERT_EQ(write(server_peer, "reply", 5), 5);
	testing::internal::CaptureStderr();
	pass();
	EXPECT_EQ(slot.state, SLOT_DRAINING);
	EXPECT_EQ(slot.ended, END_USER_REFUSED);
	ASSERT_EQ(write(user_peer, "after", 5), 5);
	ASSERT_EQ(shutdown(user_peer, SHUT_WR), 0);
	std::string got;
	for (int i = 0; i < 4 && slot.user_fd != -1; i++) {
		pass();
		got += drain(server_peer);
	}
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "user_write: Broken pipe\n");
	EXPECT_EQ(slot.user_fd, -1);
	EXPECT_EQ(got, "after");

	// The same the other way round.
	TearDown();
	SetUp();
	ASSERT_EQ(shutdown(server_peer, SHUT_RD), 0);
	ASSERT_EQ(write(user_peer, "request", 7), 7);
	testing::internal::CaptureStderr();
	pass();
	EXPECT_EQ(slot.ended, END_SERVER_REFUSED);
	ASSERT_EQ(write(server_peer, "answer", 6), 6);
	ASSERT_EQ(shutdown(server_peer, SHUT_WR), 0);
	got.clear();
	for (int i = 0; i < 4 && slot.user_fd != -1; i++) {
		pass();
		got += drain(user_peer);
	}
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "server_write: Broken pipe\n");
	EXPECT_EQ(slot.user_fd, -1);
	EXPECT_EQ(got, "answer");
}

TEST_F(PumpTest, AFailureOnOneSideStillWritesOutTheOther)
{
	// The destination answers and fails before the user has taken the
	// answer: the answer is still written out before the pair closes.
	size_t filler = fill_up(slot.user_fd);
	ASSERT_EQ(write(server_peer, "answer", 6), 6);
	ASSERT_EQ(write(user_peer, "upload", 6), 6);
	pass();
	ASSERT_TRUE(slot.to_user_end != slot.to_user_pos);
	testing::internal::CaptureStderr();
	close(server_peer); // the unread upload makes this a reset
	server_peer = -1;
	std::string got;
	for (int i = 0; i < 100 && slot.user_fd != -1; i++) {
		got += drain(user_peer);
		pass();
	}
	got += drain(user_peer);
	EXPECT_EQ(slot.user_fd, -1);
	EXPECT_EQ(got.size(), filler + 6);
	EXPECT_EQ(got.substr(filler), "answer");
	std::string line = testing::internal::GetCapturedStderr();
	EXPECT_TRUE(line == "server_read: Connection reset by peer\n" ||
	    line == "server_write: Broken pipe\n")
	    << line;
}

TEST_F(PumpTest, AnOrderlyEndLingersUntilThePeerHasTakenEverything)
{
	// The destination ends while the user has yet to take what its
	// socket holds: the user's stream is ended after the data, what it
	// sends meanwhile is dropped, and the pair closes once all is taken.
	// select watches for the moment the user's socket has room again.
	size_t filler = fill_up(slot.user_fd);
	ASSERT_EQ(shutdown(server_peer, SHUT_WR), 0);
	pass();
	EXPECT_EQ(slot.state, SLOT_LINGERING);
	fd_set r, w;
	interest(&r, &w);
	EXPECT_TRUE(FD_ISSET(slot.user_fd, &r));
	EXPECT_TRUE(FD_ISSET(slot.user_fd, &w));
	EXPECT_FALSE(FD_ISSET(slot.server_fd, &r));

	ASSERT_EQ(write(user_peer, "heartbeat", 9), 9);
	pass();
	EXPECT_EQ(slot.state, SLOT_LINGERING);
	EXPECT_EQ(drain(server_peer), "");
	// Looked at soon while bytes wait (this socket tells nothing of
	// what is in flight).
	EXPECT_EQ(check_peers(&slot, 0), LINGER_POLL_MS);
	EXPECT_EQ(drain(user_peer).size(), filler);
	// Its end of stream follows once its socket took all.
	pass();
	char c;
	EXPECT_EQ(read(user_peer, &c, 1), 0);
	pass();
	EXPECT_EQ(slot.user_fd, -1);
}

TEST_F(PumpTest, AResetWaitsForThePeerToTakeEverythingAndEndsNoStream)
{
	// The destination fails while the user has yet to take what its
	// socket holds.  The user's stream is not ended (that would make the
	// cut look complete); once the user has taken everything, the pair
	// closes.  A user that ends its own stream meanwhile is read no more.
	size_t filler = fill_up(slot.user_fd);
	ASSERT_EQ(write(user_peer, "upload", 6), 6);
	pass();
	testing::internal::CaptureStderr();
	close(server_peer); // the unread upload makes this a reset
	server_peer = -1;
	pass();
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "server_read: Connection reset by peer\n");
	EXPECT_EQ(slot.state, SLOT_LINGERING);
	EXPECT_EQ(slot.ended, END_SERVER_RESET);

	ASSERT_EQ(shutdown(user_peer, SHUT_WR), 0);
	pass();
	EXPECT_EQ(slot.state, SLOT_ACKING);
	fd_set r, w;
	interest(&r, &w);
	EXPECT_FALSE(FD_ISSET(slot.user_fd, &r));

	EXPECT_EQ(drain(user_peer).size(), filler);
	char c;
	EXPECT_EQ(read(user_peer, &c, 1), -1); // no end of stream yet
	EXPECT_EQ(errno, EAGAIN);
	pass();
	EXPECT_EQ(slot.user_fd, -1);
	EXPECT_EQ(read(user_peer, &c, 1), 0);
}

TEST_F(PumpTest, ABothWaysEndWritesOutTheRestWithoutReadingAgain)
{
	// The user ends, then the destination ends while bytes still wait
	// for it: they are written out, and the ended destination is not
	// read again.
	size_t filler = fill_up(slot.server_fd);
	ASSERT_EQ(write(user_peer, "last words", 10), 10);
	ASSERT_EQ(shutdown(user_peer, SHUT_WR), 0);
	pass();
	pass();
	ASSERT_EQ(slot.state, SLOT_DRAINING);
	ASSERT_EQ(shutdown(server_peer, SHUT_WR), 0);
	pass();
	EXPECT_EQ(slot.state, SLOT_FLUSHING);
	fd_set r, w;
	interest(&r, &w);
	EXPECT_FALSE(FD_ISSET(slot.server_fd, &r));
	EXPECT_TRUE(FD_ISSET(slot.server_fd, &w));
	std::string got;
	for (int i = 0; i < 100 && slot.user_fd != -1; i++) {
		got += drain(server_peer);
		pass();
	}
	got += drain(server_peer);
	EXPECT_EQ(slot.user_fd, -1);
	EXPECT_EQ(got.size(), filler + 10);
	EXPECT_EQ(got.substr(filler), "last words");
}

} // namespace
