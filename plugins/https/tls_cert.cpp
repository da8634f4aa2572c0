// https.so's certificate and key: made on a device's first boot, loaded and checked at every
// start.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/proverr.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include "stock.h"
#include "tls_parts.h"

namespace {

constexpr long validity_seconds = 3653L * 24 * 60 * 60;  // ten years, leap days included
constexpr int serial_bytes = 16;
constexpr mode_t key_mode = 0600;
constexpr mode_t cert_mode = 0644;

// Owners for OpenSSL objects, freed on every path.
template <typename T, void (*Free)(T *)>
class owned {
public:
    explicit owned(T *object = nullptr) : object_(object) {}
    ~owned() { Free(object_); }
    owned(const owned &) = delete;
    owned &operator=(const owned &) = delete;
    T *get() const { return object_; }

private:
    T *object_;
};
using owned_key = owned<EVP_PKEY, EVP_PKEY_free>;
using owned_cert = owned<X509, X509_free>;
using owned_number = owned<BIGNUM, BN_free>;

bool exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

// Adds one X.509v3 extension in OpenSSL's configuration syntax.
bool add_extension(X509 *cert, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    const bool added = extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// Fills in a self-signed server certificate for `host` with `key`.
bool fill_certificate(X509 *cert, EVP_PKEY *key, const char *host)
{
    unsigned char serial[serial_bytes];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return false;
    serial[0] &= 0x7f;  // a positive number
    owned_number number(BN_bin2bn(serial, sizeof serial, nullptr));
    // Every name a browser on the device itself or on the network may use for it.
    char alt_name[340];
    snprintf(alt_name, sizeof alt_name, "DNS:%s%s,IP:127.0.0.1,IP:::1", host,
             strcmp(host, "localhost") != 0 ? ",DNS:localhost" : "");
    X509_NAME *name = X509_get_subject_name(cert);
    return number.get() != nullptr && X509_set_version(cert, X509_VERSION_3) == 1 &&
           BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)) != nullptr &&
           X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr &&
           X509_gmtime_adj(X509_getm_notAfter(cert), validity_seconds) != nullptr &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(host), -1,
                                      -1, 0) == 1 &&
           X509_set_issuer_name(cert, name) == 1 && X509_set_pubkey(cert, key) == 1 &&
           add_extension(cert, NID_basic_constraints, "critical,CA:FALSE") &&
           add_extension(cert, NID_key_usage, "critical,digitalSignature") &&
           add_extension(cert, NID_ext_key_usage, "serverAuth") &&
           add_extension(cert, NID_subject_key_identifier, "hash") &&
           add_extension(cert, NID_subject_alt_name, alt_name) && X509_sign(cert, key, EVP_sha256()) > 0;
}

// Writes a PEM file through a temporary file beside it with `mode`, then moves it in place,
// so that a file never holds half a key. `write` gets the open stream.
template <typename Write>
bool write_pem(const char *path, mode_t mode, Write write)
{
    char temporary[stock_path_size + 8];
    snprintf(temporary, sizeof temporary, "%s.new", path);
    unlink(temporary);  // left behind by a start that was cut short
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    FILE *file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "%s: cannot create %s: %s\n", stock_name, temporary, strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    const bool written = write(file);
    const bool closed = fclose(file) == 0;
    if (!written || !closed || rename(temporary, path) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: cannot write %s: %s\n", stock_name, path, strerror(errno));
        unlink(temporary);
        return false;
    }
    return true;
}

// What OpenSSL's error `code` means for a certificate or key file, in words a device's engineer
// can act on; nullptr for a code not told here. The library's own texts are not loaded at
// start (they would cost the main process their memory), so it would print numbers only.
const char *reason_in_words(unsigned long code)
{
    struct known {
        int library;
        int reason;
        const char *words;
    };
    static constexpr known reasons[] = {
        {ERR_LIB_PEM, PEM_R_NO_START_LINE,
         "no \"-----BEGIN\" block of the kind looked for in it (a file of another kind, DER, or empty)"},
        {ERR_LIB_PEM, PEM_R_BAD_BASE64_DECODE, "its PEM block is damaged (not base64)"},
        {ERR_LIB_PEM, PEM_R_BAD_END_LINE, "its PEM block is cut short or damaged"},
        {ERR_LIB_PEM, PEM_R_BAD_DECRYPT, "it is protected by a passphrase; store the key without one"},
        {ERR_LIB_PEM, PEM_R_BAD_PASSWORD_READ, "it is protected by a passphrase; store the key without one"},
        {ERR_LIB_PEM, PEM_R_PROBLEMS_GETTING_PASSWORD, "it is protected by a passphrase; store the key without one"},
        {ERR_LIB_PROV, PROV_R_BAD_DECRYPT, "it is protected by a passphrase; store the key without one"},
        {ERR_LIB_OSSL_DECODER, ERR_R_UNSUPPORTED, "no private key that can be read in it"},
        {ERR_LIB_X509, X509_R_KEY_VALUES_MISMATCH, "the certificate was made for another key"},
        {ERR_LIB_SSL, SSL_R_EE_KEY_TOO_SMALL, "its key is too small: use an RSA key of 2048 bits or more, or an EC key"},
        {ERR_LIB_SSL, SSL_R_CA_MD_TOO_WEAK, "it is signed with a hash too weak to trust (MD5 or SHA-1)"},
    };
    for (const known &k : reasons) {
        if (ERR_GET_LIB(code) == k.library && ERR_GET_REASON(code) == k.reason)
            return k.words;
    }
    return nullptr;
}

}  // namespace

void tls_log_error(int level, const char *what)
{
    // Reason texts are loaded only now: the main process does not carry them otherwise.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    char reason[256] = "no reason given";
    if (const unsigned long code = ERR_get_error(); code != 0) {
        if (const char *words = reason_in_words(code); words != nullptr)
            snprintf(reason, sizeof reason, "%s", words);
        else
            ERR_error_string_n(code, reason, sizeof reason);
    }
    ERR_clear_error();
    log_msg(level, "%s: %s: %s\n", stock_name, what, reason);
}

bool tls_make_pair_if_missing(const char *cert_path, const char *key_path)
{
    const bool have_cert = exists(cert_path);
    const bool have_key = exists(key_path);
    if (have_cert || have_key) {
        if (!have_cert || !have_key)
            log_msg(WEBSRV_LOG_ERROR, "%s: %s exists but %s does not: give both, or remove the one left to have a new pair made\n",
                    stock_name, have_cert ? cert_path : key_path, have_cert ? key_path : cert_path);
        return have_cert && have_key;
    }
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        strcpy(host, "localhost");
    owned_key key(EVP_EC_gen("P-256"));
    owned_cert cert(X509_new());
    if (key.get() == nullptr || cert.get() == nullptr || !fill_certificate(cert.get(), key.get(), host)) {
        tls_log_error(WEBSRV_LOG_ERROR, "cannot make a certificate");
        return false;
    }
    if (!write_pem(key_path, key_mode, [&](FILE *file) {
            return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
        }))
        return false;
    // Both or neither: a key left alone would stop every later start ("exists but ... does not").
    if (!write_pem(cert_path, cert_mode, [&](FILE *file) { return PEM_write_X509(file, cert.get()) == 1; })) {
        unlink(key_path);
        return false;
    }
    log_msg(WEBSRV_LOG_ERROR, "%s: made a self-signed certificate for %s, valid ten years: %s (key %s)\n", stock_name,
            host, cert_path, key_path);
    return true;
}
