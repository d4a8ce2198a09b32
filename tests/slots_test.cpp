// The slot table: the lowest free slot, and closing a pair.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "brennix.h"

namespace {

bool
is_open(int fd)
{
	return fcntl(fd, F_GETFD) != -1;
}

TEST(SlotTableTest, FindsTheLowestFreeSlot)
{
	std::vector<conn_slot> slots(MAX_CONNECTIONS);
	for (auto &slot : slots)
		slot.user_fd = 100;
	EXPECT_EQ(find_free_slot(slots.data(), MAX_CONNECTIONS), -1);

	slots[7].user_fd = -1;
	slots[3].user_fd = -1;
	EXPECT_EQ(find_free_slot(slots.data(), MAX_CONNECTIONS), 3);
	slots[3].user_fd = 100;
	EXPECT_EQ(find_free_slot(slots.data(), MAX_CONNECTIONS), 7);
	EXPECT_EQ(find_free_slot(slots.data(), 7), -1);
}

TEST(SlotTableTest, CloseSlotClosesThePairAndFreesTheSlot)
{
	int user[2], server[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, user), 0);
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, server), 0);

	conn_slot slot{};
	slot.user_fd = user[0];
	slot.server_fd = -1;
	slot.state = SLOT_IDLE;
	close_slot(&slot);
	EXPECT_FALSE(is_open(user[0]));
	EXPECT_TRUE(is_open(server[0]));
	EXPECT_EQ(slot.user_fd, -1);
	EXPECT_EQ(slot.server_fd, -1);

	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, user), 0);
	slot.user_fd = user[0];
	slot.server_fd = server[0];
	slot.state = SLOT_CONNECTED;
	close_slot(&slot);
	EXPECT_FALSE(is_open(user[0]));
	EXPECT_FALSE(is_open(server[0]));
	EXPECT_EQ(slot.state, SLOT_IDLE);
	EXPECT_EQ(slot.user_fd, -1);
	EXPECT_EQ(slot.server_fd, -1);

	close(user[1]);
	close(server[1]);
}

} // namespace
