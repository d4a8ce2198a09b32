#include "e2e_support.h"

#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <netinet/in.h>

#include <linux/sockios.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "brennix.h"

namespace {

std::string
binary_path()
{
	if (const char *bin = getenv("BRENNIX_BIN"))
		return bin;
	char self[4096];
	ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
	if (n <= 0)
		throw std::runtime_error("readlink /proc/self/exe failed");
	std::string path(self, static_cast<size_t>(n));
	return path.substr(0, path.rfind('/')) + "/brennix";
}

sockaddr_in
ipv4(const char *ip, int port)
{
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	inet_pton(AF_INET, ip, &addr.sin_addr);
	addr.sin_port = htons(static_cast<uint16_t>(port));
	return addr;
}

sockaddr_in
loopback(int port)
{
	return ipv4("127.0.0.1", port);
}

int
ms_left(Clock::time_point deadline)
{
	auto left =
	    std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
	        Clock::now());
	return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for events on fd until the deadline; false on timeout.
bool
wait_fd(int fd, short events, Clock::time_point deadline)
{
	pollfd p{fd, events, 0};
	int n;
	while ((n = poll(&p, 1, ms_left(deadline))) == -1 && errno == EINTR)
		;
	return n > 0;
}

} // namespace

Forwarder::Forwarder(const std::string &config, int max_fds, Streams streams,
    int inherited)
{
	write_file(dir.path + "/" + CONFIG_FILE, config);
	start(max_fds, streams, inherited);
}

Forwarder::Forwarder(std::nullopt_t)
{
	start(0, Streams::FILES);
}

void
Forwarder::start(int max_fds, Streams streams, int inherited)
{
	rlimit limit{rlim_t(max_fds), rlim_t(max_fds)};
	std::vector<std::string> words;
	if (const char *wrapper = getenv("BRENNIX_WRAPPER")) {
		std::istringstream in(wrapper);
		for (std::string w; in >> w;)
			words.push_back(w);
	}
	words.push_back(binary_path());
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	std::string out = dir.path + "/stdout", err = dir.path + "/stderr";
	std::string log = dir.path + "/wrapper.log";
	bool wrapped = words.size() > 1;

	pid = fork();
	if (pid == -1)
		throw std::runtime_error("fork failed");
	if (pid == 0) {
		int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		int null = open("/dev/null", O_RDONLY);
		if (chdir(dir.path.c_str()) == -1 || o == -1 || e == -1 ||
		    null == -1)
			_exit(127);
		if (max_fds > 0 && setrlimit(RLIMIT_NOFILE, &limit) == -1)
			_exit(127);
		// A wrapper logs to descriptor WRAPPER_LOG_FD, out of the way
		// of the forwarder's own low descriptors.
		if (wrapped) {
			int l = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
			    0600);
			if (l == -1 || dup2(l, WRAPPER_LOG_FD) == -1)
				_exit(127);
			close(l);
		}
		dup2(null, 0);
		dup2(o, 1);
		dup2(e, 2);
		if (streams == Streams::CLOSED) {
			close(0);
			close(1);
			close(2);
		} else if (streams == Streams::BROKEN_PIPE) {
			int p[2];
			if (pipe(p) == -1 || dup2(p[1], 2) == -1)
				_exit(127);
			close(p[0]);
		}
		// Only the three standard streams: the test's own sockets
		// would take descriptors the forwarder counts on.
		close_range(3, wrapped ? WRAPPER_LOG_FD - 1 : ~0U, 0);
		if (wrapped)
			close_range(WRAPPER_LOG_FD + 1, ~0U, 0);
		// Opened in order, they take 3, 4, and so on.
		for (int i = 0; i < inherited; i++) {
			if (open("/dev/null", O_RDONLY) != 3 + i)
				_exit(127);
		}
		execvp(argv[0], argv.data());
		_exit(127);
	}
}

Forwarder::~Forwarder()
{
	stop();
}

