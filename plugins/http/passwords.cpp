// Password files and their hashes. Only yescrypt, bcrypt and SHA-crypt hashes are taken:
// plain text, DES and MD5 forms fall to a guess quickly and are refused when the file is read.
#include "passwords.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd_guard.h"
#include "stock.h"

namespace {

// libxcrypt's reentrant crypt: the hash of `phrase` with the method and salt of `setting`,
// computed in `data`; nullptr on failure.
using crypt_rn_function = char *(*)(const char *phrase, const char *setting, void *data, int size);
crypt_rn_function crypt_rn = nullptr;
constexpr char crypt_library[] = "libcrypt.so.1";
// The size of libxcrypt's struct crypt_data, the work area crypt_rn needs.
constexpr int crypt_data_size = 32768;

// A password file larger than this is refused (it would be read for every new password).
constexpr off_t largest_file = 1 << 20;
constexpr size_t longest_user = 255;

// The hash methods taken, by the prefix of their hashes.
constexpr const char *accepted_prefixes[] = {"$y$", "$2b$", "$2y$", "$6$", "$5$"};

bool is_hash_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("./$=,", c) != nullptr);
}

bool all_hash_chars(const char *text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (!is_hash_char(text[i]))
            return false;
    }
    return true;
}

bool starts_with(const char *text, size_t length, const char *prefix)
{
    const size_t n = strlen(prefix);
    return length >= n && memcmp(text, prefix, n) == 0;
}

// Why a hash is refused, or nullptr when it is of an accepted method.
const char *hash_fault(const char *hash, size_t length)
{
    for (const char *prefix : accepted_prefixes) {
        if (starts_with(hash, length, prefix))
            return all_hash_chars(hash, length) && length > strlen(prefix) + 8 ? nullptr : "a malformed hash";
    }
    if (starts_with(hash, length, "$1$") || starts_with(hash, length, "$apr1$"))
        return "an MD5 hash, which is refused";
    if (starts_with(hash, length, "{SHA}"))
        return "an unsalted SHA-1 hash, which is refused";
    if (length == 13 && all_hash_chars(hash, length))
        return "a DES hash, which is refused";
    if (length > 0 && hash[0] == '$')
        return "a hash of a method that is not taken";
    return "plain text, which is refused";
}

// One "user:hash" line of a file.
struct password_line {
    const char *user;
    size_t user_length;
    const char *hash;
    size_t hash_length;
};

// A password file's text kept from the start (or the last SIGUSR1), read while the server may
// still read it: a file that only root may read serves on from here after the drop to -u.
struct kept_file {
    const char *path;  // the option's copy of the path, which lives for ever
    char *text;
    size_t length;
};
constexpr int most_kept = 16;
kept_file kept[most_kept];
int kept_count = 0;

kept_file *kept_for(const char *path)
{
    for (int i = 0; i < kept_count; ++i) {
        if (strcmp(kept[i].path, path) == 0)
            return &kept[i];
    }
    return nullptr;
}

// A password file read whole into memory from the shared allocator (or its kept text, when the
// server's user may no longer read it).
class password_file {
public:
    ~password_file()
    {
        if (owned_)
            websrv_free(text_);
    }
    // Reads `path`. False after logging.
    bool read(const char *path);
    // Walks the lines; calls found(line) for each "user:hash" line, which returns false to
    // stop. Returns false after logging the first line that is refused.
    template <typename Found>
    bool walk(Found found) const;

    // Takes the text away, to keep it.
    char *release(size_t *length)
    {
        owned_ = false;
        *length = length_;
        return text_;
    }

private:
    const char *path_ = "";
    char *text_ = nullptr;
    size_t length_ = 0;
    bool owned_ = true;
};

bool password_file::read(const char *path)
{
    path_ = path;
    fd_guard fd(open(path, O_RDONLY | O_CLOEXEC));
    if (const kept_file *copy = kept_for(path); fd.get() < 0 && (errno == EACCES || errno == EPERM) && copy != nullptr) {
        text_ = copy->text;
        length_ = copy->length;
        owned_ = false;
        return true;
    }
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        log_msg(WEBSRV_LOG_ERROR, "%s: cannot read password file %s: %s\n", stock_name, path, strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > largest_file) {
        log_msg(WEBSRV_LOG_ERROR, "%s: password file %s is not a regular file of at most %d bytes\n", stock_name,
                path, static_cast<int>(largest_file));
        return false;
    }
    text_ = static_cast<char *>(websrv_malloc(static_cast<size_t>(st.st_size) + 1));
    if (text_ == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "%s: no memory to read password file %s\n", stock_name, path);
        return false;
    }
    while (length_ < static_cast<size_t>(st.st_size)) {
        const ssize_t got = ::read(fd.get(), text_ + length_, static_cast<size_t>(st.st_size) - length_);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            log_msg(WEBSRV_LOG_ERROR, "%s: cannot read password file %s: %s\n", stock_name, path, strerror(errno));
            return false;
        }
        if (got == 0)
            break;  // the file shrank while it was read: take what is there
        length_ += static_cast<size_t>(got);
    }
    text_[length_] = '\0';
    return true;
}

