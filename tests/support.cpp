#include "support.h"

#include <sys/socket.h>

#include <netinet/in.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
	char tmpl[] = "/tmp/brennix-test-XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		throw std::runtime_error("mkdtemp failed");
	path = tmpl;
}

TempDir::~TempDir()
{
	std::error_code ec;
	std::filesystem::remove_all(path, ec);
}

void
write_file(const std::string &path, const std::string &content)
{
	std::ofstream out(path, std::ios::binary);
	out << content;
}

std::string
read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

static bool
can_bind(int type, int port)
{
	int fd = socket(AF_INET, type, 0);
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	addr.sin_port = htons(static_cast<uint16_t>(port));
	bool ok = fd != -1 &&
	    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
	close(fd);
	return ok;
}

int
free_port()
{
	// Below the kernel's ephemeral range, so that no outgoing connection
	// of a test running beside this one takes it in the meantime; free
	// for TCP and UDP alike.
	static std::mt19937 gen(static_cast<unsigned>(getpid()) ^
	    static_cast<unsigned>(time(nullptr)));
	for (;;) {
		int port = 20000 + static_cast<int>(gen() % 12000);
		if (can_bind(SOCK_STREAM, port) && can_bind(SOCK_DGRAM, port))
			return port;
	}
}