int
Forwarder::wait_exit(double seconds)
{
	auto deadline = deadline_in(seconds);
	while (pid != -1) {
		pid_t r = waitpid(pid, &status, WNOHANG);
		if (r == pid) {
			pid = -1;
			break;
		}
		if (Clock::now() > deadline)
			return -1;
		usleep(10000);
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool
Forwarder::alive()
{
	return pid != -1 && waitpid(pid, &status, WNOHANG) == 0;
}

int
Forwarder::stop()
{
	if (pid == -1)
		return status;
	kill(pid, SIGTERM);
	if (wait_exit(10) == -1) {
		kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
		pid = -1;
	}
	// Run under valgrind with --log-fd=WRAPPER_LOG_FD: its verdict.
	const char *wrapper = getenv("BRENNIX_WRAPPER");
	std::string log = read_file(dir.path + "/wrapper.log");
	if (wrapper && strstr(wrapper, "valgrind") &&
	    log.find("ERROR SUMMARY: 0 errors") == log.npos)
		ADD_FAILURE() << "valgrind:\n" << log;
	return status;
}

std::string
Forwarder::after_banner() const
{
	std::string text = err();
	size_t at = text.find("Ports forwarded: ");
	return at == std::string::npos ? text
	                               : text.substr(text.find('\n', at) + 1);
}

std::string
rule(int local_port, int remote_port, const char *proto, const char *host)
{
	return std::to_string(local_port) + " " + host + " " +
	    std::to_string(remote_port) + " " + proto + "\n";
}

void
expect_only_pair_failures(const Forwarder &forwarder)
{
	std::string lines = forwarder.after_banner();
	for (size_t at = 0, nl; at < lines.size(); at = nl + 1) {
		nl = lines.find('\n', at);
		std::string line = lines.substr(at, nl - at);
		EXPECT_TRUE(line.rfind("server_read: ", 0) == 0 ||
		    line.rfind("server_write: ", 0) == 0 ||
		    line.rfind("user_write: ", 0) == 0)
		    << line;
	}
}

int
tcp_connect(int port, double seconds, const char *ip, int rcvbuf)
{
	auto deadline = deadline_in(seconds);
	sockaddr_in addr = ipv4(ip, port);
	for (;;) {
		int fd = socket(AF_INET, SOCK_STREAM, 0);
		// Before the handshake, which announces the window's scale.
		if (rcvbuf > 0)
			setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf,
			    sizeof(rcvbuf));
		// A port nobody listens on yet can connect to itself.
		if (connect(fd, reinterpret_cast<sockaddr *>(&addr),
		        sizeof(addr)) == 0 &&
		    local_port(fd) != port)
			return fd;
		close(fd);
		if (Clock::now() > deadline)
			return -1;
		usleep(10000);
	}
}

static int
bound_socket(int type, int port, const char *ip = "127.0.0.1")
{
	int fd = socket(AF_INET, type, 0);
	int on = 1;
	sockaddr_in addr = ipv4(ip, port);
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
	if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == -1)
		throw std::runtime_error("bind failed");
	return fd;
}

int
tcp_listen(int port, const char *ip)
{
	int fd = bound_socket(SOCK_STREAM, port, ip);
	if (listen(fd, 64) == -1)
		throw std::runtime_error("listen failed");
	return fd;
}

int
udp_bind(int port)
{
	return bound_socket(SOCK_DGRAM, port);
}

int
local_port(int fd)
{
	sockaddr_in addr{};
	socklen_t len = sizeof(addr);
	getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
	return ntohs(addr.sin_port);
}

double
cpu_seconds(pid_t pid)
{
	std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	// Fields 14 and 15, counted after the parenthesised command name.
	std::istringstream in(stat.substr(stat.rfind(')') + 2));
	std::string field;
	unsigned long utime = 0, stime = 0;
	for (int i = 3; i <= 15 && in >> field; i++) {
		if (i == 14)
			utime = std::stoul(field);
		if (i == 15)
			stime = std::stoul(field);
	}
	return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

int
open_fds(pid_t pid)
{
	DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
	int n = 0;
	if (d == nullptr)
		return -1;
	while (dirent *e = readdir(d)) {
		if (e->d_name[0] != '.')
			n++;
	}
	closedir(d);
	return n;
}

long
resident_kib(pid_t pid)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	for (std::string line; std::getline(in, line);) {
		if (line.rfind("VmRSS:", 0) == 0)
			return std::stol(line.substr(6));
	}
	return -1;
}

bool
send_all(int fd, const std::string &data, double seconds)
{
	auto deadline = deadline_in(seconds);
	size_t done = 0;
	while (done < data.size()) {
		if (!wait_fd(fd, POLLOUT, deadline))
			return false;
		ssize_t n = send(fd, data.data() + done, data.size() - done,
		    MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n == -1 && errno != EAGAIN && errno != EINTR)
			return false;
		if (n > 0)
			done += static_cast<size_t>(n);
	}
	return true;
}

std::string
recv_n(int fd, size_t n, double seconds)
{
	auto deadline = deadline_in(seconds);
	std::string got;
	char buf[65536];
	while (got.size() < n) {
		if (!wait_fd(fd, POLLIN, deadline))
			break;
		ssize_t r = recv(fd, buf, std::min(sizeof(buf), n - got.size()),
		    MSG_DONTWAIT);
		if (r == -1 && (errno == EAGAIN || errno == EINTR))
			continue;
		if (r <= 0)
			break;
		got.append(buf, static_cast<size_t>(r));
	}
	return got;
}

