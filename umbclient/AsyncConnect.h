// Name resolution for the online-access sockets on a connector thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "kiv/Udp.h"

// Queues the resolution of (host, port) to an IPv4 address; when it succeeds the connector
// thread writes the 16-byte socket address (sockaddr_in) into `out`. A newer request for the
// same `out` replaces an older one still pending, so a slow old answer never overwrites a
// newer address. False (nothing queued) for an empty host, a port outside 1..65535 or a
// null `out`.
[[nodiscard]] bool QueueAsyncConnect(const std::string& host, int port, void* out);

// As QueueAsyncConnect, but the answer goes to `done` on the connector thread (ok false when
// the name does not resolve), called under the connector's lock: it must only hand the
// address over and return. `owner` plays the part of `out` for superseding and cancelling.
using AsyncResolveDone = std::function<void(bool ok, const Kiv::SocketAddress& address)>;
[[nodiscard]] bool QueueAsyncResolve(const std::string& host, int port, const void* owner,
                                     AsyncResolveDone done);

// Drops every pending request for `out`; after it returns nothing more is written there
// (and no `done` of it is called). Owners of `out` call this before they free it.
void CancelAsyncConnect(const void* out);

// Waits until every queued request is done (shut-down and tests).
void FlushAsyncConnects();

// The network layer's shut-down: drops every pending request (nothing more is written to any
// `out`), refuses new ones from then on and waits for the connector thread to end.
void StopAsyncConnects();
