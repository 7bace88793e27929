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

}  // namespace w32host
