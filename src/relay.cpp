/*
 * The relay engine: the connection slots, the select loop that accepts and
 * connects TCP pairs, the stream pump that moves their bytes, and the UDP
 * datagram relay.
 */
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <linux/sockios.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "brennix.h"

/* Slot table. */

static bool
has_pending(const char *pos, const char *end)
{
	return pos != end;
}

static bool
has_room(const char *buf, const char *end)
{
	return end < buf + RELAY_BUFSIZE;
}

/*
 * Returns the index of the lowest free slot, or -1 when all are in use.
 */
int
find_free_slot(const conn_slot *slots, int slot_count)
{
	for (int i = 0; i < slot_count; i++) {
		if (slots[i].user_fd == -1)
			return i;
	}
	return -1;
}

/*
 * Makes the close of fd a reset, unless the kernel still holds bytes for
 * its peer: a reset would throw them away, so those go first, with an
 * orderly close.
 */
static void
reset_on_close(int fd)
{
	linger abort = {1, 0};
	int queued;

	if (ioctl(fd, SIOCOUTQ, &queued) == 0 && queued == 0)
		(void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort,
		    sizeof(abort));
}

/*
 * Closes both sockets of a pair and frees its slot.  When one side ended
 * at a failure, the other is reset.  The buffers keep their bytes; the
 * next accept resets the pointers before use.
 */
void
close_slot(conn_slot *slot)
{
	switch (slot->ended) {
	case END_USER_RESET:
	case END_USER_REFUSED:
		if (slot->server_fd != -1)
			reset_on_close(slot->server_fd);
		break;
	case END_SERVER_RESET:
	case END_SERVER_REFUSED:
		reset_on_close(slot->user_fd);
		break;
	case END_NONE:
	case END_USER:
	case END_SERVER:
		break;
	}
	close(slot->user_fd);
	if (slot->server_fd != -1)
		close(slot->server_fd);
	slot->state = SLOT_IDLE;
	slot->ended = END_NONE;
	slot->server_fd = -1;
	slot->user_fd = -1;
}

/* Event loop. */

static bool fill(conn_slot *slot, int from_fd, int to_fd, char *buf, char **end,
    int *queued, fd_set *write_set);

/*
 * select looks at descriptors below this count only.  The loop fixes it
 * before its first pass; a descriptor at or above it is never watched.
 */
static int select_count = SELECT_LIMIT;

static bool
fd_selectable(int fd)
{
	return fd >= 0 && fd < select_count;
}

static void
watch_fd(int fd, fd_set *set)
{
	if (fd_selectable(fd))
		FD_SET(fd, set);
}

static void
build_master_set(const forward_rule *rules, int rule_count, fd_set *master)
{
	FD_ZERO(master);
	for (int i = 0; i < rule_count; i++) {
		const forward_rule *rule = &rules[i];

		/* Only many inherited descriptors can push these so high. */
		if (!fd_selectable(rule->listen_fd) ||
		    (rule->proto == PROTO_UDP && !fd_selectable(rule->udp_fd)))
			errx(1, "too many open descriptors for select");
		FD_SET(rule->listen_fd, master);
		if (rule->proto == PROTO_UDP)
			FD_SET(rule->udp_fd, master);
	}
}

static void
add_slot_interest(const conn_slot *slots, int slot_count, fd_set *read_set,
    fd_set *write_set)
{
	for (int i = 0; i < slot_count; i++) {
		const conn_slot *slot = &slots[i];

		if (slot->user_fd == -1)
			continue;
		switch (slot->state) {
		case SLOT_CONNECTING:
			watch_fd(slot->server_fd, read_set);
			watch_fd(slot->server_fd, write_set);
			/* A user who leaves while it waits frees the slot. */
			if (slot->ended == END_NONE &&
			    has_room(slot->to_server, slot->to_server_end))
				watch_fd(slot->user_fd, read_set);
			break;
		case SLOT_CONNECTED:
		case SLOT_DRAINING:
			slot_interest(slot, read_set, write_set);
			break;
		case SLOT_IDLE:
			break;
		}
	}
}

