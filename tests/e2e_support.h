// End-to-end helpers: the real binary started in a temporary directory,
// and loopback peers with deadlines on every wait.
#ifndef BRENNIX_TESTS_E2E_SUPPORT_H
#define BRENNIX_TESTS_E2E_SUPPORT_H

#include <sys/types.h>

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

// Where a wrapper such as valgrind is told to log (--log-fd).
constexpr int WRAPPER_LOG_FD = 100;

// brennix running in its own temporary directory on the given rules file,
// with its standard output and error in files there.  Killed and reaped when
// the object goes out of scope.  The binary is $BRENNIX_BIN, else the one
// built beside the test program; $BRENNIX_WRAPPER (e.g. a valgrind command
// line) is put in front of it, logging to descriptor WRAPPER_LOG_FD;
// when the log holds a valgrind report with errors, the test fails.
struct Forwarder {
	// How the forwarder's standard streams are set up: files in its
	// directory, all three closed, or standard error a pipe whose reader
	// has gone.
	enum class Streams { FILES, CLOSED, BROKEN_PIPE };

	// max_fds > 0 lowers the process's descriptor limit to that;
	// inherited > 0 leaves that many descriptors open from 3 up, as a
	// careless parent would.
	explicit Forwarder(const std::string &config, int max_fds = 0,
	    Streams streams = Streams::FILES, int inherited = 0);
	// Started without a rules file.
	explicit Forwarder(std::nullopt_t);
	~Forwarder();
	Forwarder(const Forwarder &) = delete;
	Forwarder &operator=(const Forwarder &) = delete;

	// The exit status, or -1 if it still runs after the given time.
	int wait_exit(double seconds);
	bool alive();
	// Sends SIGTERM and reaps; returns how the process ended (wait status).
	int stop();
	std::string err() const { return read_file(dir.path + "/stderr"); }
	std::string out() const { return read_file(dir.path + "/stdout"); }
	// What standard error holds after the banner.
	std::string after_banner() const;

	TempDir dir;
	pid_t pid = -1;
	int status = 0;

    private:
	void start(int max_fds, Streams streams, int inherited = 0);
};

// One line of a rules file.
std::string rule(int local_port, int remote_port, const char *proto = "tcp",
    const char *host = "127.0.0.1");
// Every line after the banner reports one pair's read or write failure.
void expect_only_pair_failures(const Forwarder &forwarder);

// A TCP connection to 127.0.0.1:port (or ip:port), retried until the
// deadline while the port refuses; -1 if none was made.  With rcvbuf, its
// receive buffer is that small, so that it shuts its window soon when it
// is not read.
int tcp_connect(int port, double seconds = 10, const char *ip = "127.0.0.1",
    int rcvbuf = 0);
// A TCP socket listening on 127.0.0.1 (or ip) at port (0: any free port).
int tcp_listen(int port = 0, const char *ip = "127.0.0.1");
// A UDP socket bound to 127.0.0.1 at port (0: any free port).
int udp_bind(int port = 0);
int local_port(int fd);

// CPU time (user and system) the process has used so far, in seconds.
double cpu_seconds(pid_t pid);
// Open descriptors of the process, and its resident memory in KiB.
int open_fds(pid_t pid);
long resident_kib(pid_t pid);

bool send_all(int fd, const std::string &data, double seconds = 20);
// Reads until n bytes, end of stream, an error or the deadline.
std::string recv_n(int fd, size_t n, double seconds = 20);
// Reads until end of stream or an error; false on timeout.
bool recv_to_eof(int fd, std::string *got, double seconds = 20);
// The same, telling how the stream ended: 0 for an orderly end, the error
// number for a failure (ECONNRESET for a reset), -1 on timeout.
int recv_to_end(int fd, std::string *got, double seconds = 20);
// True when the peer closes (or resets) fd within the time.
bool closed_by_peer(int fd, double seconds = 10);
// One datagram, or false on timeout.
bool recv_datagram(int fd, std::string *got, double seconds = 5,
    int *from_port = nullptr);
void send_datagram(int fd, int port, const std::string &data);

std::string random_bytes(size_t n, unsigned seed);

// "ping" there and back within 5 s; false for fd -1.
bool pings(int fd);
// Sends data from a thread while reading its echo; true when every byte
// came back in order.
bool echo_intact(int fd, const std::string &data, double seconds = 120);