// Splits one line (without its line end) into user and hash. Returns why it is refused, or
// nullptr. Blank lines and lines that start with "#" give a line with no user.
const char *split_line(const char *start, size_t length, password_line *line)
{
    while (length > 0 && (start[length - 1] == '\r' || start[length - 1] == ' ' || start[length - 1] == '\t'))
        --length;
    *line = {};
    if (length == 0 || start[0] == '#')
        return nullptr;
    const char *colon = static_cast<const char *>(memchr(start, ':', length));
    if (colon == nullptr || colon == start)
        return "not \"user:hash\"";
    line->user = start;
    line->user_length = static_cast<size_t>(colon - start);
    line->hash = colon + 1;
    line->hash_length = length - line->user_length - 1;
    if (line->user_length > longest_user)
        return "a user name longer than 255 characters";
    for (size_t i = 0; i < line->user_length; ++i) {
        if (static_cast<unsigned char>(start[i]) < 0x20 || start[i] == 0x7f)
            return "a user name with a control character";
    }
    return hash_fault(line->hash, line->hash_length);
}

template <typename Found>
bool password_file::walk(Found found) const
{
    int number = 0;
    for (size_t at = 0; at < length_;) {
        ++number;
        const char *start = text_ + at;
        const char *end = static_cast<const char *>(memchr(start, '\n', length_ - at));
        const size_t length = end != nullptr ? static_cast<size_t>(end - start) : length_ - at;
        at += length + 1;
        password_line line;
        if (const char *fault = split_line(start, length, &line); fault != nullptr) {
            log_msg(WEBSRV_LOG_ERROR, "%s: password file %s line %d: %s; use htpasswd -B or mkpasswd\n",
                    stock_name, path_, number, fault);
            return false;
        }
        if (line.user != nullptr && !found(line))
            return true;
    }
    return true;
}

// The part of a hash that fixes what computing it costs: its method and the method's
// parameters, without salt and hash: "$y$j9T$", "$2b$05$", "$6$rounds=5000$", "$6$". Returns
// its length. bcrypt keeps salt and hash in one field behind its cost; the other methods end
// with a salt field and a hash field.
size_t cost_length(const char *hash, size_t length)
{
    const bool bcrypt = length > 2 && hash[1] == '2';
    size_t last = 0;
    size_t before_last = 0;
    for (size_t i = 0; i < length; ++i) {
        if (hash[i] == '$') {
            before_last = last;
            last = i + 1;
        }
    }
    return bcrypt ? last : before_last;
}

// What a check hashes: one hash of every method and cost the file has, so that a name that is
// not in the file costs what every name in it costs. The first hash of each kind stands in
// for all of its kind; the user's own hash takes the place of its kind's.
class hash_kinds {
public:
    // Notes the kind of `hash` (`length` bytes), unless it is noted already or there is no
    // room left for another kind.
    void note(const char *hash, size_t length)
    {
        if (find(hash, length) >= 0 || count_ == max_kinds || length >= sizeof stand_in_[0])
            return;
        memcpy(stand_in_[count_], hash, length);
        stand_in_[count_][length] = '\0';
        ++count_;
    }
    // The kind of `hash` among those noted, or -1.
    int find(const char *hash, size_t length) const
    {
        const size_t cost = cost_length(hash, length);
        for (int i = 0; i < count_; ++i) {
            if (cost_length(stand_in_[i], strlen(stand_in_[i])) == cost && memcmp(stand_in_[i], hash, cost) == 0)
                return i;
        }
        return -1;
    }
    int count() const { return count_; }
    const char *stand_in(int i) const { return stand_in_[i]; }

private:
    static constexpr int max_kinds = 8;
    char stand_in_[max_kinds][256];
    int count_ = 0;
};

