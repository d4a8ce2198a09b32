/*
 * The slot table: finding a free slot, closing a TCP pair, and the one
 * guarded entry to the descriptor sets that select watches.
 */
#include <sys/select.h>

#include <unistd.h>

#include "brennix.h"

/*
 * Returns the index of the lowest free slot, or -1 when all are in use.
 */
int
find_free_slot(const conn_slot *slots, int slot_count)
{
	for (int i = 0; i < slot_count; i++) {
		if (slots[i].user_fd == -1)
			return i;
	}
	return -1;
}

/*
 * Closes both sockets of a pair and frees its slot.  A socket closes with
 * a reset unless brennix handed it an orderly end (pair_end.cpp); the
 * pump closes a pair that resets its open side only once that side's peer
 * has acknowledged what it was sent, so the reset throws none of it away.
 * The buffers keep their bytes; the next accept resets the pointers
 * before use.
 */
void
close_slot(conn_slot *slot)
{
	close(slot->user_fd);
	if (slot->server_fd != -1)
		close(slot->server_fd);
	slot->state = SLOT_IDLE;
	slot->ended = END_NONE;
	slot->server_fd = -1;
	slot->user_fd = -1;
}

/*
 * select looks at descriptors below this count only.  The loop fixes it
 * before its first pass; a descriptor at or above it is never watched.
 */
static int select_count = SELECT_LIMIT;

/*
 * Fixes the number of descriptors select looks at, at most SELECT_LIMIT;
 * returns it.
 */
int
set_select_count(int count)
{
	select_count = count < SELECT_LIMIT ? count : SELECT_LIMIT;
	return select_count;
}

/* True when select can watch fd. */
bool
fd_selectable(int fd)
{
	return fd >= 0 && fd < select_count;
}

/*
 * Adds fd to set if select can watch it.  Every descriptor the loop
 * watches goes through here, so that none is put beyond a set's capacity.
 */
void
watch_fd(int fd, fd_set *set)
{
	if (fd_selectable(fd))
		FD_SET(fd, set);
}
