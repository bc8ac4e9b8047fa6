// Socket constructors and the blocking switch shared by the transports.
#pragma once

// blocking != 0 makes the descriptor blocking, 0 non-blocking. 0 or -1.
int socket_set_blocking(int fd, int blocking);

// UDP socket bound to any address and `port` (0: system's choice), broadcast
// allowed. Socket or -1.
int create_udp_socket(int port, int blocking);

// Non-blocking listening socket on `port`: the socket, or -1 (create),
// -2 (non-blocking), -3 (bind), -4 (listen). Reuse failure also gives -1.
int tcp_server_socket(int port);

// Non-blocking TCP connection to address:port from `localPort`, waiting at
// most 20 ms for it to complete. The socket, or -1 (failed), -3 (bind).
int tcp_connect(int localPort, const char *address, int port);
