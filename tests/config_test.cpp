// The rules reader: what it stores, what it skips, and how it stops.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "brennix.h"
#include "support.h"

namespace {

using ::testing::ExitedWithCode;
using namespace std::string_literals;

class ConfigTest : public ::testing::Test {
    protected:
	void SetUp() override
	{
		ASSERT_NE(getcwd(old_cwd, sizeof(old_cwd)), nullptr);
		ASSERT_EQ(chdir(dir.path.c_str()), 0);
	}
	void TearDown() override { ASSERT_EQ(chdir(old_cwd), 0); }

	int read_rules(const std::string &content)
	{
		write_file(CONFIG_FILE, content);
		return read_config(rules, MAX_FORWARDS);
	}

	TempDir dir;
	char old_cwd[4096];
	forward_rule rules[MAX_FORWARDS]{};
};

TEST_F(ConfigTest, StoresRulesInFileOrder)
{
	ASSERT_EQ(read_rules("  8080\t \t127.0.0.1   80 \tTcP  \r\n"
	                     "53 127.0.0.2 5353 UDP\n"),
	    2);
	EXPECT_EQ(rules[0].local_port, 8080);
	EXPECT_EQ(rules[0].remote_port, 80);
	EXPECT_EQ(rules[0].proto, PROTO_TCP);
	EXPECT_EQ(rules[0].dest_addr.sin_family, AF_INET);
	EXPECT_EQ(rules[0].dest_addr.sin_port, htons(80));
	EXPECT_EQ(rules[0].dest_addr.sin_addr.s_addr, htonl(0x7f000001));
	EXPECT_EQ(rules[1].local_port, 53);
	EXPECT_EQ(rules[1].proto, PROTO_UDP);
	EXPECT_EQ(rules[1].dest_addr.sin_port, htons(5353));
	EXPECT_EQ(rules[1].dest_addr.sin_addr.s_addr, htonl(0x7f000002));
}

TEST_F(ConfigTest, SkipsLinesWithoutFourFieldsAndComments)
{
	EXPECT_EQ(read_rules(""), 0);
	EXPECT_EQ(read_rules("\n\n   \n\t\n"
	                     "# a comment of five words\n"
	                     "#1 127.0.0.1 2 tcp\n"
	                     "# 127.0.0.1 2 tcp\n"
	                     "1 127.0.0.1 2\n"
	                     "1 127.0.0.1 2 tcp # trailing comment\n"
	                     "1 2 3 4 5 6 7 8 9 10 11 12\n"),
	    0);
	// A NUL byte ends the line for the splitter.
	EXPECT_EQ(read_rules("80\0 127.0.0.1 80 tcp\n"s), 0);
	ASSERT_EQ(read_rules("# comment\n7 127.0.0.1 8 udp\n"), 1);
	EXPECT_EQ(rules[0].local_port, 7);
}

TEST_F(ConfigTest, ReadsLongLinesInPiecesOf79Characters)
{
	std::string first = "1000 127.0.0.1 1001 tcp";
	first.resize(79, ' ');
	std::string second = "1002 127.0.0.1 3 udp ";
	ASSERT_EQ(first.size() + second.size(), 100u);
	ASSERT_EQ(read_rules(first + second + "\n"), 2);
	EXPECT_EQ(rules[0].local_port, 1000);
	EXPECT_EQ(rules[1].local_port, 1002);
	EXPECT_EQ(rules[1].proto, PROTO_UDP);

	// Exactly 79 characters: the newline comes back as an empty line.
	EXPECT_EQ(read_rules(first + "\n9 127.0.0.1 9 tcp\n"), 2);
}

TEST_F(ConfigTest, ReadsLastLineWithoutNewline)
{
	ASSERT_EQ(read_rules("1 127.0.0.1 2 tcp\n3 127.0.0.1 4 udp"), 2);
	EXPECT_EQ(rules[1].local_port, 3);
}

TEST_F(ConfigTest, ConvertsPortsLikeA32BitStrtol)
{
	ASSERT_EQ(read_rules("-1 127.0.0.1 +80 tcp\n"
	                     "99999999999 127.0.0.1 65537 tcp\n"),
	    2);
	EXPECT_EQ(rules[0].local_port, -1);
	EXPECT_EQ(rules[0].remote_port, 80);
	EXPECT_EQ(rules[1].local_port, INT_MAX);
	EXPECT_EQ(rules[1].remote_port, 65537);
	EXPECT_EQ(rules[1].dest_addr.sin_port, htons(1));
}

TEST_F(ConfigTest, StopsOnABadFieldNamingIt)
{
	const struct {
		const char *line;
		const char *message;
	} cases[] = {
	    {"0 127.0.0.1 80 tcp", "illegal local port number -- 0\n"},
	    {"80x 127.0.0.1 80 tcp", "illegal local port number -- 80x\n"},
	    {"65536 127.0.0.1 80 tcp", "illegal local port number -- 65536"},
	    {"-99999999999 127.0.0.1 80 tcp",
	        "illegal local port number -- -99999999999"},
	    {"0 a..b 0 sctp", "illegal local port number -- 0\n"},
	    {"80 127.0.0.1 -65536 tcp", "illegal remote port number -- -65536"},
	    {"80 a..b 8o tcp", "illegal remote port number -- 8o\n"},
	    {"80 a..b 80 sctp", "can't resolve a..b\n"},
	    {"80 #127.0.0.1 80 tcp", "can't resolve #127.0.0.1\n"},
	    {"80 127.0.0.1 80 sctp", "unknown protocol: sctp\n"},
	    {"80 127.0.0.1 80 tcp#x", "unknown protocol: tcp#x\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.line);
		EXPECT_EXIT(read_rules(std::string("1 127.0.0.1 1 tcp\n") +
		                c.line + "\n"),
		    ExitedWithCode(1), std::string(": ") + c.message);
	}
}

TEST_F(ConfigTest, StopsOnFileProblems)
{
	EXPECT_EXIT(read_config(rules, MAX_FORWARDS), ExitedWithCode(1),
	    ": can't open config file\n\n");

	ASSERT_EQ(mkdir(CONFIG_FILE, 0700), 0);
	EXPECT_EXIT(read_config(rules, MAX_FORWARDS), ExitedWithCode(1),
	    ": can't read config file\n");
	ASSERT_EQ(rmdir(CONFIG_FILE), 0);

	std::string eleven;
	for (int i = 1; i <= 11; i++)
		eleven += std::to_string(i) + " 127.0.0.1 80 tcp\n";
	EXPECT_EXIT(read_rules(eleven), ExitedWithCode(1),
	    "too many forwards in the config file \\(max 10\\)\n");
	EXPECT_EQ(read_rules(eleven.substr(eleven.find("2 "))), 10);
}

} // namespace
