// Shared by the tests: the network guard installed by the test main.
#pragma once

#include <string>

namespace testsupport {

// The loopback endpoint that every broadcast lands on unless a test points the broadcast
// destination at a simulator; anything arriving there fails the running test.
std::string tripwireAddress();

// Puts NLI_BROADCAST_ADDRESS back to the tripwire (the harness does this after every test).
void restoreBroadcastGuard();

} // namespace testsupport
