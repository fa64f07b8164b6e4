// The engine on its fixed port 127.0.0.1:10800 (run under the machine-wide
// lock of that port).
#include "proxy/engine.h"
#include "tests/proxy/engine_support.h"

#include <gtest/gtest.h>

TEST(FixedPort, OneEngineHoldsThePortAndItsStopReleasesIt) {
    const UpstreamEndpoint nowhere{"127.0.0.1", 9, "", ""};
    ProxyEngine engine, second;
    ASSERT_TRUE(engine.start(nowhere)) << "127.0.0.1:10800 is taken by someone else";
    EXPECT_FALSE(engine.start(nowhere)) << "a second start while running";
    EXPECT_FALSE(second.start(nowhere)) << "a taken port";
    EXPECT_FALSE(second.running());
    EXPECT_TRUE(engine.running());
    {
        TestClient client(listenPort);
        EXPECT_TRUE(client.connected());
        engine.stop();
    }
    EXPECT_FALSE(engine.running());
    EXPECT_TRUE(second.start(nowhere)) << "the port given back by the stop";
}
