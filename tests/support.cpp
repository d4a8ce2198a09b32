#include "support.h"

#include <sys/socket.h>

#include <netinet/in.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdlib>
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

int
free_port(int type)
{
	int fd = socket(AF_INET, type, 0);
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(addr);
	if (fd == -1 ||
	    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == -1 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == -1)
		throw std::runtime_error("free_port failed");
	close(fd);
	return ntohs(addr.sin_port);
}