int
recv_to_end(int fd, std::string *got, double seconds)
{
	auto deadline = deadline_in(seconds);
	char buf[65536];
	for (;;) {
		if (!wait_fd(fd, POLLIN, deadline))
			return -1;
		ssize_t r = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
		if (r == -1 && (errno == EAGAIN || errno == EINTR))
			continue;
		if (r <= 0)
			return r == 0 ? 0 : errno;
		got->append(buf, static_cast<size_t>(r));
	}
}

bool
recv_to_eof(int fd, std::string *got, double seconds)
{
	return recv_to_end(fd, got, seconds) != -1;
}

bool
closed_by_peer(int fd, double seconds)
{
	std::string ignored;
	return recv_to_eof(fd, &ignored, seconds);
}

bool
recv_datagram(int fd, std::string *got, double seconds, int *from_port)
{
	if (!wait_fd(fd, POLLIN, deadline_in(seconds)))
		return false;
	std::string buf(65536, '\0');
	sockaddr_in from{};
	socklen_t len = sizeof(from);
	ssize_t n = recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT,
	    reinterpret_cast<sockaddr *>(&from), &len);
	if (n < 0)
		return false;
	got->assign(buf.data(), static_cast<size_t>(n));
	if (from_port)
		*from_port = ntohs(from.sin_port);
	return true;
}

void
send_datagram(int fd, int port, const std::string &data)
{
	sockaddr_in addr = loopback(port);
	if (sendto(fd, data.data(), data.size(), 0,
	        reinterpret_cast<sockaddr *>(&addr),
	        sizeof(addr)) != static_cast<ssize_t>(data.size()))
		throw std::runtime_error("sendto failed");
}

std::string
random_bytes(size_t n, unsigned seed)
{
	std::mt19937 gen(seed);
	std::string s(n, '\0');
	for (auto &c : s)
		c = static_cast<char>(gen());
	return s;
}

int
copy_fd(pid_t pid, int fd)
{
	int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
	int copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
	close(pidfd);
	return copy;
}

int
int_option(int fd, int level, int name)
{
	int value = -1;
	socklen_t len = sizeof(value);
	getsockopt(fd, level, name, &value, &len);
	return value;
}

void
wait_acknowledged(int fd, double seconds)
{
	int unacked = 1;
	for (auto deadline = deadline_in(seconds);
	     unacked > 0 && Clock::now() < deadline; usleep(1000))
		ioctl(fd, SIOCOUTQ, &unacked);
}

void
set_linger_zero(int fd)
{
	linger l{1, 0};
	setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

void
close_with_reset(int fd)
{
	set_linger_zero(fd);
	close(fd);
}

bool
pings(int fd)
{
	return fd != -1 && send_all(fd, "ping", 5) &&
	    recv_n(fd, 4, 5) == "ping";
}

bool
echo_intact(int fd, const std::string &data, double seconds)
{
	bool sent = false;
	std::thread writer([&] { sent = send_all(fd, data, seconds); });
	std::string got = recv_n(fd, data.size(), seconds);
	writer.join();
	return sent && got == data;
}

PeerServer::PeerServer(PeerHandler h, const char *ip) :
    handler(std::move(h)), listen_fd(tcp_listen(0, ip))
{
	port = local_port(listen_fd);
	acceptor = std::thread([this] {
		for (;;) {
			int fd = accept(listen_fd, nullptr, nullptr);
			if (fd == -1 || stopping) {
				if (fd != -1)
					close(fd);
				return;
			}
			accepted++;
			std::lock_guard<std::mutex> g(lock);
			open_conns.push_back(fd);
			threads.emplace_back([this, fd] {
				handler(fd, stopping);
				std::lock_guard<std::mutex> g2(lock);
				std::erase(open_conns, fd);
				close(fd);
			});
		}
	});
}

void
echo_handler(int fd, const std::atomic<bool> &)
{
	char buf[65536];
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) > 0) {
		for (ssize_t done = 0, w; done < n; done += w) {
			w = send(fd, buf + done, static_cast<size_t>(n - done),
			    MSG_NOSIGNAL);
			if (w <= 0)
				return;
		}
	}
	shutdown(fd, SHUT_WR);
}

PeerServer::~PeerServer()
{
	stopping = true;
	shutdown(listen_fd, SHUT_RDWR);
	acceptor.join();
	close(listen_fd);
	{
		std::lock_guard<std::mutex> g(lock);
		for (int fd : open_conns)
			shutdown(fd, SHUT_RDWR);
	}
	for (auto &t : threads)
		t.join();
}

