/*
 * The TCP stream pump: what a pair asks select for, and how its bytes move
 * between the two sockets through the slot's buffers.  How a pair ends is
 * in pair_end.cpp.
 */
#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "brennix.h"

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
 * Adds a pair's descriptors to the sets: a socket is written to while
 * bytes wait for it, and read from while its buffer has room.  A partly
 * sent full buffer takes nothing new until it is empty.  A connecting pair
 * waits for its connect, and reads the user meanwhile so that one who
 * leaves is seen.  Once a side has ended, the open side is read only to
 * drop what it sends, and a side that refused a write until the end of
 * what it sent.  A pair that waits for its open side's peer to
 * acknowledge what it was sent asks select only for what that side sends
 * and, while its kernel holds bytes it has not sent, for the moment it
 * has sent them all.
 */
void
slot_interest(const conn_slot *slot, fd_set *read_set, fd_set *write_set)
{
	switch (slot->state) {
	case SLOT_IDLE:
		return;
	case SLOT_CONNECTING:
		watch_fd(slot->server_fd, read_set);
		watch_fd(slot->server_fd, write_set);
		if (slot->ended == END_NONE &&
		    has_room(slot->to_server, slot->to_server_end))
			watch_fd(slot->user_fd, read_set);
		return;
	case SLOT_LINGERING:
		watch_fd(open_side_fd(slot), read_set);
		[[fallthrough]];
	case SLOT_ACKING:
		if (slot->unsent)
			watch_fd(open_side_fd(slot), write_set);
		return;
	case SLOT_CONNECTED:
	case SLOT_DRAINING:
	case SLOT_FLUSHING:
		break;
	}
	if (has_pending(slot->to_server_pos, slot->to_server_end))
		watch_fd(slot->server_fd, write_set);
	if (has_pending(slot->to_user_pos, slot->to_user_end))
		watch_fd(slot->user_fd, write_set);
	if (slot->state == SLOT_CONNECTED) {
		if (has_room(slot->to_user, slot->to_user_end))
			watch_fd(slot->server_fd, read_set);
		if (has_room(slot->to_server, slot->to_server_end))
			watch_fd(slot->user_fd, read_set);
		return;
	}
	if (slot->state == SLOT_DRAINING)
		watch_fd(open_side_fd(slot), read_set);
	if (slot->ended == END_USER_REFUSED &&
	    has_room(slot->to_server, slot->to_server_end))
		watch_fd(slot->user_fd, read_set);
	if (slot->ended == END_SERVER_REFUSED &&
	    has_room(slot->to_user, slot->to_user_end))
		watch_fd(slot->server_fd, read_set);
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
 * Reads from fd into buf, at most len bytes, and keeps in *queued what the
 * read left behind on the socket.  Returns what recvmsg returns.
 */
static ssize_t
read_side(int fd, char *buf, size_t len, int *queued)
{
	union {
		cmsghdr align;
		char buf[CMSG_SPACE(sizeof(int))];
	} control;
	iovec iov = {buf, len};
	msghdr msg{};
	ssize_t n;

	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	msg.msg_control = control.buf;
	msg.msg_controllen = sizeof(control.buf);
	if ((n = recvmsg(fd, &msg, 0)) > 0)
		*queued = bytes_left(&msg);
	else if (n == -1 && errno == EAGAIN)
		*queued = 0;
	return n;
}

/*
 * Reads what from_fd has into buf at *end and marks to_fd for a write in
 * this very pass.  Returns false when the slot's work for this pass is
 * over: nothing to read yet, or from_fd's side ended.
 */
static bool
fill(conn_slot *slot, int from_fd, int to_fd, char *buf, char **end,
    int *queued, fd_set *write_set)
{
	size_t room = static_cast<size_t>(buf + RELAY_BUFSIZE - *end);
	ssize_t n;
	int error;

	if (room == 0)
		return true; /* a zero-length read would look like the end */
	if ((n = read_side(from_fd, *end, room, queued)) == -1) {
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
	FD_SET(to_fd, write_set);
	return true;
}

/*
 * Reads the open side of an ended pair and drops what it sent, into the
 * buffer already dropped toward the ended side, so that a peer blocked in
 * its own write goes on reading what is written out to it.  Returns false
 * when the slot's work for this pass is over.
 */
static bool
discard(conn_slot *slot, const fd_set *read_set)
{
	int fd = open_side_fd(slot);
	bool user_side = fd == slot->user_fd;
	char *scratch = user_ended(slot) ? slot->to_user : slot->to_server;
	ssize_t n;
	int error;

	if (!FD_ISSET(fd, read_set) ||
	    (n = read_side(fd, scratch, RELAY_BUFSIZE,
	         user_side ? &slot->user_queued : &slot->server_queued)) > 0)
		return true;
	if (n == 0) {
		end_side(slot, user_side, 0, false);
		return false;
	}
	if ((error = errno) == EAGAIN)
		return false;
	perror("server_read");
	end_side(slot, user_side, error, false);
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
	slot->sent = true;
	return true;
}

/*
 * Moves a pair's bytes after select: destination to buffer, user to
 * buffer, buffer to destination, buffer to user.  A connecting pair only
 * reads the user.  Once a side has ended, a side that refused a write is
 * read into its buffer, and what the open side sends is dropped, before
 * the rest is written out; with nothing left to write, the pair ends.  A
 * lingering pair drops what its open side sends, and goes on once that
 * side's kernel has sent all it held (all_sent).  A step that has to
 * wait, or that closes the pair, ends the slot's work for this pass.
 */
void
pump_slot(conn_slot *slot, fd_set *read_set, fd_set *write_set)
{
	bool connected = slot->state == SLOT_CONNECTED;

	switch (slot->state) {
	case SLOT_IDLE:
		return;
	case SLOT_CONNECTING:
		if (FD_ISSET(slot->user_fd, read_set))
			(void)fill(slot, slot->user_fd, slot->server_fd,
			    slot->to_server, &slot->to_server_end,
			    &slot->user_queued, write_set);
		return;
	case SLOT_LINGERING:
	case SLOT_ACKING:
		if (slot->unsent && FD_ISSET(open_side_fd(slot), write_set))
			all_sent(slot);
		if (slot->state == SLOT_LINGERING)
			(void)discard(slot, read_set);
		return;
	case SLOT_CONNECTED:
	case SLOT_DRAINING:
	case SLOT_FLUSHING:
		break;
	}
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
	if (!connected && !refused(slot) && nothing_pending(slot))
		(void)end_pair(slot);
}
