/*
 * The peer check: what the peers of the pairs have yet to acknowledge,
 * which select cannot report, looked at on the loop's clock.  It lets a
 * peer go once it has left the kernel's tries unanswered for
 * PEER_SILENCE_MS, and closes a lingering pair once its open side's peer
 * has acknowledged everything.
 */
#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <linux/tcp.h>

#include <errno.h>
#include <stddef.h>
#include <stdio.h>

#include "brennix.h"

enum peer_health {
	PEER_ANSWERS, /* or cannot be told: not TCP */
	PEER_SILENT,  /* gone without a word */
	PEER_RESET,   /* the connection is gone */
};

/*
 * The state of a connection that is gone; <netinet/tcp.h> names it
 * TCP_CLOSE, but its struct tcp_info lacks the fields read here.
 */
constexpr unsigned STATE_CLOSED = 7;

/* What the kernel knows of a connection; known is false for other sockets. */
struct connection_info {
	bool known;
	unsigned state;
	unsigned tries;    /* retransmissions and window probes, so far */
	unsigned heard_ms; /* since the peer's last acknowledgement */
	unsigned unsent;   /* bytes not sent yet, our end of stream included */
	bool shrunk;       /* the peer shut its window on bytes in flight */
};

/* Whether the kernel filled field of tcp_info, of len bytes. */
#define FILLED(len, field)                                                     \
	((len) >= offsetof(tcp_info, field) + sizeof(tcp_info::field))

static connection_info
connection_of(int fd, int unacked)
{
	connection_info c{};
	tcp_info info{};
	socklen_t len = sizeof(info);

	if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == -1)
		return c;
	c.known = true;
	c.state = info.tcpi_state;
	c.tries = info.tcpi_total_retrans + info.tcpi_probes;
	c.heard_ms = info.tcpi_last_ack_recv;
	if (FILLED(len, tcpi_notsent_bytes))
		c.unsent = info.tcpi_notsent_bytes;
	c.shrunk = FILLED(len, tcpi_snd_wnd) && info.tcpi_snd_wnd == 0 &&
	    static_cast<unsigned>(unacked) > c.unsent;
	return c;
}

/*
 * From the first try seen unanswered on, the kernel backs off its tries
 * only up to PEER_RTO_MAX_MS, so that a connection resumes soon after an
 * outage and a peer that has gone is tried again soon after the bound;
 * until then nothing needs the cap, and no call is spent on it.  But
 * while a peer keeps its window shut on bytes already in flight, the
 * kernel gives the connection up after two unanswered tries, of twice the
 * cap: there the kernel's own maximum keeps an outage shorter than the
 * bound from ending it.  A stream handed over to its kernel keeps the
 * kernel's own backoff too (pair_end.cpp).  Kernels without the cap keep
 * their maximum throughout.
 */
static void
cap_backoff(int fd, peer_watch *watch, bool cap)
{
	if (cap == watch->capped)
		return;
	watch->capped = cap;
	(void)set_option(fd, IPPROTO_TCP, TCP_RTO_MAX_OPTION,
	    cap ? PEER_RTO_MAX_MS : KERNEL_RTO_MAX_MS);
}

/*
 * One look at fd's peer, for a socket that holds unacked bytes it has yet
 * to acknowledge.  The kernel tries again and again to reach it: it
 * retransmits, or probes a shut window.  A live peer answers each try,
 * however long it keeps its window shut.  A peer is silent once the tries
 * seen unanswered span PEER_SILENCE_MS, and the last of them has waited
 * PEER_ANSWER_MS for its answer: an outage shorter than the span never
 * ends a connection.  A socket that is read learns of a reset from the
 * read; one that is not keeps what was never acknowledged after a reset,
 * and only its state tells.  may_cap is false for a stream handed over to
 * its kernel.
 */
static peer_health
look_at_peer(int fd, peer_watch *watch, long long now, int unacked,
    bool may_cap, connection_info *c)
{
	bool tried;

	*c = connection_of(fd, unacked);
	if (!c->known)
		return PEER_ANSWERS;
	if (c->state == STATE_CLOSED)
		return PEER_RESET;
	tried = c->tries != watch->tries;
	watch->tries = c->tries;
	if (c->heard_ms < now - watch->looked_at) {
		/* It answered since the last look. */
		watch->first_try = watch->late_try = 0;
	} else if (tried && watch->first_try == 0) {
		watch->first_try = now;
	} else if (tried && watch->late_try == 0 &&
	    now - watch->first_try >= PEER_SILENCE_MS) {
		watch->late_try = now;
	}
	watch->looked_at = now;
	cap_backoff(fd, watch,
	    may_cap && !c->shrunk && (watch->capped || watch->first_try != 0));
	if (watch->late_try != 0 && now - watch->late_try >= PEER_ANSWER_MS)
		return PEER_SILENT;
	return PEER_ANSWERS;
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
	(void)set_close_reset(fd, true);
	end_side(slot, fd == slot->user_fd, ETIMEDOUT, false);
}

