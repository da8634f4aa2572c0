// Password files: "user:hash" lines, as htpasswd -B and mkpasswd write them, checked with
// crypt(3) from libcrypt, which is loaded at run time so that http.so needs only the C library.
#ifndef WEBSRV_STOCK_PASSWORDS_H
#define WEBSRV_STOCK_PASSWORDS_H

enum class password_verdict {
    accepted,   // the user is in the file and the password matches
    refused,    // no such user, or a wrong password
    file_fault, // the file cannot be read or has a line that is refused (logged)
};

// Loads libcrypt once. False after logging why it cannot be had.
bool passwords_load_crypt();
// Start-up (as root, before any -u drop): reads FILE and checks every line, and keeps its text:
// a check that cannot read the file as the server's user takes the kept text. False after
// logging the file and the line.
bool passwords_check_file(const char *path);
// Main process, SIGUSR1: reads every kept file again and keeps what is sound; a file that cannot
// be read (or has a refused line) is logged, and its text kept before serves on.
void passwords_reread();
// Child: whether `password` is that of `user` in FILE, read now (or, where the server's user
// may not read it, as it was kept). Every check hashes the
// password once with each method and cost the file has: a user who is not in the file costs
// what a wrong password of any user costs.
password_verdict passwords_verify(const char *path, const char *user, const char *password);

#endif