/*
 * A descriptor held in reserve: when the process has run out, it is given
 * up for a moment to accept the waiting connection and close it, so that
 * the listening socket does not stay readable and the loop spin.
 */
static int spare_fd = -1;

static void
take_spare_fd()
{
	int fd, high;

	if ((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) == -1)
		return;
	/* Above the descriptors select watches, where the limit allows. */
	if ((high = fcntl(fd, F_DUPFD_CLOEXEC, SELECT_LIMIT)) != -1) {
		close(fd);
		fd = high;
	}
	spare_fd = fd;
}

static void
refuse_with_spare_fd(int listen_fd)
{
	int fd;

	if (spare_fd == -1)
		take_spare_fd();
	if (spare_fd == -1)
		return;
	close(spare_fd);
	if ((fd = accept(listen_fd, nullptr, nullptr)) != -1)
		close(fd);
	spare_fd = -1;
	take_spare_fd();
}

/*
 * Accepts one connection on a TCP rule, gives it the lowest free slot and
 * starts connecting it to the rule's destination.  A connection that finds
 * no slot, or whose sockets select could not watch, is closed at once.
 */
static void
open_pair(const forward_rule *rule, conn_slot *slots, int slot_count)
{
	connect_status status;
	conn_slot *slot;
	int user_fd, i;

	user_fd = accept4(rule->listen_fd, nullptr, nullptr, SOCK_NONBLOCK);
	if (user_fd == -1) {
		if (errno == EMFILE || errno == ENFILE)
			refuse_with_spare_fd(rule->listen_fd);
		return; /* failed accepts are silent; the next pass retries */
	}
	if ((i = find_free_slot(slots, slot_count)) == -1 ||
	    !fd_selectable(user_fd)) {
		close(user_fd);
		return;
	}

	slot = &slots[i];
	slot->to_server_end = slot->to_server_pos = slot->to_server;
	slot->to_user_end = slot->to_user_pos = slot->to_user;
	slot->state = SLOT_IDLE;
	slot->ended = END_NONE;
	slot->user_queued = slot->server_queued = 0;
	slot->server_fd = -1;
	slot->user_fd = user_fd;
	if (verbose)
		fprintf(stderr, "connected to user on fd %d\n", user_fd);

	slot->server_fd = setup_connect_socket(SOCK_STREAM, &rule->dest_addr,
	    sizeof(rule->dest_addr), &status);
	if (verbose)
		fprintf(stderr, "nonblocking connect returned %d\n", status);
	if (slot->server_fd != -1 && !fd_selectable(slot->server_fd)) {
		close_slot(slot);
		return;
	}
	switch (status) {
	case CONNECT_PENDING:
		slot->state = SLOT_CONNECTING;
		break;
	case CONNECT_DONE:
		slot->state = SLOT_CONNECTED;
		break;
	case CONNECT_REFUSED:
	case CONNECT_FAILED:
		close_slot(slot);
		break;
	}
}

/*
 * Completes or abandons a connect that select reported on.  A zero-length
 * read does not look at the socket's error on every system; SO_ERROR does.
 * A user who already left has its bytes written out before the pair closes.
 */
static void
finish_connect(conn_slot *slot, const fd_set *read_set, const fd_set *write_set)
{
	int error = 0;
	socklen_t len = sizeof(error);

	if (!FD_ISSET(slot->server_fd, read_set) &&
	    !FD_ISSET(slot->server_fd, write_set))
		return;
	if (getsockopt(slot->server_fd, SOL_SOCKET, SO_ERROR, &error, &len))
		error = errno;
	if (error != 0) {
		close_slot(slot); /* a failed connect is silent */
		return;
	}
	slot->state = slot->ended == END_NONE ? SLOT_CONNECTED : SLOT_DRAINING;
}

/*
 * A connecting slot: the connect test, then the user read into to_server
 * while the connect waits.  A connect that completes is pumped at once:
 * select has just found the socket writable, and the user's first bytes
 * may be waiting.
 */
