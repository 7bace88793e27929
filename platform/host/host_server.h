// The machine host's server: client processes attach over a Unix socket in
// the machine folder and their system calls run here, in the kernel of the
// machine this process booted, each client thread served by a host thread
// that runs in that client's NT process. See platform/HOSTMODE.txt.
#pragma once

#include <string>

namespace host {

// Makes this process the one host of 'folder' (until it ends): false, with
// the process that serves it, when another does. StartServer claims the
// folder itself; a host claims it before it boots the machine, so that a
// second one never opens the drive images.
bool ClaimFolder(const std::string& folder, std::string* why);
// Listens on <folder>/host.sock (mode 0600, the owner's only) for clients.
// The machine must be running; false with the reason when the socket cannot
// be made.
bool StartServer(const std::string& folder, std::string* why);
// Ends every client process (their handles closed, their requests
// cancelled), closes the socket and joins the server's threads. Called
// before the machine shuts down.
void StopServer();
bool ServerRunning();
// Client processes attached now.
int ClientProcessCount();
// Connections open now (each a thread of a client, served by a host thread).
int ConnectionCount();

}  // namespace host
