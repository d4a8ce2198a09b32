/*
 * The end of a TCP pair: what happens when one side ends its stream or
 * fails, how the other side is written out, and when the pair closes or
 * lingers for its open side's peer to acknowledge what it was sent.
 */
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <linux/sockios.h>

#include "brennix.h"

bool
nothing_pending(const conn_slot *slot)
{
	return slot->to_server_pos == slot->to_server_end &&
	    slot->to_user_pos == slot->to_user_end;
}

bool
user_ended(const conn_slot *slot)
{
	return slot->ended == END_USER || slot->ended == END_USER_RESET ||
	    slot->ended == END_USER_REFUSED;
}

bool
refused(const conn_slot *slot)
{
	return slot->ended == END_USER_REFUSED ||
	    slot->ended == END_SERVER_REFUSED;
}

/*
 * Whether the pair ends in order: the side that ended did so at its end of
 * stream, and the open side is sent ours after the data.  Otherwise the
 * open side is reset when the pair closes.
 */
bool
ends_in_order(const conn_slot *slot)
{
	return slot->ended == END_USER || slot->ended == END_SERVER;
}

/* The socket of the side that has not ended, and what it held unread. */
int
open_side_fd(const conn_slot *slot)
{
	return user_ended(slot) ? slot->server_fd : slot->user_fd;
}

static int
open_side_queued(const conn_slot *slot)
{
	return user_ended(slot) ? slot->server_queued : slot->user_queued;
}

/* The bytes fd's peer has yet to acknowledge, our end of stream included. */
int
unacknowledged(int fd)
{
	int queued;

	if (ioctl(fd, SIOCOUTQ, &queued) == -1)
		return 0;
	return queued;
}

/* What the peer check saw of the peer of fd, one of the pair's sockets. */
peer_watch *
watch_of(conn_slot *slot, int fd)
{
	return fd == slot->user_fd ? &slot->user_watch : &slot->server_watch;
}

/*
 * Leaves the rest of fd's stream to its kernel, to be finished as the
 * kernel finishes a direct one: from now on a close, brennix's own or the
 * kernel's when brennix dies, ends the stream in order after what the
 * socket holds, and its tries are backed off as the kernel's own are, for
 * nothing watches a socket that brennix has let go.  Only a stream whose
 * sender ended in order, and all of which brennix has handed to the
 * socket, is handed over; every other is reset at its close.
 */
static void
hand_over(conn_slot *slot, int fd)
{
	peer_watch *watch = watch_of(slot, fd);

	(void)set_close_reset(fd, false);
	if (watch->capped) {
		(void)set_option(fd, IPPROTO_TCP, TCP_RTO_MAX_OPTION,
		    KERNEL_RTO_MAX_MS);
		watch->capped = false;
	}
}

/*
 * Begins the wait for the open side's peer.  select cannot report an
 * acknowledgement, but it can report that the kernel has sent all it
 * holds for the peer: with a low-water mark of 1 unsent byte, the socket
 * turns writable once none is left (all_sent); from then on the last
 * acknowledgements are one round trip away, and the peer check looks for
 * them.  A socket whose stream we have ended is always writable, so an
 * orderly end sends its end of stream only then, right after the data.
 */
static void
wait_for_peer(conn_slot *slot, slot_state state)
{
	(void)set_option(open_side_fd(slot), IPPROTO_TCP, TCP_NOTSENT_LOWAT, 1);
	slot->state = state;
	slot->unsent = true;
	slot->sent = true;
}

/*
 * The open side's kernel has sent all it held for the peer, as select
 * reports: an orderly end sends its end of stream now, and the peer
 * check looks for the last acknowledgements soon.
 */
void
all_sent(conn_slot *slot)
{
	slot->unsent = false;
	slot->sent = true;
	if (slot->state == SLOT_LINGERING && ends_in_order(slot))
		(void)shutdown(open_side_fd(slot), SHUT_WR);
}

/* Whether an orderly end has sent the open side its end of stream. */
bool
stream_ended(const conn_slot *slot)
{
	return ends_in_order(slot) && !slot->unsent;
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
 * after the data (all_sent), and the pair closes when the peer has
 * acknowledged that, ended or failed; ahead of a reset it closes when the
 * peer has acknowledged the data.  An orderly end is handed over to the
 * open side's kernel now, for it holds the whole stream.  Returns true
 * when the pair was closed.
 */
bool
end_pair(conn_slot *slot)
{
	int fd = open_side_fd(slot);
	bool orderly = ends_in_order(slot);

	if (orderly)
		hand_over(slot, fd);
	/* An open side that ended its stream left nothing unread. */
	if (slot->state == SLOT_FLUSHING && orderly) {
		close_slot(slot);
		return true;
	}
	if (unacknowledged(fd) == 0 &&
	    (!orderly || open_side_queued(slot) == 0)) {
		if (orderly)
			(void)shutdown(fd, SHUT_WR);
		close_slot(slot);
		return true;
	}
	wait_for_peer(slot,
	    slot->state == SLOT_FLUSHING ? SLOT_ACKING : SLOT_LINGERING);
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
		if (!ends_in_order(slot))
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
 * connecting waits for the connect first, and one that has nothing to
 * deliver closes at once.  A side that ended its stream is sent the end of
 * ours, and that end is handed over to its kernel.  A side that failed a
 * write is read on until the end of what it sent, and that is delivered
 * too.  When the other side had ended already, its failure closes the
 * pair, and its end of stream only stops its reading.
 */
void
end_side(conn_slot *slot, bool user_side, int error, bool writing)
{
	side_end plain = user_side ? END_USER : END_SERVER;
	side_end reset = user_side ? END_USER_RESET : END_SERVER_RESET;
	side_end refuse = user_side ? END_USER_REFUSED : END_SERVER_REFUSED;
	int fd = user_side ? slot->user_fd : slot->server_fd;

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
	if (slot->state == SLOT_CONNECTING && nothing_pending(slot)) {
		close_slot(slot);
		return;
	}
	if (slot->ended == plain)
		hand_over(slot, fd);
	if (!refused(slot) && nothing_pending(slot) && end_pair(slot))
		return;
	if (slot->ended == plain)
		(void)shutdown(fd, SHUT_WR);
}
