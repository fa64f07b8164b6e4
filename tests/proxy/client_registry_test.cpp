#include "proxy/client_registry.h"

#include <gtest/gtest.h>

TEST(ClientRegistry, RemoveErasesOnlyTheFirstMatch) {
    ClientRegistry r;
    r.add(5);
    r.add(7);
    r.add(5);
    EXPECT_TRUE(r.remove(5));
    ASSERT_EQ(r.sockets.size(), 2u);
    EXPECT_EQ(r.sockets[0], 7);
    EXPECT_EQ(r.sockets[1], 5);
    EXPECT_FALSE(r.remove(9));
}

TEST(ClientRegistry, CloseAllRefusesNewSocketsUntilOpenAndKeepsEntries) {
    ClientRegistry r;
    EXPECT_TRUE(r.add(invalidSocket));
    r.closeAll();
    EXPECT_TRUE(r.isStopping());
    EXPECT_FALSE(r.add(3));
    EXPECT_EQ(r.size(), 1u); // owners remove their own entries
    r.open();
    EXPECT_FALSE(r.isStopping());
    EXPECT_TRUE(r.add(3));
}
