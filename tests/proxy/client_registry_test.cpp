#include "proxy/client_registry.h"

#include <gtest/gtest.h>

TEST(ClientRegistry, RemoveTakesTheFirstMatchAndCloseAllRefusesNewSocketsUntilOpen) {
    ClientRegistry r;
    r.add(5);
    r.add(7);
    r.add(5);
    EXPECT_TRUE(r.remove(5));
    EXPECT_EQ(r.sockets, (decltype(r.sockets){7, 5}));
    EXPECT_FALSE(r.remove(9));
    r.sockets = {invalidSocket}; // closeAll shuts entries down: no real descriptor here
    r.closeAll();
    EXPECT_TRUE(r.isStopping());
    EXPECT_FALSE(r.add(3));
    EXPECT_EQ(r.size(), 1u); // owners remove their own entries
    r.open();
    EXPECT_FALSE(r.isStopping());
    EXPECT_TRUE(r.add(3));
}
