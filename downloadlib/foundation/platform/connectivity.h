// Whether this machine has a network connection (the downloaders' network watch), with a seam.
#pragma once

#include <functional>

// True when an interface other than loopback is up and has an address.
bool cpInternetConnected();

// The connectivity seam: while set, cpInternetConnected answers from it. An empty function
// restores the real answer. Any thread.
using cpConnectivityProbe = std::function<bool()>;
void cpSetConnectivityProbe(cpConnectivityProbe probe);
