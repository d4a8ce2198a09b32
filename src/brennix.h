/*
 * brennix: a small TCP and UDP port forwarder.
 *
 * The records and constants shared by every module, and the functions each
 * module offers the others.  One thread, one select loop, no allocation
 * after start-up.
 */
#ifndef BRENNIX_H
#define BRENNIX_H

#include <sys/select.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <span>

constexpr int MAX_CONNECTIONS = 30;     /* TCP pairs open at once */
constexpr int MAX_FORWARDS = 10;        /* rules in the rules file */
constexpr int RELAY_BUFSIZE = 2048;     /* per direction of a TCP pair */
constexpr int DATAGRAM_BUFSIZE = 65535; /* any IPv4 UDP payload, whole */
constexpr int UDP_BATCH = 16;           /* datagrams moved per call */
constexpr int RECENT_MS = 50;           /* a UDP socket stays busy, and other
                                           traffic recent, this long */
constexpr int UDP_RCVBUF = 1 << 20;     /* asked for each UDP socket */
constexpr int CONFIG_LINE_SIZE = 80;    /* 79 characters and the NUL */
constexpr int MAX_TOKENS = 10;          /* fields looked at in one line */
constexpr int LISTEN_BACKLOG = 25;

/*
 * The descriptor sets cover every descriptor the forwarder holds at once:
 * the three standard streams, two sockets for each rule and two for each
 * pair.  Start-up closes any other descriptor it inherits, so that every
 * slot the banner counts can be used.
 */
constexpr int STANDARD_STREAMS = 3;
constexpr int SELECT_LIMIT =
    STANDARD_STREAMS + 2 * MAX_FORWARDS + 2 * MAX_CONNECTIONS;
static_assert(SELECT_LIMIT <= FD_SETSIZE, "the sets must hold every socket");

constexpr char CONFIG_FILE[] = "brennix.cfg";

enum { PROTO_TCP = 0, PROTO_UDP = 1 };

/*
 * A TCP pair's life.  `state` says what the loop does with a slot in use,
 * `ended` which side ended first and how.  A side ends at its end of
 * stream or at a failure: what was buffered toward it is dropped, what is
 * buffered toward the other side, the open side, is written out, and what
 * the open side sends has nowhere to go and is dropped.  A side that ended
 * its stream is sent the end of ours; a side that failed a write is first
 * read to the end of what it had sent.  When brennix holds nothing more
 * for the open side, the pair closes, unless that would destroy what the
 * open side's kernel still holds for its peer: then it lingers.  For an
 * orderly end the open side's stream is ended after its data and the pair
 * closes once the peer has acknowledged all, ended or failed.  When the
 * side that ended failed, the open side is reset at the close, once its
 * peer has acknowledged all the data.  A socket's close, brennix's own or
 * the kernel's when brennix dies, is a reset until brennix hands it an
 * orderly end: the end of stream sent to a side that ended its own, and
 * an orderly end's whole stream once brennix holds nothing more for the
 * open side.  So a killed brennix leaves no stream that looks complete
 * and is not, and one it had handed over completes from its kernel.
 *
 *   state       ended             user          destination       files
 *   CONNECTING  END_NONE          read          connecting        loop, pump
 *   CONNECTING  END_USER(_RESET)  ended         connecting, then  loop, end
 *                                               as DRAINING
 *   CONNECTED   END_NONE          read,         read, written     pump
 *                                 written
 *   DRAINING    END_USER(_RESET)  ended         written out;      pump, end
 *                                               read, dropped
 *   DRAINING    END_USER_REFUSED  read to its   written out;      pump, end
 *                                 end           read, dropped
 *   FLUSHING    END_USER(_...)    as draining   ended too;        pump, end
 *                                               written out, not
 *                                               read
 *   LINGERING   END_USER          ended         its stream ended; check,
 *                                               read, dropped     pump, end
 *   LINGERING   END_USER_RESET    ended         read, dropped;    check,
 *                                               then reset        pump, end
 *   ACKING      END_USER_RESET    ended         ended too, not    check
 *                                               read; then reset
 *
 * and the same with the sides swapped (END_SERVER...); the states are
 * SLOT_ ones.  The files that act on a row: loop, event_loop.cpp (the
 * connect test); pump, tcp_pump.cpp (what is read and written); end,
 * pair_end.cpp (the move to the next row when a side ends, and the
 * close); check, peer_check.cpp (the close once the open side's peer has
 * acknowledged everything).  The open side's end of stream moves
 * SLOT_DRAINING to SLOT_FLUSHING and SLOT_LINGERING to its close, or to
 * SLOT_ACKING ahead of a reset; its failure closes the pair.  A side whose
 * peer is found gone (peer_check.cpp, PEER_SILENCE_MS) fails in every
 * state but SLOT_CONNECTING, whose connect has a bound of its own; in the
 * states after SLOT_CONNECTED only the open side is looked at, and its
 * failure closes the pair.  A connect that is reset as it completes ends
 * the destination's side as a write to it would fail: it is read to its
 * end, then reset.
 */
