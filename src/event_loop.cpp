/*
 * The event loop: one select per pass over every rule socket and every
 * pair, the accepting of TCP users, and the opening of their connections
 * to the destination.
 */
#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "brennix.h"

static void
build_master_set(const forward_rule *rules, int rule_count, fd_set *master)
{
	FD_ZERO(master);
	for (int i = 0; i < rule_count; i++) {
		const forward_rule *rule = &rules[i];

		watch_fd(rule->listen_fd, master);
		if (rule->proto == PROTO_UDP)
			watch_fd(rule->udp_fd, master);
	}
}

static void
add_slot_interest(const conn_slot *slots, int slot_count, fd_set *read_set,
    fd_set *write_set)
{
	for (int i = 0; i < slot_count; i++) {
		if (slots[i].user_fd != -1)
			slot_interest(&slots[i], read_set, write_set);
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
 * no slot is closed at once, before anything is sent to the destination.
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
	slot->sent = false;
	slot->unsent = false;
	slot->check_at = 0;
	slot->user_watch = slot->server_watch = peer_watch{};
	slot->server_fd = -1;
	slot->user_fd = user_fd;
	if (verbose)
		fprintf(stderr, "connected to user on fd %d\n", user_fd);

	slot->server_fd = setup_connect_socket(SOCK_STREAM, &rule->dest_addr,
	    sizeof(rule->dest_addr), &status);
	if (verbose)
		fprintf(stderr, "nonblocking connect returned %d\n", status);
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
 * A connect that never completed (refused, unreachable, timed out) closes
 * the pair silently.  One that completed and was then reset, before this
 * first look, is a destination that reset: the user gets what it sent
 * before the reset, then a reset, as it would from the destination
 * itself, and what the user sent is not dropped without a word.  A user
 * who already left has its bytes written out before the pair closes.
 */
static void
finish_connect(conn_slot *slot, const fd_set *read_set, const fd_set *write_set)
{
	bool readable = FD_ISSET(slot->server_fd, read_set);
	int error = 0;
	socklen_t len = sizeof(error);

	if (!readable && !FD_ISSET(slot->server_fd, write_set))
		return;
	/*
	 * A failed connect leaves an error on the socket, which makes it
	 * readable as well as writable: writable alone is a connection made.
	 * Readable, it may hold the destination's first bytes or the error.
	 */
	if (readable &&
	    getsockopt(slot->server_fd, SOL_SOCKET, SO_ERROR, &error, &len))
		error = errno;
	slot->state = slot->ended == END_NONE ? SLOT_CONNECTED : SLOT_DRAINING;
	if (error == ECONNRESET || error == EPIPE) {
		/*
		 * Reading SO_ERROR took the reset: the socket now reads what
		 * the destination sent and then an end of stream, as after a
		 * failed write, which ends the side as reset.
		 */
		errno = error;
		perror("server_read");
		end_side(slot, false, error, true);
	} else if (error != 0) {
		close_slot(slot); /* a failed connect is silent */
	}
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
	pump_slot(slot, read_set, write_set);
}

/*
 * How much a busy UDP socket moves in a pass: a batch while anything else
 * has been served within RECENT_MS, so that sparse traffic waits for
 * little of a flood's work, and UDP_ALONE_BATCHES batches when it is
 * alone, so that a flood costs few passes.  Smaller steps were measured
 * too (4 and 8 datagrams): they left the others slower, not faster, on a
 * machine whose generator shares a CPU with the flood's sink, which they
 * wake more often.
 */
constexpr int UDP_ALONE_BATCHES = 4;

/* The rule served first in a pass; each pass starts with the next. */
static int first_rule;

/*
 * Serves the rules' sockets that select reported, sparse traffic first:
 * an accept per TCP rule and a batch from each UDP socket that is not
 * busy, then the busy UDP sockets, a step each (others: anything else
 * was served lately).  Each pass starts with the next rule, so that no
 * rule's place in the file decides its share.  Returns whether anything
 * but a busy socket was served.
 */
static bool
serve_rules(forward_rule *rules, int rule_count, conn_slot *slots,
    int slot_count, fd_set *read_set, const fd_set *write_set, bool others,
    long long now)
{
	bool sparse = false;
	int step;

	udp_resume(rules, rule_count, write_set);
	first_rule = (first_rule + 1) % rule_count;
	for (int k = 0; k < rule_count; k++) {
		forward_rule *rule = &rules[(first_rule + k) % rule_count];

		if (rule->proto == PROTO_UDP) {
			if (drain_udp(rule, read_set, false, UDP_BATCH, now))
				sparse = true;
		} else if (FD_ISSET(rule->listen_fd, read_set)) {
			open_pair(rule, slots, slot_count);
			sparse = true;
		}
	}
	step = others || sparse ? UDP_BATCH : UDP_ALONE_BATCHES * UDP_BATCH;
	for (int k = 0; k < rule_count; k++) {
		forward_rule *rule = &rules[(first_rule + k) % rule_count];

		if (rule->proto == PROTO_UDP)
			(void)drain_udp(rule, read_set, true, step, now);
	}
	return sparse;
}

/* Whether select reported one of the pair's sockets. */
static bool
reported(const conn_slot *slot, const fd_set *read_set, const fd_set *write_set)
{
	for (int fd : {slot->user_fd, slot->server_fd}) {
		if (fd != -1 &&
		    (FD_ISSET(fd, read_set) || FD_ISSET(fd, write_set)))
			return true;
	}
	return false;
}

/*
 * Serves the pairs that select reported, and those connecting.  Returns
 * whether select reported any pair.
 */
static bool
serve_slots(conn_slot *slots, int slot_count, fd_set *read_set,
    fd_set *write_set)
{
	bool any = false;

	for (int i = 0; i < slot_count; i++) {
		conn_slot *slot = &slots[i];

		if (slot->user_fd == -1)
			continue;
		any = any || reported(slot, read_set, write_set);
		switch (slot->state) {
		case SLOT_CONNECTING:
			serve_connecting(slot, read_set, write_set);
			break;
		case SLOT_CONNECTED:
		case SLOT_DRAINING:
		case SLOT_FLUSHING:
		case SLOT_LINGERING:
		case SLOT_ACKING:
			pump_slot(slot, read_set, write_set);
			break;
		case SLOT_IDLE:
			break;
		}
	}
	return any;
}

/* The loop's clock, in milliseconds. */
static long long
clock_ms()
{
	timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

/*
 * Relays traffic for every rule until the process is killed.  The rule
 * sockets must be open (setup_forwards).  Only a failing select ends it,
 * through die.  Every step of a pass is bounded: a read and a write per
 * direction of a pair, an accept per rule, a few batches of datagrams per
 * UDP socket.  Sparse traffic goes first: the pairs, whose bytes thus
 * wait for no batch of a flood, then accepts and quiet UDP sockets; a
 * busy UDP socket comes last, and moves a small step while anything else
 * is served (serve_rules).
 */
void
forward_loop(forward_rule *rules, int rule_count, conn_slot *slots,
    int slot_count)
{
	fd_set master_set, read_set, write_set;
	long long wait = -1, now, others_at = -RECENT_MS;
	int select_count;
	timeval timeout;

	select_count = set_select_count(getdtablesize());
	build_master_set(rules, rule_count, &master_set);
	take_spare_fd();
	if (spare_fd == -1)
		errx(1, "too few descriptors");
	for (;;) {
		/* select overwrites its sets: start each pass from copies. */
		read_set = master_set;
		FD_ZERO(&write_set);
		udp_interest(rules, rule_count, &read_set, &write_set);
		add_slot_interest(slots, slot_count, &read_set, &write_set);
		timeout.tv_sec = wait / 1000;
		timeout.tv_usec = wait % 1000 * 1000;
		if (select(select_count, &read_set, &write_set, nullptr,
		        wait == -1 ? nullptr : &timeout) == -1) {
			if (errno == EINTR)
				continue;
			die("select error");
		}
		now = clock_ms();
		if (serve_slots(slots, slot_count, &read_set, &write_set))
			others_at = now;
		if (serve_rules(rules, rule_count, slots, slot_count, &read_set,
		        &write_set, now - others_at < RECENT_MS, now))
			others_at = now;
		wait = look_at_peers(slots, slot_count, now);
	}
}