// Descriptor fd of process pid, copied into this process (-1 if it has
// none), and an integer socket option of a descriptor (-1 on failure).
int copy_fd(pid_t pid, int fd);
int int_option(int fd, int level, int name);

// Waits up to the time until fd's peer has acknowledged all it was sent.
void wait_acknowledged(int fd, double seconds = 30);
// Makes close reset the connection instead of ending it with a FIN.
void set_linger_zero(int fd);
void close_with_reset(int fd);

// A loopback destination (or one on ip) that runs handler on every
// connection it accepts,
// one thread each, and closes the connection when the handler returns (a
// handler that sets a zero linger time makes that a reset).  The default
// handler echoes.  When the server is destroyed, stopping is set and every
// open connection is shut down.
using PeerHandler =
    std::function<void(int fd, const std::atomic<bool> &stopping)>;
void echo_handler(int fd, const std::atomic<bool> &stopping);

struct PeerServer {
	explicit PeerServer(PeerHandler handler = echo_handler,
	    const char *ip = "127.0.0.1");
	~PeerServer();
	PeerServer(const PeerServer &) = delete;
	PeerServer &operator=(const PeerServer &) = delete;

	int port;
	std::atomic<int> accepted{0};

    private:
	PeerHandler handler;
	int listen_fd;
	std::atomic<bool> stopping{false};
	std::mutex lock;
	std::vector<int> open_conns;
	std::vector<std::thread> threads;
	std::thread acceptor;
};
using EchoServer = PeerServer;

// A UDP destination on 127.0.0.1 that sends every datagram back to its
// sender, from a thread of its own, until it is destroyed.
struct UdpEcho {
	UdpEcho();
	~UdpEcho();
	UdpEcho(const UdpEcho &) = delete;
	UdpEcho &operator=(const UdpEcho &) = delete;

	int fd;
	int port;

    private:
	std::atomic<bool> stop{false};
	std::thread thread;
};

constexpr int SMALL_BUFFER = 16 << 10;

// A user and a destination joined directly, or through a forwarder of
// their own.  Both ends have small receive buffers, so that a reader that
// waits holds its sender back.  With pending, the destination's accept
// queue is full, so that a connect to it stays pending (dest is -1).
struct Link {
	explicit Link(bool forwarded, bool pending = false);
	~Link();
	Link(const Link &) = delete;
	Link &operator=(const Link &) = delete;

	// The two ends as sender and receiver of a transfer.
	int from(bool downstream) const { return downstream ? dest : user; }
	int to(bool downstream) const { return downstream ? user : dest; }

	int listener = -1, queued = -1, user = -1, dest = -1;
	std::unique_ptr<Forwarder> forwarder;
};

// Runs a shell command; true when it succeeded.
bool run(const std::string &command);
// The near address of link N of Namespaces.
std::string near_ip(int link);

// The calling thread in a network namespace of its own (near), and a far
// one joined to it by links 1 to 3, N = 10.77.N.0/24, near .1 and far .2,
// and through a router by link 4: near 10.77.4.1, far 10.77.5.1.  Threads
// it starts afterwards, and the forwarders, live near too.  On its way
// out it takes the thread back to the namespace it came from.  far_ns is
// -1 where namespaces cannot be made.
struct Namespaces {
	Namespaces();
	~Namespaces();
	Namespaces(const Namespaces &) = delete;
	Namespaces &operator=(const Namespaces &) = delete;

	// Runs make in the far namespace: the sockets it makes, and the
	// threads it starts, live there.
	template <typename F> void far(F make)
	{
		setns(far_ns, CLONE_NEWNET);
		make();
		setns(near_ns, CLONE_NEWNET);
	}
	// A connection from the far namespace to the forwarder, or to a
	// destination, on link's near address (tcp_connect's rcvbuf).
	int far_connect(int link, int port, int rcvbuf = 0)
	{
		int fd = -1;
		far([&] {
			fd = tcp_connect(port, 10, near_ip(link).c_str(),
			    rcvbuf);
		});
		return fd;
	}

	// Link 4 goes down, for an outage, or up again.
	bool outage(bool on);

	std::string name = "bx-far-" + std::to_string(getpid());
	std::string router = "bx-router-" + std::to_string(getpid());
	int home_ns = -1, near_ns = -1, far_ns = -1;
};

#endif
