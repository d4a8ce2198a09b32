/*
 * The UDP relay: a rule's datagrams from its clients to the destination,
 * and the destination's back to the client that sent last, moved a batch
 * at a time.  No slots; no state but the rule's own and the one batch.
 */
#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "brennix.h"

/* Room for the one control message either drain uses: IP_PKTINFO. */
union pktinfo_control {
	cmsghdr align;
	char buf[CMSG_SPACE(sizeof(in_pktinfo))];
};

/*
 * The batch, shared by every rule and both directions.  A datagram stays
 * here only until it is sent.  Its first UDP_HEAD bytes go to a head, the
 * rest to a tail of its own: the heads lie together, so that a batch of
 * small datagrams touches two pages, and a tail's pages stay untouched
 * until a datagram that large comes.
 */
constexpr int UDP_HEAD = 512;
static char heads[UDP_BATCH][UDP_HEAD];
static char tails[UDP_BATCH][DATAGRAM_BUFSIZE - UDP_HEAD];
static mmsghdr batch[UDP_BATCH];
static iovec pieces[UDP_BATCH][2];
static sockaddr_in senders[UDP_BATCH];
static pktinfo_control received_at[UDP_BATCH];
static pktinfo_control reply_from;

/*
 * Datagrams of the batch that their socket could not take yet: from
 * `next` up to `count`, for `fd`.  They hold the batch, so no drain runs
 * until they are sent.
 */
static struct {
	int fd = -1; /* -1 when nothing waits */
	int next;
	int count;
} backlog;

/*
 * Sends datagrams first to count-1 of the batch on fd, in order.  A send
 * that fails may report an earlier datagram's error (an ICMP unreachable)
 * without sending its own, so a datagram is tried once more before it
 * counts as failing on its own; then it alone is lost.  When the socket
 * is full, the rest wait in the backlog.
 */
static void
send_batch(int fd, int first, int count)
{
	bool retried = false;
	int sent;

	while (first < count) {
		sent = sendmmsg(fd, &batch[first],
		    static_cast<unsigned>(count - first), 0);
		if (sent > 0) {
			first += sent;
			retried = false;
		} else if (errno == EAGAIN) {
			backlog = {fd, first, count};
			return;
		} else if (!retried) {
			retried = true;
		} else {
			first++; /* failures are silent: this one is lost */
			retried = false;
		}
	}
	backlog.fd = -1;
}

/*
 * Receives up to a batch of datagrams from fd, each into its own buffer;
 * with names, the sender of each and the local address it was sent to.
 * Returns how many, or -1 when none was waiting (or the receive failed).
 * While the backlog holds the batch, nothing is received: when a drain
 * meets a full socket, the sockets that select reported for the rest of
 * the pass wait for a later one, and the held datagrams go where they
 * belong.
 */
static int
receive_batch(int fd, bool names)
{
	if (backlog.fd != -1)
		return -1;
	for (int i = 0; i < UDP_BATCH; i++) {
		msghdr *h = &batch[i].msg_hdr;

		pieces[i][0] = {heads[i], sizeof(heads[i])};
		pieces[i][1] = {tails[i], sizeof(tails[i])};
		h->msg_iov = pieces[i];
		h->msg_iovlen = 2;
		h->msg_name = names ? &senders[i] : nullptr;
		h->msg_namelen = names ? sizeof(senders[i]) : 0;
		h->msg_control = names ? received_at[i].buf : nullptr;
		h->msg_controllen = names ? sizeof(received_at[i].buf) : 0;
		h->msg_flags = 0;
	}
	return recvmmsg(fd, batch, UDP_BATCH, 0, nullptr);
}

/* Makes each received datagram of the batch one to send, as it came. */
static void
resize_pieces(int count)
{
	for (int i = 0; i < count; i++) {
		size_t len = batch[i].msg_len;
		size_t head = len < sizeof(heads[i]) ? len : sizeof(heads[i]);

		pieces[i][0].iov_len = head;
		pieces[i][1].iov_len = len - head;
	}
}

/*
 * Sends the datagrams waiting on the rule's connected socket to the client
 * that sent last, from the local address that client sent to, so that a
 * client connected to a second address of this host accepts it.  At most
 * `batches` batches a pass: the rest wait for the next, which select
 * reports at once, so that a flood delays every other rule and pair by a
 * few batches and never holds the loop.  Failures are deliberately
 * silent: a failed receive is the usual end, and a datagram that cannot
 * be sent is lost.
 */
void
drain_from_destination(forward_rule *rule, int batches)
{
	cmsghdr *cmsg;
	in_pktinfo info{};
	int n = UDP_BATCH;

	info.ipi_spec_dst = rule->client_local;
	cmsg = reinterpret_cast<cmsghdr *>(reply_from.buf);
	cmsg->cmsg_level = IPPROTO_IP;
	cmsg->cmsg_type = IP_PKTINFO;
	cmsg->cmsg_len = CMSG_LEN(sizeof(info));
	memcpy(CMSG_DATA(cmsg), &info, sizeof(info));
	while (n == UDP_BATCH && batches-- > 0) {
		if ((n = receive_batch(rule->udp_fd, false)) == -1)
			return;
		resize_pieces(n);
		for (int i = 0; i < n; i++) {
			msghdr *h = &batch[i].msg_hdr;

			h->msg_name = &rule->client_addr;
			h->msg_namelen = rule->client_addrlen;
			h->msg_control = reply_from.buf;
			h->msg_controllen = sizeof(reply_from.buf);
		}
		send_batch(rule->listen_fd, 0, n);
	}
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
 * Sends the datagrams waiting on the rule's bound socket to the
 * destination, and remembers the sender of the latest, with the local
 * address it sent to, as the client that replies go to.  At most
 * `batches` batches a pass, and failures are silent, as above.
 */
void
drain_from_clients(forward_rule *rule, int batches)
{
	msghdr *last;
	int n = UDP_BATCH;

	while (n == UDP_BATCH && batches-- > 0) {
		if ((n = receive_batch(rule->listen_fd, true)) == -1)
			return;
		last = &batch[n - 1].msg_hdr;
		memcpy(&rule->client_addr, &senders[n - 1],
		    sizeof(rule->client_addr));
		rule->client_addrlen = last->msg_namelen;
		rule->client_local = local_address(last);
		resize_pieces(n);
		for (int i = 0; i < n; i++) {
			msghdr *h = &batch[i].msg_hdr;

			h->msg_name = nullptr;
			h->msg_namelen = 0;
			h->msg_control = nullptr;
			h->msg_controllen = 0;
		}
		send_batch(rule->udp_fd, 0, n);
	}
}

/*
 * While datagrams wait in the backlog, no UDP socket is read (nothing
 * could take what it holds), and the backlog's socket is watched for
 * room.
 */
void
udp_interest(const forward_rule *rules, int rule_count, fd_set *read_set,
    fd_set *write_set)
{
	if (backlog.fd == -1)
		return;
	for (int i = 0; i < rule_count; i++) {
		if (rules[i].proto == PROTO_UDP) {
			FD_CLR(rules[i].listen_fd, read_set);
			FD_CLR(rules[i].udp_fd, read_set);
		}
	}
	watch_fd(backlog.fd, write_set);
}

/*
 * Sends what waits in the backlog once its socket has room; the drains
 * take up their work in the next pass.
 */
void
udp_resume(const fd_set *write_set)
{
	if (backlog.fd != -1 && FD_ISSET(backlog.fd, write_set))
		send_batch(backlog.fd, backlog.next, backlog.count);
}
