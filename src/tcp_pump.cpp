/*
 * The TCP stream pump: what a pair asks select for, how its bytes move
 * between the two sockets through the slot's buffers, and how a pair ends.
 */
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <linux/sockios.h>

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

static bool
nothing_pending(const conn_slot *slot)
{
	return !has_pending(slot->to_server_pos, slot->to_server_end) &&
	    !has_pending(slot->to_user_pos, slot->to_user_end);
}

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

/* Whether the side that has not ended is reset when the pair closes. */
static bool
reset_follows(const conn_slot *slot)
{
	return slot->ended != END_USER && slot->ended != END_SERVER;
}

/* The socket of the side that has not ended, and what it held unread. */
static int
open_side_fd(const conn_slot *slot)
{
	return user_ended(slot) ? slot->server_fd : slot->user_fd;
}

static int
open_side_queued(const conn_slot *slot)
{
	return user_ended(slot) ? slot->server_queued : slot->user_queued;
}

/*
 * Adds a pair's descriptors to the sets: a socket is written to while
 * bytes wait for it, and read from while its buffer has room.  A partly
 * sent full buffer takes nothing new until it is empty.  A connecting pair
 * waits for its connect, and reads the user meanwhile so that one who
 * leaves is seen.  Once a side has ended, the open side is read only to
 * drop what it sends, and a side that refused a write until the end of
 * what it sent.  A pair that waits for its open side's peer to
 * acknowledge what it was sent has nothing for select to report but what
 * that side sends.
 */
