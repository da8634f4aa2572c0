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
// Start-up: reads FILE and checks every line. False after logging the file and the line.
bool passwords_check_file(const char *path);
// Child: whether `password` is that of `user` in FILE, read now. Every check hashes the
// password once with each method and cost the file has: a user who is not in the file costs
// what a wrong password of any user costs.
password_verdict passwords_verify(const char *path, const char *user, const char *password);

#endif
