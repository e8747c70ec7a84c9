// How a Linux program hears the broadcast messages of the stand-in (a window's part on Windows).
//
// The installed application listens so that the installer's close request reaches it; see
// os_messages.cpp for where the listeners live and what a broadcast sends them.
#ifndef ZORV_OS_MESSAGES_H
#define ZORV_OS_MESSAGES_H

// Starts listening: a socket of this process in the user's message folder, which is created,
// private to the user, when missing. The descriptor, or -1.
int os_listen_for_messages(void);

// Waits up to timeout_ms (-1: without limit) for the next broadcast: 1 with *message set, 0 when
// the time is up, -1 on an error.
int os_receive_message(int listener, unsigned *message, int timeout_ms);

// Stops listening: closes the socket and removes its name from the folder.
void os_stop_listening(int listener);

#endif