void
slot_interest(const conn_slot *slot, fd_set *read_set, fd_set *write_set)
{
	switch (slot->state) {
	case SLOT_IDLE:
	case SLOT_ACKING:
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

/* The bytes fd's peer has yet to acknowledge, our end of stream included. */
static int
unacknowledged(int fd)
{
	int queued;

	if (ioctl(fd, SIOCOUTQ, &queued) == -1)
		return 0;
	return queued;
}

enum peer_health {
	PEER_ANSWERS, /* or cannot be told: not TCP */
	PEER_SILENT,  /* gone without a word */
	PEER_RESET,   /* the connection is gone */
};

/*
 * How fd's peer fares, for a socket that holds bytes it has yet to
 * acknowledge.  Silent: it has answered nothing for PEER_SILENCE_MS, while
 * PEER_UNANSWERED retransmissions or window probes in a row went out.  A
 * live peer answers each, however long it keeps its window shut, and every
 * answer sets the kernel's counts back to 0; the count tells an answer on
 * its way from none.  A socket that is read learns of a reset from the
 * read; one that is not keeps the count of what was never acknowledged
 * after a reset, and only its state tells.
 */
static peer_health
peer_health_of(int fd)
{
	tcp_info info;
	socklen_t len = sizeof(info);

	if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == -1)
		return PEER_ANSWERS;
	if (info.tcpi_state == TCP_CLOSE)
		return PEER_RESET;
	if ((info.tcpi_retransmits >= PEER_UNANSWERED ||
	        info.tcpi_probes >= PEER_UNANSWERED) &&
	    info.tcpi_last_ack_recv >= PEER_SILENCE_MS)
		return PEER_SILENT;
	return PEER_ANSWERS;
}

/*
 * The pair's end, once brennix holds nothing more for the open side.  A
 * close now would destroy what that side's kernel still holds for its
 * peer, and a close with input unread is a reset, so the pair closes at
 * once only when the peer has acknowledged everything and, for an orderly
 * end, sent nothing that waits unread.  Even then the open side's stream
 * is ended first: a byte that arrives after the last read still makes the
 * close a reset, but the peer reads our end of stream ahead of it.
 * Otherwise the open side lingers: for an orderly end its stream is ended
 * after the data, and the pair closes when the peer has acknowledged
 * that, ended or failed; ahead of a reset it closes when the peer has
 * acknowledged the data.  Returns true when the pair was closed.
 */
static bool
end_pair(conn_slot *slot)
{
	int fd = open_side_fd(slot);
	bool reset = reset_follows(slot);
	int unacked;

	/* An open side that ended its stream left nothing unread. */
	if (slot->state == SLOT_FLUSHING && !reset) {
		close_slot(slot);
		return true;
	}
	unacked = unacknowledged(fd);
	if (unacked == 0 && (reset || open_side_queued(slot) == 0)) {
		if (!reset)
			(void)shutdown(fd, SHUT_WR);
		close_slot(slot);
		return true;
	}
	slot->sent = true;
	slot->unacked_seen = unacked;
	if (slot->state == SLOT_FLUSHING) {
		slot->state = SLOT_ACKING;
		return false;
	}
	if (!reset)
		(void)shutdown(fd, SHUT_WR);
	slot->state = SLOT_LINGERING;
	return false;
}

/*
 * The end of stream of the side that had not ended: it sends no more, but
 * may still take what is written out to it.
 */
static void
end_open_side(conn_slot *slot)
{
	switch (slot->state) {
	case SLOT_DRAINING:
		slot->state = SLOT_FLUSHING;
		if (!refused(slot) && nothing_pending(slot))
			(void)end_pair(slot);
		break;
	case SLOT_LINGERING:
		if (reset_follows(slot))
			slot->state = SLOT_ACKING;
		else
			close_slot(slot);
		break;
	case SLOT_IDLE:
	case SLOT_CONNECTING:
	case SLOT_CONNECTED:
	case SLOT_FLUSHING:
	case SLOT_ACKING:
		break;
	}
}

/*
 * Ends one side of a pair: at its end of stream (error 0), at a failed
 * read (error), or at a failed write (error, writing).  Failures have been
 * reported by the caller.  What was buffered toward the side is dropped,
 * and what is buffered toward the other side is written out; a pair still
 * connecting waits for the connect first.  A side that ended its stream is
 * sent the end of ours.  A side that failed a write is read on until the
 * end of what it sent, and that is delivered too.  When the other side had
 * ended already, its failure closes the pair, and its end of stream only
 * stops its reading.
 */
static void
end_side(conn_slot *slot, bool user_side, int error, bool writing)
{
	side_end plain = user_side ? END_USER : END_SERVER;
	side_end reset = user_side ? END_USER_RESET : END_SERVER_RESET;
	side_end refuse = user_side ? END_USER_REFUSED : END_SERVER_REFUSED;

	if (slot->ended != END_NONE && slot->ended != refuse) {
		if (error == 0 && !writing)
			end_open_side(slot);
		else
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
	if (!refused(slot) && nothing_pending(slot)) {
		if (slot->state == SLOT_CONNECTING) {
			close_slot(slot);
			return;
		}
		if (slot->state != SLOT_CONNECTING && end_pair(slot))
			return;
	}
	if (slot->ended == plain)
		(void)shutdown(user_side ? slot->user_fd : slot->server_fd,
		    SHUT_WR);
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
 * lingering pair drops what its open side sends.  A step that has to
 * wait, or that closes the pair, ends the slot's work for this pass.
 */
void
pump_slot(conn_slot *slot, fd_set *read_set, fd_set *write_set)
{
	bool connected = slot->state == SLOT_CONNECTED;

	switch (slot->state) {
	case SLOT_IDLE:
	case SLOT_ACKING:
		return;
	case SLOT_CONNECTING:
		if (FD_ISSET(slot->user_fd, read_set))
			(void)fill(slot, slot->user_fd, slot->server_fd,
			    slot->to_server, &slot->to_server_end,
			    &slot->user_queued, write_set);
		return;
	case SLOT_LINGERING:
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

/*
 * Ends the side of fd, whose peer has gone without a word, as a keepalive
 * failure would: one line, and a reset at the close, so that its kernel
 * stops retransmitting to nobody.
 */
static void
give_up_side(conn_slot *slot, int fd)
{
	errno = ETIMEDOUT;
	perror("server_read");
	reset_on_close(fd);
	end_side(slot, fd == slot->user_fd, ETIMEDOUT, false);
}

/*
 * One look at a side of a pair that moves bytes: gives it up if its peer
 * has gone.  Returns true while bytes of its wait for an acknowledgement.
 */
static bool
watch_side(conn_slot *slot, int fd)
{
	if (unacknowledged(fd) == 0)
		return false;
	if (peer_health_of(fd) == PEER_SILENT) {
		give_up_side(slot, fd);
		return false;
	}
	return true;
}

/*
 * One look at a lingering pair: it closes once its open side's peer has
 * acknowledged everything, or once a reset it does not read has come; a
 * peer that has gone is given up.  Returns the time to the next look.
 */
static int
watch_lingering(conn_slot *slot)
{
	int fd = open_side_fd(slot);
	int unacked = unacknowledged(fd);
	bool progress = unacked < slot->unacked_seen;

	slot->unacked_seen = unacked;
	if (unacked == 0) {
		close_slot(slot);
		return 0;
	}
	if (progress)
		return LINGER_POLL_MS;
	switch (peer_health_of(fd)) {
	case PEER_SILENT:
		give_up_side(slot, fd);
		return 0;
	case PEER_RESET:
		if (slot->state == SLOT_ACKING) {
			close_slot(slot);
			return 0;
		}
		break; /* the read reports it */
	case PEER_ANSWERS:
		break;
	}
	return PEER_CHECK_MS;
}

/*
 * Looks at what the peers of a pair have yet to acknowledge, which select
 * cannot report: once a second while bytes of a pair that moves them wait,
 * and while a pair lingers, so that it closes once its open side's peer
 * has acknowledged everything.  A side whose peer has gone is given up,
 * with one "server_read" line.  After a side has ended, only the open side
 * is looked at.  Returns the time in ms to the next look, or 0 when none
 * is needed: nothing waits for an acknowledgement, or the pair closed.
 */
int
check_peers(conn_slot *slot)
{
	bool waiting = false;

	switch (slot->state) {
	case SLOT_IDLE:
	case SLOT_CONNECTING:
		return 0;
	case SLOT_LINGERING:
	case SLOT_ACKING:
		return watch_lingering(slot);
	case SLOT_CONNECTED:
		waiting = watch_side(slot, slot->user_fd);
		break;
	case SLOT_DRAINING:
	case SLOT_FLUSHING:
		break;
	}
	/* A side given up above may have ended the pair. */
	if (slot->state != SLOT_IDLE &&
	    watch_side(slot,
	        slot->state == SLOT_CONNECTED ? slot->server_fd
	                                      : open_side_fd(slot)))
		waiting = true;
	return waiting && slot->user_fd != -1 ? PEER_CHECK_MS : 0;
}