UdpEcho::UdpEcho() : fd(udp_bind()), port(local_port(fd))
{
	thread = std::thread([this] {
		std::string got;
		int from;
		while (!stop) {
			if (recv_datagram(fd, &got, 0.05, &from))
				send_datagram(fd, from, got);
		}
	});
}

UdpEcho::~UdpEcho()
{
	stop = true;
	thread.join();
	close(fd);
}

Link::Link(bool forwarded, bool pending)
{
	listener = tcp_listen();
	// Accepted sockets inherit it.
	setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &SMALL_BUFFER,
	    sizeof(SMALL_BUFFER));
	if (pending) {
		listen(listener, 0); // one waiting connection fills it
		queued = tcp_connect(local_port(listener), 1);
	}
	int port = local_port(listener);
	if (forwarded) {
		port = free_port();
		forwarder = std::make_unique<Forwarder>(rule(port,
		    local_port(listener)));
	}
	user = tcp_connect(port, 10, "127.0.0.1", SMALL_BUFFER);
	if (!pending)
		dest = accept(listener, nullptr, nullptr);
}

Link::~Link()
{
	for (int fd : {user, dest, queued, listener})
		close(fd);
}

bool
run(const std::string &command)
{
	return system(command.c_str()) == 0;
}

std::string
near_ip(int link)
{
	return "10.77." + std::to_string(link) + ".1";
}

Namespaces::Namespaces()
{
	home_ns = open("/proc/thread-self/ns/net", O_RDONLY);
	if (unshare(CLONE_NEWNET) == -1)
		return;
	near_ns = open("/proc/thread-self/ns/net", O_RDONLY);
	std::string cmd = "ip link set lo up && ip netns add " + name +
	    " && ip -n " + name + " link set lo up";
	for (int n = 1; n <= 3; n++) {
		std::string l = std::to_string(n), net = "10.77." + l;
		cmd += " && ip link add bxn" + l + " type veth peer name bxf" +
		    l + " netns " + name + " && ip addr add " + net +
		    ".1/24 dev bxn" + l + " && ip link set bxn" + l +
		    " up && ip -n " + name + " addr add " + net +
		    ".2/24 dev bxf" + l + " && ip -n " + name +
		    " link set bxf" + l + " up";
	}
	// The router loses what it cannot forward without a word, as
	// a wire would.  The link takes at least 300 ms to time a try
	// out, as one with a round trip of 100 ms would: tries back
	// off to 76 s and then 153 s after the last answer.
	const std::string r = "ip -n " + router + " ",
	                  in_r = "ip netns exec " + router + " ",
	                  f = "ip -n " + name + " ";
	for (const std::string &c :
	    {"ip netns add " + router, r + "link set lo up",
	        "ip link add bxn4 type veth peer name bxr4 netns " + router,
	        r + "link add bxs4 type veth peer name bxf4 netns " + name,
	        std::string("ip addr add 10.77.4.1/24 dev bxn4"),
	        std::string("ip link set bxn4 up"),
	        r + "addr add 10.77.4.2/24 dev bxr4",
	        r + "addr add 10.77.5.2/24 dev bxs4", r + "link set bxr4 up",
	        r + "link set bxs4 up", f + "addr add 10.77.5.1/24 dev bxf4",
	        f + "link set bxf4 up",
	        in_r + "sysctl -qw net.ipv4.ip_forward=1",
	        in_r + "nft add table inet r",
	        in_r +
	            "nft add chain inet r out '{ type filter hook "
	            "output priority 0; }'",
	        in_r +
	            "nft add rule inet r out icmp type "
	            "destination-unreachable drop",
	        std::string("ip route add 10.77.5.0/24 via 10.77.4.2 "
	                    "rto_min 300ms"),
	        f +
	            "route add 10.77.4.0/24 via 10.77.5.2 rto_min "
	            "300ms"})
		cmd += " && " + c;
	if (run(cmd))
		far_ns = open(("/run/netns/" + name).c_str(), O_RDONLY);
}

Namespaces::~Namespaces()
{
	// Also what a set-up that failed half-way made.
	run("ip netns del " + name + " 2>/dev/null");
	run("ip netns del " + router + " 2>/dev/null");
	close(far_ns);
	close(near_ns);
	setns(home_ns, CLONE_NEWNET);
	close(home_ns);
}

bool
Namespaces::outage(bool on)
{
	return run("ip -n " + router + " link set bxs4 " +
	    (on ? "down" : "up"));
}
