/*
 * The rules file: brennix.cfg in the working directory, read once at
 * start-up.  A usable line has four fields: local port, destination host,
 * destination port, protocol.
 */
#include <sys/socket.h>

#include <netinet/in.h>

#include <arpa/inet.h>

#include <err.h>
#include <netdb.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <climits>

#include "brennix.h"

/*
 * Converts a port field as a 32-bit strtol would: a value beyond the 32-bit
 * range saturates at the nearest limit.  Returns false when characters
 * follow the number or when the low 16 bits, the part a socket address
 * uses, are 0.
 */
static bool
parse_port(const char *field, int *port)
{
	char *end;
	long value = strtol(field, &end, 10);

	if (*end != '\0')
		return false;
	*port = static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
	return static_cast<uint16_t>(*port) != 0;
}

/*
 * Resolves host to its first IPv4 address.  An answer without an address
 * counts as a failure.
 */
static bool
resolve_host(const char *host, in_addr *addr)
{
	const hostent *he = gethostbyname(host);

	if (he == nullptr || he->h_addrtype != AF_INET ||
	    he->h_length != sizeof(*addr) || he->h_addr_list[0] == nullptr)
		return false;
	memcpy(addr, he->h_addr_list[0], sizeof(*addr));
	return true;
}

/* Ends the text in buf at the first c, if there is one. */
static void
cut_at_first(std::span<char> buf, char c)
{
	if (void *at = memchr(buf.data(), c, buf.size()))
		*static_cast<char *>(at) = '\0';
}

/*
 * Splits one line of the rules file and checks it.  line is the whole read
 * buffer: its first CR and its first LF end the line.  On LINE_RULE, writes
 * local_port, remote_port, proto and dest_addr of *rule and nothing else;
 * on LINE_BAD_*, points *bad_field at the offending field inside line.
 * Checks run in the order local port, remote port, host, protocol.
 */
config_line_result
parse_config_line(std::span<char, CONFIG_LINE_SIZE> line, forward_rule *rule,
    const char **bad_field)
{
	std::array<char *, MAX_TOKENS> fields;
	int nfields = 0;
	char *rest = line.data();
	char *field;
	int local_port, remote_port;
	sockaddr_in addr;

	line.back() = '\0';
	cut_at_first(line, '\r');
	cut_at_first(line, '\n');

	while (nfields < MAX_TOKENS &&
	    (field = strsep(&rest, " \t")) != nullptr) {
		if (*field != '\0')
			fields[static_cast<size_t>(nfields++)] = field;
	}
	/* Stray words, trailing comments and blank lines are skipped. */
	if (nfields != 4 || *fields[0] == '#')
		return LINE_SKIPPED;

	if (!parse_port(fields[0], &local_port)) {
		*bad_field = fields[0];
		return LINE_BAD_LOCAL_PORT;
	}
	if (!parse_port(fields[2], &remote_port)) {
		*bad_field = fields[2];
		return LINE_BAD_REMOTE_PORT;
	}
	memset(&addr, 0, sizeof(addr));
	if (!resolve_host(fields[1], &addr.sin_addr)) {
		*bad_field = fields[1];
		return LINE_BAD_HOST;
	}
	addr.sin_port = htons(static_cast<uint16_t>(remote_port));
	addr.sin_family = AF_INET;
	if (strcasecmp(fields[3], "tcp") == 0)
		rule->proto = PROTO_TCP;
	else if (strcasecmp(fields[3], "udp") == 0)
		rule->proto = PROTO_UDP;
	else {
		*bad_field = fields[3];
		return LINE_BAD_PROTO;
	}
	rule->local_port = local_port;
	rule->remote_port = remote_port;
	rule->dest_addr = addr;
	return LINE_RULE;
}

/*
 * Reads brennix.cfg from the working directory into rules, at most capacity
 * of them, in file order.  Returns the number stored, 0 when the file has no
 * usable line.  Every problem with the file ends the process through errx.
 */
int
read_config(forward_rule *rules, int capacity)
{
	std::array<char, CONFIG_LINE_SIZE> line;
	const char *bad = nullptr;
	int count = 0;
	FILE *fp;

	if ((fp = fopen(CONFIG_FILE, "r")) == nullptr)
		errx(1, "can't open config file\n");

	/*
	 * A line longer than the buffer is read in pieces, each a line of its
	 * own.  At end of file fgets leaves the buffer all zero, which
	 * yields no fields.
	 */
	while (!feof(fp)) {
		line.fill('\0');
		if (fgets(line.data(), CONFIG_LINE_SIZE, fp) == nullptr &&
		    ferror(fp))
			errx(1, "can't read config file");

		forward_rule parsed{};
		switch (parse_config_line(line, &parsed, &bad)) {
		case LINE_SKIPPED:
			continue;
		case LINE_RULE:
			break;
		case LINE_BAD_LOCAL_PORT:
			errx(1, "illegal local port number -- %s", bad);
		case LINE_BAD_REMOTE_PORT:
			errx(1, "illegal remote port number -- %s", bad);
		case LINE_BAD_HOST:
			errx(1, "can't resolve %s", bad);
		case LINE_BAD_PROTO:
			errx(1, "unknown protocol: %s", bad);
		}
		if (count == capacity)
			errx(1, "too many forwards in the config file (max %d)",
			    capacity);
		rules[count].local_port = parsed.local_port;
		rules[count].remote_port = parsed.remote_port;
		rules[count].proto = parsed.proto;
		rules[count].dest_addr = parsed.dest_addr;
		count++;
	}
	fclose(fp);
	return count;
}