enum slot_state : int {
	SLOT_IDLE = 0,       /* free, or accepted and not yet connecting */
	SLOT_CONNECTING = 1, /* outbound connect in progress */
	SLOT_CONNECTED = 2,  /* data pumped both ways */
	SLOT_DRAINING = 3,   /* one side ended; the other is written out */
	SLOT_FLUSHING = 4,   /* ... and it ended too */
	SLOT_LINGERING = 5,  /* all written; waits for the open side's peer */
	SLOT_ACKING = 6,     /* ... which ended too: waits for its ack */
};

enum side_end : int {
	END_NONE = 0,
	END_USER = 1,           /* the user's stream ended */
	END_USER_RESET = 2,     /* ... at a failure */
	END_USER_REFUSED = 3,   /* a write to the user failed */
	END_SERVER = 4,         /* the destination's stream ended */
	END_SERVER_RESET = 5,   /* ... at a failure */
	END_SERVER_REFUSED = 6, /* a write to the destination failed */
};

/*
 * select reports no acknowledgement, so the peer check looks at what a
 * pair's peers have yet to acknowledge: PEER_CHECK_MS after the pair sent
 * bytes, and once a second while any wait.  A lingering pair whose kernel
 * has sent all it holds for the peer is looked at every LINGER_POLL_MS
 * while the peer answers, so that it closes soon after the last
 * acknowledgement.  A pair that holds no unacknowledged byte is not
 * looked at.
 */
constexpr int PEER_CHECK_MS = 1000;
constexpr int LINGER_POLL_MS = 20;

/*
 * A peer that vanished without a word is let go, its side ended as by a
 * failed read with ETIMEDOUT, once the kernel's tries to reach it have
 * gone unanswered for PEER_SILENCE_MS: at the first try after that span
 * that is not answered within PEER_ANSWER_MS, whatever the pair is doing.
 * So an outage shorter than the span never ends a connection, and a live
 * peer, which answers every try however long it keeps its window shut,
 * is never cut off.  Tries of a connection with bytes or its end of
 * stream unacknowledged are retransmissions and window probes, backed off
 * up to KERNEL_RTO_MAX_MS, and from the first try seen unanswered on up to
 * PEER_RTO_MAX_MS where the kernel takes TCP_RTO_MAX_OPTION (Linux 6.15
 * on; older headers lack the name).  A stream handed over to its kernel
 * (pair_end.cpp) is backed off as the kernel's own are.
 * An idle connection is tried by keepalive: probes after KEEPALIVE_IDLE
 * seconds, then every KEEPALIVE_INTERVAL seconds, KEEPALIVE_COUNT
 * unanswered, which span PEER_SILENCE_MS.  A connect is given up after
 * CONNECT_SYN_RETRIES retransmitted SYNs, about a minute.
 */
constexpr long long PEER_SILENCE_MS = 120000;
constexpr long long PEER_ANSWER_MS = 5000;
constexpr int PEER_RTO_MAX_MS = 30000;
constexpr int KERNEL_RTO_MAX_MS = 120000;
constexpr int TCP_RTO_MAX_OPTION = 44;
constexpr int KEEPALIVE_IDLE = 20;
constexpr int KEEPALIVE_INTERVAL = 10;
constexpr int KEEPALIVE_COUNT =
    static_cast<int>(PEER_SILENCE_MS / 1000 / KEEPALIVE_INTERVAL) + 1;
constexpr int CONNECT_SYN_RETRIES = 5;

enum connect_status : int {
	CONNECT_DONE = 0,    /* connected at once */
	CONNECT_PENDING = 1, /* connect in progress */
	CONNECT_FAILED = 2,  /* failed and reported; no socket returned */
	CONNECT_REFUSED = 3, /* refused; the socket is returned open */
};

/*
 * One direction of a UDP rule: the datagrams one of its sockets receives,
 * sent on the other.  When the sending socket is full, the rest of the
 * batch waits here, and this direction receives nothing until they are
 * sent; the rule's other direction and every other rule go on.
 */
struct udp_drain {
	int held;          /* the batch that holds them, -1 when none waits */
	int next;          /* the first of them not sent yet */
	int count;         /* one past the last */
	long long busy_at; /* loop clock (ms) of the last receive that took
	                      all it asked for; 0 for none */
};

