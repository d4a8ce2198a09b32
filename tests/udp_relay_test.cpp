// The UDP drains' batches on Unix datagram socket pairs, whose queue limit
// and send buffer make a full destination and a datagram too large for its
// socket at will: nothing but the failing datagram is ever lost, and order
// holds.
#include <gtest/gtest.h>

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "brennix.h"

namespace {

// Up to two UDP rules, each between two socket pairs: the test plays the
// clients on client_peer and the destination on dest_peer.
class UdpRelayTest : public ::testing::Test {
    protected:
	void SetUp() override { open_rule(0); }
	void TearDown() override
	{
		for (int i = 0; i < rule_count; i++) {
			close(rules[i].listen_fd);
			close(rules[i].udp_fd);
			close(client_peers[i]);
			close(dest_peers[i]);
		}
	}
	void open_rule(int i)
	{
		int c[2], d[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, c),
		    0);
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, d),
		    0);
		rules[i].proto = PROTO_UDP;
		rules[i].listen_fd = c[0];
		client_peers[i] = c[1];
		rules[i].udp_fd = d[0];
		dest_peers[i] = d[1];
		rules[i].client_addrlen = sizeof(rules[i].client_addr);
		udp_setup(&rules[i]);
		rule_count = i + 1;
	}

	// The rule phase of one pass of the loop, without waiting.
	void pass()
	{
		fd_set read_set, write_set;
		FD_ZERO(&read_set);
		FD_ZERO(&write_set);
		for (int i = 0; i < rule_count; i++) {
			FD_SET(rules[i].listen_fd, &read_set);
			FD_SET(rules[i].udp_fd, &read_set);
		}
		udp_interest(rules, rule_count, &read_set, &write_set);
		timeval zero{};
		ASSERT_NE(select(SELECT_LIMIT, &read_set, &write_set, nullptr,
		              &zero),
		    -1);
		udp_resume(rules, rule_count, &write_set);
		for (forward_rule *r = rules; r < rules + rule_count; r++) {
			for (bool busy : {false, true})
				(void)drain_udp(r, &read_set, busy,
				    4 * UDP_BATCH, 1);
		}
	}

	static std::vector<std::string> received(int fd)
	{
		std::vector<std::string> got;
		std::string buf(65536, '\0');
		ssize_t n;
		while ((n = recv(fd, buf.data(), buf.size(), 0)) >= 0)
			got.emplace_back(buf.data(), static_cast<size_t>(n));
		return got;
	}

	static std::string datagram(size_t size, int i)
	{
		return std::string(size, static_cast<char>('a' + i % 26));
	}

	forward_rule rules[2]{};
	int client_peers[2], dest_peers[2], rule_count = 0;
	forward_rule &rule = rules[0];
	int &client_peer = client_peers[0], &dest_peer = dest_peers[0];
};

TEST_F(UdpRelayTest, KeepsEveryDatagramWholeAndInOrder)
{
	// The pair's queue holds ten datagrams: a batch that comes back
	// short, with an empty one among them.
	const size_t sizes[] = {0, 1, 2048, 2049, 60000};
	std::vector<std::string> sent;
	for (int i = 0; i < 10; i++) {
		sent.push_back(datagram(sizes[i % 5], i));
		ASSERT_EQ(send(client_peer, sent.back().data(),
		              sent.back().size(), 0),
		    static_cast<ssize_t>(sent.back().size()));
	}
	pass();
	EXPECT_EQ(received(dest_peer), sent);
}

TEST_F(UdpRelayTest, AFullDestinationHoldsTheRestUntilItHasRoom)
{
	// The destination's socket takes a few datagrams only (its peer
	// holds them against its small send buffer) while twenty come in
	// two rounds: the rest wait in the batch, reading the clients stops,
	// and it all arrives, in order, once the destination reads.  The
	// destination's answers go on meanwhile, and so does a second rule,
	// whose datagrams go to their own destination, never into the held
	// batch.
	int small = 4096; // the kernel doubles it
	ASSERT_EQ(setsockopt(rule.udp_fd, SOL_SOCKET, SO_SNDBUF, &small,
	              sizeof(small)),
	    0);
	open_rule(1);
	std::vector<std::string> sent, other;
	for (int round = 0; round < 2; round++) {
		for (int i = 0; i < 10; i++) {
			sent.push_back(datagram(100, round * 10 + i));
			ASSERT_EQ(send(client_peer, sent.back().data(), 100, 0),
			    100);
		}
		other.push_back("other" + std::to_string(round));
		ASSERT_EQ(send(client_peers[1], other.back().data(), 6, 0), 6);
		pass();
	}
	fd_set r, w;
	FD_ZERO(&r);
	FD_ZERO(&w);
	FD_SET(rule.listen_fd, &r);
	FD_SET(rule.udp_fd, &r);
	udp_interest(&rule, 1, &r, &w);
	EXPECT_FALSE(FD_ISSET(rule.listen_fd, &r));
	EXPECT_TRUE(FD_ISSET(rule.udp_fd, &r));
	EXPECT_TRUE(FD_ISSET(rule.udp_fd, &w));
	ASSERT_EQ(send(dest_peer, "answer", 6, 0), 6);
	pass();
	EXPECT_EQ(received(client_peer), std::vector<std::string>{"answer"});

	std::vector<std::string> got;
	for (int i = 0; i < 40 && got.size() < sent.size(); i++) {
		for (auto &d : received(dest_peer))
			got.push_back(d);
		pass();
	}
	EXPECT_EQ(got, sent);
	EXPECT_EQ(received(dest_peers[1]), other);
}

TEST_F(UdpRelayTest, ADatagramTooLargeForItsSocketIsTheOnlyOneLost)
{
	int small = 4096; // the kernel doubles it
	ASSERT_EQ(setsockopt(rule.udp_fd, SOL_SOCKET, SO_SNDBUF, &small,
	              sizeof(small)),
	    0);
	std::vector<std::string> sent, delivered;
	for (int i = 0; i < 7; i++) {
		sent.push_back(datagram(i % 2 ? 20000u : 100u + unsigned(i),
		    i));
		ASSERT_EQ(send(client_peer, sent.back().data(),
		              sent.back().size(), 0),
		    static_cast<ssize_t>(sent.back().size()));
		if (i % 2 == 0)
			delivered.push_back(sent.back());
	}
	pass();
	EXPECT_EQ(received(dest_peer), delivered);
	// The batch is free again: the next datagram goes through.
	ASSERT_EQ(send(client_peer, "next", 4, 0), 4);
	pass();
	EXPECT_EQ(received(dest_peer), std::vector<std::string>{"next"});
}

} // namespace
