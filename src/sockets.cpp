/*
 * Socket set-up: the local endpoint of every rule, the connected UDP socket
 * of every UDP rule, and the outbound socket of every TCP connection.
 * Every socket made here is non-blocking.
 */
#include <sys/socket.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <arpa/inet.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "brennix.h"

/*
 * Sets an integer socket option; returns what setsockopt returns.
 */
int
set_option(int fd, int level, int name, int value)
{
	return setsockopt(fd, level, name, &value, sizeof(value));
}

/*
 * Chooses what a close of fd does, brennix's own or the kernel's when the
 * process dies: with reset, a reset that discards what the socket holds;
 * without, an orderly end after it, which the kernel finishes alone.
 * Returns what setsockopt returns.
 */
int
set_close_reset(int fd, bool reset)
{
	linger l = {reset ? 1 : 0, 0};

	return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

/*
 * The options of either socket of a TCP pair.  On a rule's listening
 * socket they are set once, and every accepted socket inherits them; an
 * outbound socket also bounds its connect.
 *
 * A close resets until brennix hands the socket an orderly end
 * (pair_end.cpp), so that when brennix dies, killed or stopped, its
 * kernel resets every stream it has not handed over whole, and no reader
 * takes a cut-off stream for a complete one.  No Nagle: the pump writes
 * at most RELAY_BUFSIZE bytes at a time, and the short last piece of a
 * reply would wait for the peer's delayed ack.  TCP_INQ makes every read
 * tell how many bytes are left behind it, which the pump needs to decide
 * MSG_MORE.  Failing to set either only costs speed.  Urgent bytes
 * (telnet's Synch, FTP's abort) are read in their place in the stream, or
 * they would be lost; their urgency is not relayed.  Keepalive finds an
 * idle peer whose host vanished without a word, and the SYN count bounds
 * a connect that is never answered, so that no slot is held for nobody.
 * There is no user timeout: it would also end a live peer that keeps its
 * window shut, a reader that is paused.  Returns the step that failed, or
 * nullptr.
 */
static const char *
set_pair_options(int fd, bool outbound)
{
	(void)set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
	(void)set_option(fd, IPPROTO_TCP, TCP_INQ, 1);
	if (set_close_reset(fd, true) == -1)
		return "setsockopt-linger";
	if (set_option(fd, SOL_SOCKET, SO_OOBINLINE, 1) == -1)
		return "setsockopt-oobinline";
	if (set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1) == -1 ||
	    set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE) == -1 ||
	    set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL) ==
	        -1 ||
	    set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_COUNT) == -1)
		return "setsockopt-keepalive";
	/* On a listener it would count the SYN-ACKs of every handshake. */
	if (outbound &&
	    set_option(fd, IPPROTO_TCP, TCP_SYNCNT, CONNECT_SYN_RETRIES) == -1)
		return "setsockopt-syncnt";
	return nullptr;
}

/*
 * A UDP socket's queue is where datagrams are lost when a burst comes
 * faster than the loop drains it: ask for room for bursts.  The kernel
 * gives at most net.core.rmem_max, the administrator's choice, and says
 * nothing; neither does this.
 */
static void
hold_bursts(int fd)
{
	(void)set_option(fd, SOL_SOCKET, SO_RCVBUF, UDP_RCVBUF);
}

/*
 * Returns a non-blocking socket of type SOCK_STREAM (listening) or SOCK_DGRAM
 * bound to port on all interfaces; only the low 16 bits of port are used.
 * A UDP socket reports each datagram's local address (IP_PKTINFO).
 * Every failure ends the process through die.
 */
