// How long the audio engine's request keeps waiting after the client of its direction dies in
// the middle of that request's handshake: from the client process's exit to the request's
// return. Each round runs in a fresh host machine with a fresh driver image.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace conduit::bench {

struct ClientDeathFigures {
    // One sample per round that ran, in order.
    std::vector<std::chrono::microseconds> deathToReturn;
    // What stopped a round, or what the verifier found after one; empty when every round ran
    // cleanly.
    std::string failure;
};

// Runs up to `rounds` rounds. In each, a raw client (no client library) answers the buffer
// handshake of an engine on the render endpoint, then goes silent on the engine's first state
// step; the client's process exits while that step waits, and the time until the engine's
// request returns is one sample. The rounds stop at the first failure.
ClientDeathFigures MeasureClientDeath(unsigned rounds);

} // namespace conduit::bench