struct forward_rule {
	int local_port;           /* as parsed; low 16 bits are used */
	int remote_port;          /* as parsed; low 16 bits are used */
	int proto;                /* PROTO_TCP or PROTO_UDP */
	int listen_fd;            /* listening (TCP) or bound (UDP) socket */
	sockaddr_in dest_addr;    /* destination, network byte order */
	int udp_fd;               /* UDP only: socket connected to dest_addr */
	sockaddr_in client_addr;  /* UDP only: client that sent last */
	socklen_t client_addrlen; /* UDP only: length of client_addr */
	in_addr client_local;     /* UDP only: our address it sent to */
	udp_drain from_clients;   /* UDP only: listen_fd to udp_fd */
	udp_drain from_destination; /* UDP only: udp_fd to listen_fd */
};

/* What the peer check saw of one side's peer. */
struct peer_watch {
	unsigned tries;      /* the kernel's tries to reach it, so far */
	long long looked_at; /* loop clock (ms) of the last look */
	long long first_try; /* ... at which a try was first seen left
	                        unanswered; 0 when it answered since */
	long long late_try;  /* ... at which one was seen PEER_SILENCE_MS
	                        after that; 0 when none yet */
	bool capped;         /* its tries are backed off up to
	                        PEER_RTO_MAX_MS */
};

struct conn_slot {
	int user_fd;   /* accepted socket, -1 when the slot is free */
	int server_fd; /* socket to the destination, -1 when none */
	char to_server[RELAY_BUFSIZE]; /* read from the user, not yet sent */
	char to_user[RELAY_BUFSIZE];   /* read from the destination */
	char *to_server_end;           /* one past the last byte buffered */
	char *to_server_pos;           /* first byte not yet sent */
	char *to_user_end;
	char *to_user_pos;
	slot_state state;
	side_end ended;     /* END_NONE until one side ends */
	int user_queued;    /* bytes the user socket still held at its last */
	int server_queued;  /* read, and the destination socket at its own */
	bool sent;          /* sent bytes or an end since the loop last saw */
	long long check_at; /* loop clock (ms) of the next look at what the
	                       peers acknowledged; 0 when none is due */
	bool unsent;        /* lingering: the open side's kernel holds bytes
	                       it has not sent; select watches for when it
	                       has sent them all */
	peer_watch user_watch;
	peer_watch server_watch;
};

/* report.cpp */
extern int verbose;
[[noreturn]] void die(const char *step);

/* config.cpp */
enum config_line_result {
	LINE_SKIPPED,         /* not four fields, or a comment */
	LINE_RULE,            /* a complete rule */
	LINE_BAD_LOCAL_PORT,  /* *bad_field is the local port field */
	LINE_BAD_REMOTE_PORT, /* *bad_field is the remote port field */
	LINE_BAD_HOST,        /* *bad_field is the host field */
	LINE_BAD_PROTO,       /* *bad_field is the protocol field */
};
config_line_result parse_config_line(std::span<char, CONFIG_LINE_SIZE> line,
    forward_rule *rule, const char **bad_field);
int read_config(forward_rule *rules, int capacity);

/* sockets.cpp */
int set_option(int fd, int level, int name, int value);
int set_close_reset(int fd, bool reset);
int setup_listen_socket(int backlog, int port, int type);
int setup_connect_socket(int type, const sockaddr_in *addr, socklen_t addrlen,
    connect_status *status);
void setup_forwards(forward_rule *rules, int rule_count, conn_slot *slots,
    int slot_count);

/* slot_table.cpp */
int find_free_slot(const conn_slot *slots, int slot_count);
void close_slot(conn_slot *slot);
int set_select_count(int count);
bool fd_selectable(int fd);
void watch_fd(int fd, fd_set *set);

/* pair_end.cpp */
bool nothing_pending(const conn_slot *slot);
bool user_ended(const conn_slot *slot);
bool refused(const conn_slot *slot);
bool ends_in_order(const conn_slot *slot);
int open_side_fd(const conn_slot *slot);
int unacknowledged(int fd);
peer_watch *watch_of(conn_slot *slot, int fd);
bool end_pair(conn_slot *slot);
void all_sent(conn_slot *slot);
bool stream_ended(const conn_slot *slot);
void end_side(conn_slot *slot, bool user_side, int error, bool writing);

/* tcp_pump.cpp */
void slot_interest(const conn_slot *slot, fd_set *read_set, fd_set *write_set);
void pump_slot(conn_slot *slot, fd_set *read_set, fd_set *write_set);

/* peer_check.cpp */
int check_peers(conn_slot *slot, long long now);
long long look_at_peers(conn_slot *slots, int slot_count, long long now);

/* udp_relay.cpp */
void udp_setup(forward_rule *rule);
bool drain_udp(forward_rule *rule, fd_set *read_set, bool busy, int step,
    long long now);
void udp_interest(forward_rule *rules, int rule_count, fd_set *read_set,
    fd_set *write_set);
void udp_resume(forward_rule *rules, int rule_count, const fd_set *write_set);

/* event_loop.cpp */
[[noreturn]] void forward_loop(forward_rule *rules, int rule_count,
    conn_slot *slots, int slot_count);

#endif
