// The certificate and key in use, as the main process last read them whole and sound: their PEM
// text, in memory that every process of the server shares. Only the main process reads the
// files (at the start, before the server drops to its -u user; again on SIGUSR1); every other
// process takes the pair from here. So a process forked before a renewal serves the renewed pair
// from its next connection on, a bad new pair replaces the sound one nowhere, and files that the
// -u user cannot read serve on from what was read before the drop.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "fd_guard.h"
#include "stock.h"
#include "tls_parts.h"

namespace {

// Room for the certificate chain and the key together: a chain of a few RSA certificates and
// its key take a fraction of it.
constexpr size_t pair_room = 60 * 1024;

// A pair's PEM text: the certificate chain, then the key.
struct pair_text {
    unsigned cert_length;
    unsigned key_length;
    char text[pair_room];
};

// The shared record. `sequence` is odd while the main process writes, and grows by two with
// every pair it publishes: a reader takes a copy only when the sequence was even and the same
// before and after it copied.
struct shared_pair {
    unsigned sequence;
    pair_text pair;
};

shared_pair *shared = nullptr;
unsigned followed = 0;  // the sequence this process's context was last loaded from
pair_text scratch;      // this process's own copy while it reads or loads a pair

// Reads the whole file at `path` into out[0..room). Returns its length, or -1 after logging.
long read_whole(const char *path, char *out, size_t room)
{
    fd_guard fd(open(path, O_RDONLY | O_CLOEXEC));
    size_t length = 0;
    while (fd.get() >= 0 && length < room) {
        const ssize_t got = read(fd.get(), out + length, room - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                return static_cast<long>(length);
            break;
        }
        length += static_cast<size_t>(got);
    }
    if (length == room)
        log_msg(WEBSRV_LOG_ERROR, "%s: cannot read %s: it is larger than %zu bytes\n", stock_name, path, room);
    else
        log_msg(WEBSRV_LOG_ERROR, "%s: cannot read %s: %s\n", stock_name, path, strerror(errno));
    return -1;
}

// A passphrase is never asked for: a server has nobody to type it.
int no_passphrase(char *, int, int, void *)
{
    return 0;
}

// The certificate chain of `text` as the context's certificate (the first) and its chain (the
// rest). False when the first is none.
bool use_chain(SSL_CTX *context, const char *text, size_t length)
{
    BIO *bio = BIO_new_mem_buf(text, static_cast<int>(length));
    X509 *leaf = bio != nullptr ? PEM_read_bio_X509_AUX(bio, nullptr, no_passphrase, nullptr) : nullptr;
    bool used = leaf != nullptr && SSL_CTX_use_certificate(context, leaf) == 1 && SSL_CTX_clear_chain_certs(context) == 1;
    X509_free(leaf);
    while (used) {
        X509 *link = PEM_read_bio_X509(bio, nullptr, no_passphrase, nullptr);
        if (link == nullptr) {
            // The end of the text reads as a missing block; anything else is a damaged link.
            const unsigned long why = ERR_peek_last_error();
            used = ERR_GET_LIB(why) == ERR_LIB_PEM && ERR_GET_REASON(why) == PEM_R_NO_START_LINE;
            if (used)
                ERR_clear_error();
            break;
        }
        used = SSL_CTX_add0_chain_cert(context, link) == 1;
        if (!used)
            X509_free(link);
    }
    BIO_free(bio);
    return used;
}

// The key of `text` as the context's private key. False when it is none, or not the
// certificate's (OpenSSL's error queue tells which).
bool use_key(SSL_CTX *context, const char *text, size_t length)
{
    BIO *bio = BIO_new_mem_buf(text, static_cast<int>(length));
    EVP_PKEY *key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, no_passphrase, nullptr) : nullptr;
    const bool used = key != nullptr && SSL_CTX_use_PrivateKey(context, key) == 1;
    EVP_PKEY_free(key);
    BIO_free(bio);
    return used;
}