static void
serve_connecting(conn_slot *slot, fd_set *read_set, fd_set *write_set)
{
	finish_connect(slot, read_set, write_set);
	if (slot->user_fd == -1)
		return; /* the connect failed */
	if (slot->state != SLOT_CONNECTING)
		pump_slot(slot, read_set, write_set);
	else if (FD_ISSET(slot->user_fd, read_set))
		(void)fill(slot, slot->user_fd, slot->server_fd,
		    slot->to_server, &slot->to_server_end, &slot->user_queued,
		    write_set);
}

static void
serve_rules(forward_rule *rules, int rule_count, conn_slot *slots,
    int slot_count, const fd_set *read_set, std::span<char> datagram)
{
	for (int i = 0; i < rule_count; i++) {
		forward_rule *rule = &rules[i];

		if (rule->proto == PROTO_UDP) {
			if (FD_ISSET(rule->udp_fd, read_set))
				drain_from_destination(rule, datagram);
			if (FD_ISSET(rule->listen_fd, read_set))
				drain_from_clients(rule, datagram);
		} else if (FD_ISSET(rule->listen_fd, read_set))
			open_pair(rule, slots, slot_count);
	}
}

static void
serve_slots(conn_slot *slots, int slot_count, fd_set *read_set,
    fd_set *write_set)
{
	for (int i = 0; i < slot_count; i++) {
		conn_slot *slot = &slots[i];

		if (slot->user_fd == -1)
			continue;
		switch (slot->state) {
		case SLOT_CONNECTING:
			serve_connecting(slot, read_set, write_set);
			break;
		case SLOT_CONNECTED:
		case SLOT_DRAINING:
			pump_slot(slot, read_set, write_set);
			break;
		case SLOT_IDLE:
			break;
		}
	}
}

/*
 * Relays traffic for every rule until the process is killed.  The rule
 * sockets must be open (setup_forwards).  Only a failing select ends it,
 * through die.
 */
void
forward_loop(forward_rule *rules, int rule_count, conn_slot *slots,
    int slot_count)
{
	/* Shared by every UDP rule; static to keep 64 KiB off the stack. */
	static std::array<char, DATAGRAM_BUFSIZE> datagram;
	fd_set master_set, read_set, write_set;

	select_count = std::min(getdtablesize(), SELECT_LIMIT - 1) + 1;
	build_master_set(rules, rule_count, &master_set);
	take_spare_fd();
	if (spare_fd == -1)
		errx(1, "too few descriptors");
	for (;;) {
		/* select overwrites its sets: start each pass from copies. */
		read_set = master_set;
		FD_ZERO(&write_set);
		add_slot_interest(slots, slot_count, &read_set, &write_set);
		if (select(select_count, &read_set, &write_set, nullptr,
		        nullptr) == -1) {
			if (errno == EINTR)
				continue;
			die("select error");
		}
		serve_rules(rules, rule_count, slots, slot_count, &read_set,
		    datagram);
		serve_slots(slots, slot_count, &read_set, &write_set);
	}
}

/* TCP stream pump. */

static bool
user_ended(const conn_slot *slot)
{
	return slot->ended == END_USER || slot->ended == END_USER_RESET ||
	    slot->ended == END_USER_REFUSED;
}

static bool
refused(const conn_slot *slot)
{
	return slot->ended == END_USER_REFUSED ||
	    slot->ended == END_SERVER_REFUSED;
}

/* The socket of the side that has not ended, in a draining pair. */
static int
open_side_fd(const conn_slot *slot)
{
	return user_ended(slot) ? slot->server_fd : slot->user_fd;
}

/*
 * Adds a connected pair's descriptors to the sets: a socket is written to
 * while bytes wait for it, and read from while its buffer has room.  A
 * partly sent full buffer takes nothing new until it is empty.  A draining
 * pair reads its open side only to drop what it sends, and a side that
 * refused a write until the end of what it sent.
 */
