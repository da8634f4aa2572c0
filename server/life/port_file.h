// The port file shared by every server instance on the device: one decimal port and "\n"
// per listening port. Each instance appends its own lines at start-up and removes exactly
// those lines again when it stops; both happen under an exclusive lock on the file.
#ifndef WEBSRV_SERVER_PORT_FILE_H
#define WEBSRV_SERVER_PORT_FILE_H

#include <cstddef>

#pragma GCC visibility push(hidden)

// Path of the port file this executable uses (fixed at build time).
const char *websrv_port_file_path();

// Opens the port file for appending (created when missing) into websrv_mcb.port_file.
// Returns 0, or -1 after logging "Unable to open %s Error: %s\n".
int websrv_port_file_open();

// Appends the line "<port>\n" under the lock and flushes it, and remembers it as this
// instance's own line. Returns 0, or -1 after logging why the line could not be written.
int websrv_port_file_append(int port);

// Removes this instance's own lines from the port file; every other line keeps its bytes and
// its place. Does nothing when the file was never opened. Failures are logged, never fatal.
void websrv_port_file_remove_own();

// The rewrite itself, in place on a copy of the file's bytes: for each port of
// own[0..own_count), the last line of text[0..length) that reads exactly that port (decimal,
// ended by "\n" or the end of the text) is cut out. Returns the new length.
size_t websrv_port_lines_remove(char *text, size_t length, const int *own, int own_count);

#pragma GCC visibility pop

#endif
