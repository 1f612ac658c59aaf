// main() of every test program that opens sockets: refuses to run outside a
// private network namespace, so no test datagram can reach a real network.
#include "support/PrivateNetwork.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (!kivtest::inPrivateNetwork()) {
        std::fprintf(stderr, "%s: refusing to run outside a private network namespace; "
                             "start it through scripts/netns-run\n", argv[0]);
        return 97;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