// Compares two texts in time that depends on their lengths only.
bool same_text(const char *a, const char *b, size_t b_length)
{
    const size_t a_length = strlen(a);
    unsigned difference = a_length != b_length;
    const size_t longest = a_length > b_length ? a_length : b_length;
    for (size_t i = 0; i < longest; ++i)
        difference |= static_cast<unsigned char>(i < a_length ? a[i] : 0) ^ static_cast<unsigned char>(i < b_length ? b[i] : 0);
    return difference == 0;
}

}  // namespace

bool passwords_load_crypt()
{
    if (crypt_rn != nullptr)
        return true;
    void *library = dlopen(crypt_library, RTLD_NOW | RTLD_LOCAL);
    void *function = library != nullptr ? dlsym(library, "crypt_rn") : nullptr;
    if (function == nullptr) {
        log_msg(WEBSRV_LOG_ERROR, "%s: -auth needs crypt_rn from %s, which cannot be loaded: %s\n", stock_name,
                crypt_library, dlerror());
        return false;
    }
    crypt_rn = reinterpret_cast<crypt_rn_function>(function);
    return true;
}

namespace {

// Keeps the text of a file that was read and found sound, in place of what was kept before.
void keep(const char *path, password_file &file)
{
    kept_file *copy = kept_for(path);
    if (copy == nullptr && kept_count == most_kept)
        return;  // never more files than -auth options, of which there are fewer
    if (copy == nullptr)
        copy = &kept[kept_count++];
    else
        websrv_free(copy->text);
    copy->path = path;
    copy->text = file.release(&copy->length);
}

}  // namespace

bool passwords_check_file(const char *path)
{
    password_file file;
    int users = 0;
    const auto count = [&](const password_line &) {
        ++users;
        return true;
    };
    if (!file.read(path) || !file.walk(count))
        return false;
    if (users == 0)
        log_msg(WEBSRV_LOG_ERROR, "%s: password file %s has no user: nobody can log in\n", stock_name, path);
    keep(path, file);
    return true;
}

void passwords_reread()
{
    for (int i = 0; i < kept_count; ++i) {
        password_file file;
        bool sound = true;
        if (int fd = open(kept[i].path, O_RDONLY | O_CLOEXEC); fd >= 0) {
            close(fd);
            sound = file.read(kept[i].path) && file.walk([](const password_line &) { return true; });
        } else {
            log_msg(WEBSRV_LOG_ERROR, "%s: cannot read password file %s: %s\n", stock_name, kept[i].path, strerror(errno));
            sound = false;
        }
        if (sound)
            keep(kept[i].path, file);
        else
            log_msg(WEBSRV_LOG_ERROR, "%s: password file %s: the copy read before stays in use where the file cannot be read\n",
                    stock_name, kept[i].path);
    }
}

password_verdict passwords_verify(const char *path, const char *user, const char *password)
{
    password_file file;
    if (!file.read(path))
        return password_verdict::file_fault;
    const size_t user_length = strlen(user);
    // The user's hash, and every kind of hash the file has. The whole file is read whatever
    // the user: where a name stands in the file must not show in the time either.
    char hash[WEBSRV_BUFFER_SIZE] = "";
    bool found = false;
    hash_kinds kinds;
    const bool sound = file.walk([&](const password_line &line) {
        kinds.note(line.hash, line.hash_length);
        if (!found && line.user_length == user_length && memcmp(line.user, user, user_length) == 0 &&
            line.hash_length < sizeof hash) {
            memcpy(hash, line.hash, line.hash_length);
            hash[line.hash_length] = '\0';
            found = true;
        }
        return true;
    });
    if (!sound)
        return password_verdict::file_fault;
    if (kinds.count() == 0)
        return password_verdict::refused;  // a file without users
    const int own_kind = found ? kinds.find(hash, strlen(hash)) : -1;
    static char work_area[crypt_data_size];
    bool match = false;
    // One hash of each kind; the user's own in place of its kind's (or besides them all, when
    // the file has more kinds than are told apart).
    for (int i = own_kind < 0 && found ? -1 : 0; i < kinds.count(); ++i) {
        const bool own = found && (i == own_kind || i < 0);
        const char *setting = own ? hash : kinds.stand_in(i);
        const char *computed = crypt_rn(password, setting, work_area, sizeof work_area);
        if (own)
            match = computed != nullptr && same_text(computed, setting, strlen(setting));
    }
    explicit_bzero(work_area, sizeof work_area);
    return found && match ? password_verdict::accepted : password_verdict::refused;
}
