/*
 * Start-up: the slot table, the rules, the banner, the sockets, then the
 * relay loop for the rest of the process's life.
 */
#include <sys/resource.h>

#include <err.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "brennix.h"

/*
 * Opens /dev/null onto any of descriptors 0, 1 and 2 that is closed, so
 * that no socket of ours takes one of those numbers and gets error lines
 * written into its stream.
 */
static void
protect_standard_streams()
{
	int fd;

	while ((fd = open("/dev/null", O_RDWR)) != -1 && fd <= STDERR_FILENO)
		;
	if (fd > STDERR_FILENO)
		close(fd);
}

/*
 * Closes every descriptor above standard error.  The forwarder takes no
 * options, so nothing it inherits is its business, and each one would take
 * a number that select must watch for a pair.
 */
static void
close_inherited_descriptors()
{
	if (close_range(STANDARD_STREAMS, ~0U, 0) == -1) {
		/* No close_range here: clearing the watched range suffices. */
		for (int fd = STANDARD_STREAMS; fd < SELECT_LIMIT; fd++)
			(void)close(fd);
	}
}

/*
 * Besides the rules' sockets, the forwarder holds the standard streams, a
 * descriptor in reserve and, to be of any use, one pair.
 */
constexpr int BASE_DESCRIPTORS = STANDARD_STREAMS + 1 + 2;

static int
descriptors_needed(const forward_rule *rules, int rule_count)
{
	int needed = BASE_DESCRIPTORS;

	for (int i = 0; i < rule_count; i++)
		needed += rules[i].proto == PROTO_UDP ? 2 : 1;
	return needed;
}

/*
 * Stops start-up when the descriptor limit is below needed: under it the
 * forwarder would fail to resolve a host, or bind its ports and serve no
 * one.  Above it, a limit that holds fewer pairs than the table turns the
 * rest away as a full table does.
 */
static void
require_descriptors(int needed)
{
	rlimit limit;

	if (getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
	    limit.rlim_cur < static_cast<rlim_t>(needed))
		errx(1,
		    "descriptor limit %llu is too low: %d needed (ulimit -n)",
		    static_cast<unsigned long long>(limit.rlim_cur), needed);
}

int
main()
{
	forward_rule rule_table[MAX_FORWARDS];
	conn_slot *slot_table;
	int rule_count;

	verbose = 0;
	close_inherited_descriptors();
	protect_standard_streams();
	/*
	 * Every socket write passes MSG_NOSIGNAL; this is for standard error.
	 * A service manager's log pipe whose reader has gone must fail the
	 * write of an error line, not end the process and every relay.
	 */
	signal(SIGPIPE, SIG_IGN);
	slot_table = static_cast<conn_slot *>(calloc(MAX_CONNECTIONS,
	    sizeof(conn_slot)));
	if (slot_table == nullptr)
		errx(1, "calloc failed");

	/* One rule's worth, which also covers reading the rules file. */
	require_descriptors(BASE_DESCRIPTORS + 1);
	if ((rule_count = read_config(rule_table, MAX_FORWARDS)) == 0)
		errx(1, "No forwardable ports defined in the config file");
	require_descriptors(descriptors_needed(rule_table, rule_count));

	fprintf(stderr,
	    "brennix v0.6 - relays TCP and UDP ports, four words a rule\n"
	    "Max TCP connections: %d\n"
	    "Ports forwarded: %d\n",
	    MAX_CONNECTIONS, rule_count);

	setup_forwards(rule_table, rule_count, slot_table, MAX_CONNECTIONS);
	forward_loop(rule_table, rule_count, slot_table, MAX_CONNECTIONS);
}
