// Fuzzes the rules reader: arbitrary bytes as the rules file's content, read
// line by line the way read_config reads brennix.cfg, each line split and
// checked by parse_config_line.  Host names are resolved by the stand-in
// below, which knows numeric addresses only, so no query ever leaves.
#include <arpa/inet.h>
#include <netdb.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <array>

#include "brennix.h"

// Linked in place of the C library's gethostbyname (-Wl,--wrap).  The name
// "no-address.invalid" gets an answer without an address.
extern "C" hostent *
__wrap_gethostbyname(const char *name)
{
	static in_addr addr;
	static char *list[2];
	static hostent answer;

	answer.h_name = const_cast<char *>(name);
	answer.h_addrtype = AF_INET;
	answer.h_length = sizeof(addr);
	answer.h_addr_list = list;
	list[0] = list[1] = nullptr;
	if (strcmp(name, "no-address.invalid") == 0)
		return &answer;
	if (inet_aton(name, &addr) == 0)
		return nullptr;
	list[0] = reinterpret_cast<char *>(&addr);
	return &answer;
}

static void
check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

static void
check_line(std::array<char, CONFIG_LINE_SIZE> &line)
{
	forward_rule rule{};
	const char *bad = nullptr;
	const char *end = line.data() + line.size();

	switch (parse_config_line(line, &rule, &bad)) {
	case LINE_SKIPPED:
		check(rule.local_port == 0 && rule.remote_port == 0);
		break;
	case LINE_RULE:
		check(rule.proto == PROTO_TCP || rule.proto == PROTO_UDP);
		check(static_cast<uint16_t>(rule.local_port) != 0);
		check(static_cast<uint16_t>(rule.remote_port) != 0);
		check(rule.dest_addr.sin_family == AF_INET);
		check(ntohs(rule.dest_addr.sin_port) ==
		    static_cast<uint16_t>(rule.remote_port));
		break;
	case LINE_BAD_LOCAL_PORT:
	case LINE_BAD_REMOTE_PORT:
	case LINE_BAD_HOST:
	case LINE_BAD_PROTO:
		// The field named in the message lies whole inside the line.
		check(bad >= line.data() && bad < end && *bad != '\0');
		check(memchr(bad, '\0', static_cast<size_t>(end - bad)));
		break;
	}
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::array<char, CONFIG_LINE_SIZE> line;
	FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");

	if (fp == nullptr)
		return 0;
	while (!feof(fp)) {
		line.fill('\0');
		if (fgets(line.data(), CONFIG_LINE_SIZE, fp) == nullptr &&
		    ferror(fp))
			break;
		check_line(line);
	}
	fclose(fp);
	return 0;
}
