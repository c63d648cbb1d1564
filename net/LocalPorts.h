#pragma once

#include <string>
#include <vector>

namespace fp {

// What stands in the way of binding UDP sockets on a local address, told in words a person can
// act on: lines for a program to print or to add to the text of a failure.

// Empty when `ip` (a dotted quad) is an address of this machine, one a socket can be bound to;
// otherwise why not, with the addresses the interfaces have.
std::string LocalAddressProblem(const std::string& ip);

// For each of the UDP `ports` on `ip` that cannot be bound, a line "UDP IP:PORT is taken by
// NAME (pid N)", or "... is taken" when the system does not say by whom (another user's
// process, say).
std::vector<std::string> TakenPorts(const std::string& ip, const std::vector<int>& ports);

}  // namespace fp