void
slot_interest(const conn_slot *slot, fd_set *read_set, fd_set *write_set)
{
	if (has_pending(slot->to_server_pos, slot->to_server_end))
		watch_fd(slot->server_fd, write_set);
	if (has_pending(slot->to_user_pos, slot->to_user_end))
		watch_fd(slot->user_fd, write_set);
	if (slot->state == SLOT_DRAINING) {
		watch_fd(open_side_fd(slot), read_set);
		if (slot->ended == END_USER_REFUSED &&
		    has_room(slot->to_server, slot->to_server_end))
			watch_fd(slot->user_fd, read_set);
		if (slot->ended == END_SERVER_REFUSED &&
		    has_room(slot->to_user, slot->to_user_end))
			watch_fd(slot->server_fd, read_set);
		return;
	}
	if (has_room(slot->to_user, slot->to_user_end))
		watch_fd(slot->server_fd, read_set);
	if (has_room(slot->to_server, slot->to_server_end))
		watch_fd(slot->user_fd, read_set);
}

/*
 * What a read left on its socket, as TCP_INQ reports it with the read; 0
 * when it does not.
 */
static int
bytes_left(msghdr *msg)
{
	cmsghdr *c = CMSG_FIRSTHDR(msg);
	int left = 0;

	if (c != nullptr && c->cmsg_level == SOL_TCP &&
	    c->cmsg_type == TCP_CM_INQ)
		memcpy(&left, CMSG_DATA(c), sizeof(left));
	return left;
}

/*
 * Ends one side of a pair: at its end of stream (error 0), at a failed
 * read (error), or at a failed write (error, writing).  Failures have been
 * reported by the caller.  What was buffered toward the side is dropped,
 * and what is buffered toward the other side is written out before the
 * pair closes; a pair still connecting waits for the connect first.  A
 * side that failed a write is read on until the end of what it sent, and
 * that is delivered too.  When the other side had ended already, nothing
 * is left to deliver and the pair closes.
 */
static void
end_side(conn_slot *slot, bool user_side, int error, bool writing)
{
	side_end plain = user_side ? END_USER : END_SERVER;
	side_end reset = user_side ? END_USER_RESET : END_SERVER_RESET;
	side_end refuse = user_side ? END_USER_REFUSED : END_SERVER_REFUSED;

	if (slot->ended != END_NONE && slot->ended != refuse) {
		close_slot(slot);
		return;
	}
	if (writing)
		slot->ended = refuse;
	else
		slot->ended =
		    error != 0 || slot->ended == refuse ? reset : plain;
	if (user_side)
		slot->to_user_end = slot->to_user_pos = slot->to_user;
	else
		slot->to_server_end = slot->to_server_pos = slot->to_server;

	if (slot->state == SLOT_CONNECTED)
		slot->state = SLOT_DRAINING;
	if (!refused(slot) &&
	    !has_pending(slot->to_server_pos, slot->to_server_end) &&
	    !has_pending(slot->to_user_pos, slot->to_user_end))
		close_slot(slot);
}

/*
 * Reads what from_fd has into buf at *end, keeps in *queued what the read
 * left behind on the socket, and marks to_fd for a write in this very pass.
 * Returns false when the slot's work for this pass is over: nothing to read
 * yet, or from_fd's side ended.
 */
static bool
fill(conn_slot *slot, int from_fd, int to_fd, char *buf, char **end,
    int *queued, fd_set *write_set)
{
	union {
		cmsghdr align;
		char buf[CMSG_SPACE(sizeof(int))];
	} control;
	iovec iov = {*end, static_cast<size_t>(buf + RELAY_BUFSIZE - *end)};
	msghdr msg{};
	ssize_t n;
	int error;

	if (iov.iov_len == 0)
		return true; /* a zero-length read would look like the end */
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	msg.msg_control = control.buf;
	msg.msg_controllen = sizeof(control.buf);
	if ((n = recvmsg(from_fd, &msg, 0)) == -1) {
		if ((error = errno) == EAGAIN)
			return false;
		perror("server_read");
		end_side(slot, from_fd == slot->user_fd, error, false);
		return false;
	}
	if (n == 0) {
		end_side(slot, from_fd == slot->user_fd, 0, false);
		return false;
	}
	*end += n;
	*queued = bytes_left(&msg);
	FD_SET(to_fd, write_set);
	return true;
}