int
setup_listen_socket(int backlog, int port, int type)
{
	const char *step;
	sockaddr_in addr;
	int fd;

	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	addr.sin_port = htons(static_cast<uint16_t>(port));

	if ((fd = socket(AF_INET, type | SOCK_NONBLOCK, 0)) == -1)
		die("socket");
	/*
	 * On a TCP port, SO_REUSEADDR lets a restart bind while old pairs
	 * sit in TIME_WAIT.  On a UDP port it would let any other socket
	 * that sets it share the port and take its datagrams, so UDP ports
	 * are bound exclusively.
	 */
	if (type == SOCK_STREAM &&
	    set_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) == -1)
		die("setsockopt-reuseaddr");
	if (type == SOCK_STREAM && (step = set_pair_options(fd, false)))
		die(step);
	/* Tells each datagram's local address, for the reply's source. */
	if (type == SOCK_DGRAM &&
	    set_option(fd, IPPROTO_IP, IP_PKTINFO, 1) == -1)
		die("setsockopt-pktinfo");
	if (type == SOCK_DGRAM)
		hold_bursts(fd);
	if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == -1)
		die("bind");
	if (type == SOCK_STREAM && listen(fd, backlog) == -1)
		die("listen");
	if (verbose)
		printf("listening to port %u on fd %d\n",
		    static_cast<unsigned>(port), fd);
	return fd;
}

static int
connect_failed(int fd, const char *step, connect_status *status)
{
	perror(step);
	if (fd != -1)
		close(fd);
	*status = CONNECT_FAILED;
	return -1;
}

/*
 * Returns a non-blocking socket of type SOCK_STREAM or SOCK_DGRAM and starts
 * connecting it to addr, with the outcome in *status: CONNECT_DONE,
 * CONNECT_PENDING, or CONNECT_REFUSED (the socket is returned open; closing
 * it is the caller's job).  On any other failure prints one perror line,
 * closes what it opened, stores CONNECT_FAILED and returns -1.
 */
int
setup_connect_socket(int type, const sockaddr_in *addr, socklen_t addrlen,
    connect_status *status)
{
	const char *step;
	int fd;

	if ((fd = socket(AF_INET, type | SOCK_NONBLOCK, 0)) == -1)
		return connect_failed(fd, "setup_connect_socket", status);
	if (!fd_selectable(fd)) {
		/* Never connect what the loop could not watch. */
		errno = EMFILE;
		return connect_failed(fd, "setup_connect_socket", status);
	}
	if (type == SOCK_STREAM && (step = set_pair_options(fd, true)))
		return connect_failed(fd, step, status);
	if (type == SOCK_DGRAM)
		hold_bursts(fd);

	if (connect(fd, reinterpret_cast<const sockaddr *>(addr), addrlen) == 0)
		*status = CONNECT_DONE;
	else if (errno == ECONNREFUSED) {
		*status = CONNECT_REFUSED;
		if (verbose)
			puts("connection refused when connecting to "
			     "destination host");
	} else if (errno == EINPROGRESS)
		*status = CONNECT_PENDING;
	else
		return connect_failed(fd, "connect", status);
	return fd;
}

/*
 * Opens every rule's local socket and, for UDP rules, the socket connected
 * to the destination; marks every slot free.  Sockets come out in rule
 * order.  Any failure ends the process with status 1.
 */
void
setup_forwards(forward_rule *rules, int rule_count, conn_slot *slots,
    int slot_count)
{
	for (int i = 0; i < rule_count; i++) {
		forward_rule *rule = &rules[i];
		int type = rule->proto == PROTO_TCP ? SOCK_STREAM : SOCK_DGRAM;

		rule->listen_fd =
		    setup_listen_socket(LISTEN_BACKLOG, rule->local_port, type);
		if (rule->proto != PROTO_UDP)
			continue;

		/* Connecting a UDP socket sends nothing: only local errors. */
		connect_status status;
		rule->udp_fd = setup_connect_socket(SOCK_DGRAM,
		    &rule->dest_addr, sizeof(rule->dest_addr), &status);
		if (status == CONNECT_FAILED)
			exit(1);
		memset(&rule->client_addr, 0, sizeof(rule->client_addr));
		rule->client_addrlen = sizeof(rule->client_addr);
		rule->client_local.s_addr = htonl(INADDR_ANY);
		udp_setup(rule);
	}
	for (int i = 0; i < slot_count; i++)
		slots[i].user_fd = -1;
}
