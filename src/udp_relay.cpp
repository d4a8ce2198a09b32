/*
 * The UDP relay: a rule's datagrams from its clients to the destination,
 * and the destination's back to the client that sent last.  No slots, no
 * state but the rule's own.
 */
#include <sys/socket.h>

#include <netinet/in.h>

#include <string.h>
#include <unistd.h>

#include <span>

#include "brennix.h"

/* Room for the one control message either drain uses: IP_PKTINFO. */
union pktinfo_control {
	cmsghdr align;
	char buf[CMSG_SPACE(sizeof(in_pktinfo))];
};

/*
 * Sends every datagram waiting on the rule's connected socket to the client
 * that sent last, from the local address that client sent to, so that a
 * client connected to a second address of this host accepts it.  Failures
 * are deliberately silent: a failed receive is the usual end (nothing more
 * waiting), a failed send loses one datagram.
 */
void
drain_from_destination(forward_rule *rule, std::span<char> buf)
{
	pktinfo_control control{};
	iovec iov;
	msghdr msg{};
	cmsghdr *cmsg;
	in_pktinfo info{};
	ssize_t n;

	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	msg.msg_control = control.buf;
	msg.msg_controllen = sizeof(control.buf);
	cmsg = CMSG_FIRSTHDR(&msg);
	cmsg->cmsg_level = IPPROTO_IP;
	cmsg->cmsg_type = IP_PKTINFO;
	cmsg->cmsg_len = CMSG_LEN(sizeof(info));
	info.ipi_spec_dst = rule->client_local;
	memcpy(CMSG_DATA(cmsg), &info, sizeof(info));

	while ((n = read(rule->udp_fd, buf.data(), buf.size())) != -1) {
		msg.msg_name = &rule->client_addr;
		msg.msg_namelen = rule->client_addrlen;
		iov.iov_base = buf.data();
		iov.iov_len = static_cast<size_t>(n);
		if (sendmsg(rule->listen_fd, &msg, MSG_NOSIGNAL) != n)
			return;
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
 * Sends every datagram waiting on the rule's bound socket to the
 * destination, and remembers the sender of each, with the local address it
 * sent to, as the client that replies go to.  Failures are silent, as
 * above.
 */
void
drain_from_clients(forward_rule *rule, std::span<char> buf)
{
	pktinfo_control control;
	iovec iov{buf.data(), buf.size()};
	msghdr msg{};
	ssize_t n;

	for (;;) {
		msg.msg_name = &rule->client_addr;
		msg.msg_namelen = rule->client_addrlen;
		msg.msg_iov = &iov;
		msg.msg_iovlen = 1;
		msg.msg_control = control.buf;
		msg.msg_controllen = sizeof(control.buf);
		if ((n = recvmsg(rule->listen_fd, &msg, 0)) == -1)
			return;
		rule->client_addrlen = msg.msg_namelen;
		rule->client_local = local_address(&msg);
		if (send(rule->udp_fd, buf.data(), static_cast<size_t>(n),
		        MSG_NOSIGNAL) != n)
			return;
	}
}
