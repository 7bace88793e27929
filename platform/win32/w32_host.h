// For programs that manage machines themselves (the command-line front, the
// machine host, tests): how this process's Win32 layer reaches a kernel.
// Ordinary user-mode code never includes it.
#pragma once

namespace w32host {

// This process boots and uses its own machine: it never attaches to a host,
// whatever ZAR_MACHINE says. Call before the first Win32 call.
void StayEmbedded();
// True once this process's Win32 layer talks to a machine host.
bool IsClient();
// For a program about to stop the host it is a client of: waits (at most
// 'milliseconds') until the requests this process awaits in the host have
// ended and their events and completion routines are delivered. False when
// some are still pending.
bool SettleRequests(unsigned milliseconds);

}  // namespace w32host