/*
 * One look at a side of a pair that moves bytes: gives it up if its peer
 * has gone.  Returns true while bytes of its wait for an acknowledgement.
 */
static bool
watch_side(conn_slot *slot, int fd, long long now)
{
	peer_watch *watch = watch_of(slot, fd);
	int unacked = unacknowledged(fd);
	connection_info c;

	if (unacked == 0) {
		watch->first_try = watch->late_try = 0;
		return false;
	}
	if (look_at_peer(fd, watch, now, unacked, true, &c) == PEER_SILENT) {
		give_up_side(slot, fd);
		return false;
	}
	return true;
}

/*
 * One look at a lingering pair: it closes once its open side's peer has
 * acknowledged everything, or once a reset it does not read has come; a
 * peer that has gone is given up.  While the kernel holds bytes it has
 * not sent, select watches for when it has sent them all; from then on
 * the last acknowledgements are looked for every LINGER_POLL_MS while the
 * peer answers.  Returns the time to the next look.
 */
static int
watch_lingering(conn_slot *slot, long long now)
{
	int fd = open_side_fd(slot);
	int unacked = unacknowledged(fd);
	connection_info c;

	if (unacked == 0) {
		close_slot(slot);
		return 0;
	}
	switch (look_at_peer(fd, watch_of(slot, fd), now, unacked,
	    !ends_in_order(slot), &c)) {
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
	if (c.unsent > 0) {
		/* Once our stream has ended, select cannot tell. */
		if (!stream_ended(slot))
			slot->unsent = true;
		return PEER_CHECK_MS;
	}
	return c.heard_ms < PEER_CHECK_MS ? LINGER_POLL_MS : PEER_CHECK_MS;
}

/*
 * Looks at what the peers of a pair have yet to acknowledge: once a second
 * while bytes of a pair that moves them wait, and while a pair lingers.  A
 * side whose peer has gone is given up, with one "server_read" line.
 * After a side has ended, only the open side is looked at.  Returns the
 * time in ms to the next look, or 0 when none is needed: nothing waits
 * for an acknowledgement, or the pair closed.
 */
int
check_peers(conn_slot *slot, long long now)
{
	bool waiting = false;

	switch (slot->state) {
	case SLOT_IDLE:
	case SLOT_CONNECTING:
		return 0;
	case SLOT_LINGERING:
	case SLOT_ACKING:
		return watch_lingering(slot, now);
	case SLOT_CONNECTED:
		waiting = watch_side(slot, slot->user_fd, now);
		break;
	case SLOT_DRAINING:
	case SLOT_FLUSHING:
		break;
	}
	/* A side given up above may have ended the pair. */
	if (slot->state != SLOT_IDLE &&
	    watch_side(slot,
	        slot->state == SLOT_CONNECTED ? slot->server_fd
	                                      : open_side_fd(slot),
	        now))
		waiting = true;
	return waiting && slot->user_fd != -1 ? PEER_CHECK_MS : 0;
}

static bool
lingering(const conn_slot *slot)
{
	return slot->state == SLOT_LINGERING || slot->state == SLOT_ACKING;
}

/*
 * The time of the look that comes steps intervals of wait ms after now, on
 * a grid of wait ms, so that the looks at every pair due in the same
 * interval take one wake-up.
 */
static long long
look_time(long long now, int wait, int steps)
{
	return (now / wait + steps) * wait;
}

/*
 * Looks at what the pairs' peers have yet to acknowledge, when a look is
 * due: PEER_CHECK_MS after a pair sent something, LINGER_POLL_MS after a
 * lingering pair did (or its kernel sent all it held), then as
 * check_peers asks.  Returns the time in ms until the next look, or -1
 * when none is due, so that a forwarder with nothing unacknowledged
 * sleeps until something happens.
 */
long long
look_at_peers(conn_slot *slots, int slot_count, long long now)
{
	long long next = -1, soon;
	int wait;

	for (int i = 0; i < slot_count; i++) {
		conn_slot *slot = &slots[i];

		if (slot->user_fd == -1)
			continue;
		if (slot->sent) {
			slot->sent = false;
			/* A pair that moves bytes: one interval at least,
			   for most close before. */
			soon = lingering(slot)
			    ? look_time(now, LINGER_POLL_MS, 1)
			    : look_time(now, PEER_CHECK_MS, 2);
			if (slot->check_at == 0 || soon < slot->check_at)
				slot->check_at = soon;
		}
		if (slot->check_at != 0 && slot->check_at <= now) {
			wait = check_peers(slot, now);
			slot->check_at =
			    wait == 0 ? 0 : look_time(now, wait, 1);
		}
		if (slot->user_fd != -1 && slot->check_at != 0 &&
		    (next == -1 || slot->check_at - now < next))
			next = slot->check_at - now;
	}
	return next;
}
