/*
 * The UDP relay: a rule's datagrams from its clients to the destination,
 * and the destination's back to the client that sent last, moved a batch
 * at a time.  No slots; no state but the rule's own and the batches.
 */
#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "brennix.h"

/* Room for the one control message either direction uses: IP_PKTINFO. */
struct pktinfo_control {
	alignas(cmsghdr) char buf[CMSG_SPACE(sizeof(in_pktinfo))];
};

/*
 * A batch: the datagrams one receive took, until they are sent.  A
 * datagram's first UDP_HEAD bytes go to a head, the rest to a tail of its
 * own: the heads lie together, so that a batch of small datagrams touches
 * two pages, and a tail's pages stay untouched until a datagram that
 * large comes.
 */
constexpr int UDP_HEAD = 512;
struct udp_batch {
	char heads[UDP_BATCH][UDP_HEAD];
	char tails[UDP_BATCH][DATAGRAM_BUFSIZE - UDP_HEAD];
	mmsghdr msgs[UDP_BATCH];
	iovec pieces[UDP_BATCH][2];
	sockaddr_in senders[UDP_BATCH];
	pktinfo_control received_at[UDP_BATCH];
	pktinfo_control reply_from;
};

/*
 * Every direction of every rule may hold a batch for a full socket at
 * once, and a direction that holds one receives nothing, so there is
 * always a free batch for a receive.  The free ones are a stack: the
 * batch just given back is the next one taken, so that a relay without
 * full sockets keeps to the pages of one.
 */
constexpr int UDP_BATCHES = 2 * MAX_FORWARDS;
static udp_batch batches[UDP_BATCHES];
static std::array<int, UDP_BATCHES> free_batches = [] {
	std::array<int, UDP_BATCHES> all{};
	for (int i = 0; i < UDP_BATCHES; i++)
		all[static_cast<size_t>(i)] = UDP_BATCHES - 1 - i;
	return all;
}();
static int free_count = UDP_BATCHES;

static int
take_batch()
{
	return free_batches[static_cast<size_t>(--free_count)];
}

static void
give_back(int batch)
{
	free_batches[static_cast<size_t>(free_count++)] = batch;
}

/*
 * One direction of a rule: the socket it reads, the socket it sends on,
 * what it holds, and whether it carries the clients' datagrams.
 */
struct direction {
	int in_fd;
	int out_fd;
	udp_drain *d;
	bool from_clients;
};

/* A rule's two directions: what the destination sent comes first. */
static std::array<direction, 2>
directions(forward_rule *rule)
{
	direction from_destination = {rule->udp_fd, rule->listen_fd,
	    &rule->from_destination, false};
	direction from_clients = {rule->listen_fd, rule->udp_fd,
	    &rule->from_clients, true};

	return {from_destination, from_clients};
}

/* A rule's two directions start with nothing held. */
void
udp_setup(forward_rule *rule)
{
	rule->from_clients = {-1, 0, 0, 0};
	rule->from_destination = {-1, 0, 0, 0};
}

/*
 * Sends what the direction holds on fd, in order.  A send that fails may
 * report an earlier datagram's error (an ICMP unreachable) without
 * sending its own, so a datagram is tried once more before it counts as
 * failing on its own; then it alone is lost.  When the socket is full,
 * the rest stay held; once none is left, the batch is given back.
 */
static void
send_held(int fd, udp_drain *d)
{
	mmsghdr *msgs = batches[d->held].msgs;
	bool retried = false;
	int sent;

	while (d->next < d->count) {
		sent = sendmmsg(fd, &msgs[d->next],
		    static_cast<unsigned>(d->count - d->next), 0);
		if (sent > 0) {
			d->next += sent;
			retried = false;
		} else if (errno == EAGAIN) {
			return;
		} else if (!retried) {
			retried = true;
		} else {
			d->next++; /* failures are silent: this one is lost */
			retried = false;
		}
	}
	give_back(d->held);
	d->held = -1;
}

/*
 * Receives up to want datagrams from fd into batch b, each into its own
 * buffer; with names, the sender of each and the local address it was
 * sent to.  Returns how many, or -1 when none was waiting (or the receive
 * failed).
 */
static int
receive_batch(int fd, udp_batch *b, int want, bool names)
{
	for (int i = 0; i < want; i++) {
		msghdr *h = &b->msgs[i].msg_hdr;

		b->pieces[i][0] = {b->heads[i], sizeof(b->heads[i])};
		b->pieces[i][1] = {b->tails[i], sizeof(b->tails[i])};
		h->msg_iov = b->pieces[i];
		h->msg_iovlen = 2;
		h->msg_name = names ? &b->senders[i] : nullptr;
		h->msg_namelen = names ? sizeof(b->senders[i]) : 0;
		h->msg_control = names ? b->received_at[i].buf : nullptr;
		h->msg_controllen = names ? sizeof(b->received_at[i].buf) : 0;
		h->msg_flags = 0;
	}
	return recvmmsg(fd, b->msgs, static_cast<unsigned>(want), 0, nullptr);
}

/*
 * The local address a received datagram was sent to, as the address to
 * answer from: for a broadcast, the receiving interface's own address.
 */
static in_addr
local_address(msghdr *msg)
{
	for (cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr;
	     c = CMSG_NXTHDR(msg, c)) {
		if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
			in_pktinfo info;
			memcpy(&info, CMSG_DATA(c), sizeof(info));
			return info.ipi_spec_dst;
		}
	}
	return in_addr{htonl(INADDR_ANY)};
}

/*
 * Datagrams from clients: the sender of the latest, with the local
 * address it sent to, becomes the client that replies go to; they go to
 * the destination through the connected socket, without an address.
 */