// Whether the last error says that a key and a certificate do not belong together.
bool mismatched()
{
    const unsigned long why = ERR_peek_last_error();
    return ERR_GET_LIB(why) == ERR_LIB_X509 && ERR_GET_REASON(why) == X509_R_KEY_VALUES_MISMATCH;
}

// Loads a pair into `context`; the paths name it in the log. False after logging why not.
bool load(SSL_CTX *context, const pair_text &pair, const char *cert_path, const char *key_path)
{
    char what[2 * stock_path_size + 64];
    if (!use_chain(context, pair.text, pair.cert_length)) {
        snprintf(what, sizeof what, "%s cannot serve as the certificate", cert_path);
        tls_log_error(WEBSRV_LOG_ERROR, what);
        return false;
    }
    const bool used = use_key(context, pair.text + pair.cert_length, pair.key_length);
    if (used && SSL_CTX_check_private_key(context) == 1)
        return true;
    if (!used && !mismatched())
        snprintf(what, sizeof what, "%s cannot serve as the private key", key_path);
    else
        snprintf(what, sizeof what, "the key %s does not belong to the certificate %s", key_path, cert_path);
    tls_log_error(WEBSRV_LOG_ERROR, what);
    return false;
}

// Reads both files into `pair`. False after logging.
bool read_pair(pair_text &pair, const char *cert_path, const char *key_path)
{
    const long cert = read_whole(cert_path, pair.text, sizeof pair.text);
    const long key = cert >= 0 ? read_whole(key_path, pair.text + cert, sizeof pair.text - static_cast<size_t>(cert)) : -1;
    if (key < 0)
        return false;
    pair.cert_length = static_cast<unsigned>(cert);
    pair.key_length = static_cast<unsigned>(key);
    struct stat st;
    if (stat(key_path, &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0)
        log_msg(WEBSRV_LOG_ERROR, "%s: warning: the key %s is readable by group or others (mode %03o); chmod 600 it\n",
                stock_name, key_path, static_cast<unsigned>(st.st_mode & 0777));
    return true;
}

// Copies the pair published last into `pair`. Returns its sequence.
unsigned copy_shared(pair_text &pair)
{
    for (;;) {
        const unsigned before = __atomic_load_n(&shared->sequence, __ATOMIC_ACQUIRE);
        if (before % 2 == 0) {
            memcpy(&pair, &shared->pair, sizeof pair);
            __atomic_thread_fence(__ATOMIC_ACQUIRE);
            if (__atomic_load_n(&shared->sequence, __ATOMIC_RELAXED) == before)
                return before;
        }
        sched_yield();
    }
}

}  // namespace

bool tls_pair_check(SSL_CTX *trial, const char *cert_path, const char *key_path)
{
    return read_pair(scratch, cert_path, key_path) && load(trial, scratch, cert_path, key_path);
}

bool tls_pair_read(SSL_CTX *trial, const char *cert_path, const char *key_path)
{
    if (shared == nullptr) {
        void *memory = mmap(nullptr, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            log_msg(WEBSRV_LOG_ERROR, "%s: no memory for the certificate: %s\n", stock_name, strerror(errno));
            return false;
        }
        shared = static_cast<shared_pair *>(memory);
    }
    if (!tls_pair_check(trial, cert_path, key_path))
        return false;
    __atomic_add_fetch(&shared->sequence, 1, __ATOMIC_ACQ_REL);
    memcpy(&shared->pair, &scratch, sizeof scratch);
    __atomic_add_fetch(&shared->sequence, 1, __ATOMIC_RELEASE);
    return true;
}

bool tls_pair_follow(SSL_CTX *in_use)
{
    if (shared == nullptr || in_use == nullptr || __atomic_load_n(&shared->sequence, __ATOMIC_ACQUIRE) == followed)
        return false;
    followed = copy_shared(scratch);
    // The pair was sound when it was published: it loads here as it did there.
    return load(in_use, scratch, "the published certificate", "its key");
}