/*
 * Reads the open side of a draining pair and drops what it sent, into the
 * buffer already dropped toward the ended side, so that a peer blocked in
 * its own write goes on reading what is written out to it.  Returns false
 * when the slot's work for this pass is over.
 */
static bool
discard(conn_slot *slot, const fd_set *read_set)
{
	int fd = open_side_fd(slot);
	char *scratch = user_ended(slot) ? slot->to_user : slot->to_server;
	ssize_t n;
	int error;

	if (!FD_ISSET(fd, read_set) ||
	    (n = read(fd, scratch, RELAY_BUFSIZE)) > 0)
		return true;
	if (n == 0) {
		end_side(slot, fd == slot->user_fd, 0, false);
		return false;
	}
	if ((error = errno) == EAGAIN)
		return false;
	perror("server_read");
	end_side(slot, fd == slot->user_fd, error, false);
	return false;
}

/*
 * Writes the bytes pending in buf to to_fd in one call.  A full buffer goes
 * out with MSG_MORE while its source held more at its last read (queued),
 * so that the kernel joins the pieces into full segments; anything else,
 * the last piece of a reply above all, is pushed out at once.  Returns
 * false when the slot's work for this pass is over.
 */
static bool
flush(conn_slot *slot, int to_fd, int queued, char *buf, char **pos, char **end,
    const char *step)
{
	size_t len = static_cast<size_t>(*end - *pos);
	int flags = MSG_NOSIGNAL;
	int error;
	ssize_t n;

	if (len == RELAY_BUFSIZE && queued > 0)
		flags |= MSG_MORE;
	if ((n = send(to_fd, *pos, len, flags)) == -1) {
		if ((error = errno) == EAGAIN)
			return false;
		perror(step);
		end_side(slot, to_fd == slot->user_fd, error, true);
		return false;
	}
	*pos += n;
	if (*pos == *end)
		*pos = *end = buf;
	return true;
}

/*
 * Moves a connected pair's bytes after select: destination to buffer, user
 * to buffer, buffer to destination, buffer to user.  A draining pair reads
 * a side that refused a write into its buffer, and drops what the open
 * side sends, before it writes out.  A step that has to wait, or that
 * closes the pair, ends the slot's work for this pass.
 */
void
pump_slot(conn_slot *slot, fd_set *read_set, fd_set *write_set)
{
	bool connected = slot->state == SLOT_CONNECTED;

	if ((connected || slot->ended == END_SERVER_REFUSED) &&
	    FD_ISSET(slot->server_fd, read_set) &&
	    !fill(slot, slot->server_fd, slot->user_fd, slot->to_user,
	        &slot->to_user_end, &slot->server_queued, write_set))
		return;
	if ((connected || slot->ended == END_USER_REFUSED) &&
	    FD_ISSET(slot->user_fd, read_set) &&
	    !fill(slot, slot->user_fd, slot->server_fd, slot->to_server,
	        &slot->to_server_end, &slot->user_queued, write_set))
		return;
	if (slot->state == SLOT_DRAINING && !discard(slot, read_set))
		return;
	if (FD_ISSET(slot->server_fd, write_set) &&
	    has_pending(slot->to_server_pos, slot->to_server_end) &&
	    !flush(slot, slot->server_fd, slot->user_queued, slot->to_server,
	        &slot->to_server_pos, &slot->to_server_end, "server_write"))
		return;
	if (FD_ISSET(slot->user_fd, write_set) &&
	    has_pending(slot->to_user_pos, slot->to_user_end) &&
	    !flush(slot, slot->user_fd, slot->server_queued, slot->to_user,
	        &slot->to_user_pos, &slot->to_user_end, "user_write"))
		return;
	if (slot->state == SLOT_DRAINING && !refused(slot) &&
	    !has_pending(slot->to_server_pos, slot->to_server_end) &&
	    !has_pending(slot->to_user_pos, slot->to_user_end))
		close_slot(slot);
}

/* UDP datagram relay. */

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