static void
address_to_destination(forward_rule *rule, udp_batch *b, int n)
{
	msghdr *last = &b->msgs[n - 1].msg_hdr;

	memcpy(&rule->client_addr, &b->senders[n - 1],
	    sizeof(rule->client_addr));
	rule->client_addrlen = last->msg_namelen;
	rule->client_local = local_address(last);
	for (int i = 0; i < n; i++) {
		msghdr *h = &b->msgs[i].msg_hdr;

		h->msg_name = nullptr;
		h->msg_namelen = 0;
		h->msg_control = nullptr;
		h->msg_controllen = 0;
	}
}

/*
 * Datagrams from the destination go to the client that sent last, from
 * the local address that client sent to, so that a client connected to a
 * second address of this host accepts them.
 */
static void
address_to_client(forward_rule *rule, udp_batch *b, int n)
{
	cmsghdr *cmsg = reinterpret_cast<cmsghdr *>(b->reply_from.buf);
	in_pktinfo info{};

	info.ipi_spec_dst = rule->client_local;
	cmsg->cmsg_level = IPPROTO_IP;
	cmsg->cmsg_type = IP_PKTINFO;
	cmsg->cmsg_len = CMSG_LEN(sizeof(info));
	memcpy(CMSG_DATA(cmsg), &info, sizeof(info));
	for (int i = 0; i < n; i++) {
		msghdr *h = &b->msgs[i].msg_hdr;

		h->msg_name = &rule->client_addr;
		h->msg_namelen = rule->client_addrlen;
		h->msg_control = b->reply_from.buf;
		h->msg_controllen = sizeof(b->reply_from.buf);
	}
}

/* Makes each received datagram of the batch one to send, as it came. */
static void
resize_pieces(udp_batch *b, int n)
{
	for (int i = 0; i < n; i++) {
		size_t len = b->msgs[i].msg_len;
		size_t head = std::min(len, sizeof(b->heads[i]));

		b->pieces[i][0].iov_len = head;
		b->pieces[i][1].iov_len = len - head;
	}
}

/*
 * Moves up to step datagrams of one direction of a rule, a batch at a
 * time, so that a flood delays every other rule and pair by a bounded
 * amount of work and never holds the loop; the rest wait for the next
 * pass, which select reports at once.  Stops early when a receive finds
 * fewer than it asked for, or when the sending socket is full: then what
 * it could not take is held.  Failures are deliberately silent: a failed
 * receive is the usual end, and a datagram that cannot be sent is lost.
 */
static void
drain(forward_rule *rule, const direction &dir, int step, long long now)
{
	udp_drain *d = dir.d;
	int want, n, b;

	while (step > 0 && d->held == -1) {
		want = std::min(step, UDP_BATCH);
		b = take_batch();
		if ((n = receive_batch(dir.in_fd, &batches[b], want,
		         dir.from_clients)) <= 0) {
			give_back(b);
			return;
		}
		step -= n;
		if (dir.from_clients)
			address_to_destination(rule, &batches[b], n);
		else
			address_to_client(rule, &batches[b], n);
		resize_pieces(&batches[b], n);
		d->held = b;
		d->next = 0;
		d->count = n;
		send_held(dir.out_fd, d);
		if (n < want)
			return;
		d->busy_at = now;
	}
}

/*
 * A direction is busy while a receive of its took all it asked for
 * within RECENT_MS: it may have more waiting, and it is a flood's.
 */
static bool
busy(const udp_drain *d, long long now)
{
	return d->busy_at != 0 && now - d->busy_at < RECENT_MS;
}

/*
 * Serves the sockets of a UDP rule that select reported and that are as
 * busy as asked, up to step datagrams each: first what the destination
 * sent, then what the clients sent.  A socket that is busy once served
 * stays in read_set, for the busy ones' turn in the same pass; the rest
 * are taken out.  Returns whether a socket served was quiet, and stayed
 * so.
 */
bool
drain_udp(forward_rule *rule, fd_set *read_set, bool busy_ones, int step,
    long long now)
{
	bool quiet = false;

	for (const direction &dir : directions(rule)) {
		if (!FD_ISSET(dir.in_fd, read_set) ||
		    busy(dir.d, now) != busy_ones)
			continue;
		drain(rule, dir, step, now);
		if (busy_ones || !busy(dir.d, now)) {
			FD_CLR(dir.in_fd, read_set);
			quiet = quiet || !busy_ones;
		}
	}
	return quiet;
}

/*
 * A direction that holds datagrams reads nothing (they would only queue
 * behind them), and select watches its sending socket for room.
 */
void
udp_interest(forward_rule *rules, int rule_count, fd_set *read_set,
    fd_set *write_set)
{
	for (forward_rule *rule = rules; rule < rules + rule_count; rule++) {
		if (rule->proto != PROTO_UDP)
			continue;
		for (const direction &dir : directions(rule)) {
			if (dir.d->held != -1) {
				FD_CLR(dir.in_fd, read_set);
				watch_fd(dir.out_fd, write_set);
			}
		}
	}
}

/*
 * Sends what each direction holds once its socket has room; the drain
 * takes up its work in the next pass.
 */
void
udp_resume(forward_rule *rules, int rule_count, const fd_set *write_set)
{
	for (forward_rule *rule = rules; rule < rules + rule_count; rule++) {
		if (rule->proto != PROTO_UDP)
			continue;
		for (const direction &dir : directions(rule)) {
			if (dir.d->held != -1 &&
			    FD_ISSET(dir.out_fd, write_set))
				send_held(dir.out_fd, dir.d);
		}
	}
}
