/*
 * platform_posix.cpp - the POSIX backend of platform.h.
 *
 * Divisions, in order: file attributes, directory enumeration, creating
 * and removing, low-level files, standard streams, interruption, failures,
 * time and process.
 * New OS calls go into the division they belong to; nothing outside this
 * folder includes a POSIX header.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1 /* renameat2 */
#endif
#include "platform.h"
#include "platform_fault.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#if defined(__linux__)
#include <sys/sendfile.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <new>
#include <thread>

/* ---- file attributes ---------------------------------------------------- */

int plat_stat(const char *path, plat_file_info *out)
{
    struct stat st;
    if (!path || lstat(path, &st) != 0) return -1;
    if (out) {
        out->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
        out->size = out->is_dir ? 0 : static_cast<int64_t>(st.st_size);
        out->mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    }
    return 0;
}

int plat_dir_exists(const char *path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_set_mtime(const char *path, int64_t mtime)
{
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(mtime);
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -1;
}

/* ---- directory enumeration --------------------------------------------- */

struct plat_dir {
    DIR *dir;
    const char *last; /* name of the entry returned last */
};

plat_dir *plat_dir_open(const char *dir)
{
    if (!dir || !*dir) return nullptr;
    DIR *d = opendir(dir);
    if (!d) return nullptr;
    plat_dir *h = new (std::nothrow) plat_dir;
    if (!h) {
        closedir(d);
        return nullptr;
    }
    h->dir = d;
    h->last = nullptr;
    return h;
}

int plat_dir_next(plat_dir *d, const char **name, int *is_dir)
{
    if (!d) return 0;
    struct dirent *e = readdir(d->dir);
    if (!e) return 0;
    int dir = 0;
    if (e->d_type == DT_DIR) {
        dir = 1;
    } else if (e->d_type == DT_UNKNOWN) {
        /* Some file systems do not fill d_type; ask without following links. */
        struct stat st;
        if (fstatat(dirfd(d->dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            dir = S_ISDIR(st.st_mode) ? 1 : 0;
    }
    d->last = e->d_name;
    if (name) *name = e->d_name;
    if (is_dir) *is_dir = dir;
    return 1;
}

int plat_dir_entry_info(plat_dir *d, plat_file_info *out)
{
    if (!d || !d->last) return -1;
    struct stat st;
    if (fstatat(dirfd(d->dir), d->last, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (out) {
        out->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
        out->size = out->is_dir ? 0 : static_cast<int64_t>(st.st_size);
        out->mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    }
    return 0;
}

void plat_dir_close(plat_dir *d)
{
    if (!d) return;
    closedir(d->dir);
    delete d;
}

/* ---- creating, removing, renaming -------------------------------------- */

int plat_mkdir(const char *path)
{
    if (plat_fault_check("mkdir", path) != 0) return -1;
    if (mkdir(path, 0755) == 0) return PLAT_MKDIR_CREATED;
    return errno == EEXIST ? PLAT_MKDIR_EXISTS : -1;
}

int plat_rmdir(const char *path)
{
    if (plat_fault_check("rmdir", path) != 0) return -1;
    return rmdir(path) == 0 ? 0 : -1;
}

int plat_remove(const char *path)
{
    /* Files only: a directory must go through plat_rmdir. */
    return unlink(path) == 0 ? 0 : -1;
}

int plat_create_excl(const char *path)
{
    if (plat_fault_check("create", path) != 0) return -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (close(fd) == 0) return 0;
    unlink(path);
    return -1;
}

int plat_create_private(const char *path)
{
    if (plat_fault_check("create", path) != 0) return -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    /* Explicitly, past the umask: the group is how a web server reads it. */
    if (fchmod(fd, 0640) == 0 && close(fd) == 0) return 0;
    close(fd);
    unlink(path);
    return -1;
}

int plat_copy_mode(const char *like, const char *path)
{
    struct stat st;
    if (stat(like, &st) != 0) return -1;
    /* Owner and group first: a change of owner clears set-id bits. Only
     * root may give a file away; anyone may pick a group of their own. */
    if (chown(path, st.st_uid, st.st_gid) != 0) {
        const int group_only = chown(path, static_cast<uid_t>(-1), st.st_gid);
        static_cast<void>(group_only); /* refused: the file stays the caller's */
    }
    return chmod(path, st.st_mode & 07777) == 0 ? 0 : -1;
}

int plat_create_secret(const char *path, const void *data, size_t len)
{
    if (!path || plat_fault_check("create", path) != 0) return -1;
    /* The mode is given at creation: no moment where others may read. */
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    const auto *p = static_cast<const char *>(data);
    bool ok = true;
    while (ok && len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) {
            p += n;
            len -= static_cast<size_t>(n);
        }
    }
    /* On disk before the rename that publishes it: after a crash the name
     * must not point at an empty file. */
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) return 0;
    const int saved = errno;
    unlink(path);
    errno = saved;
    return -1;
}

int plat_rename_noreplace(const char *from, const char *to)
{
    if (plat_fault_check("rename", to) != 0) return -1;
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    /* File systems without RENAME_NOREPLACE: link refuses an existing
     * target just the same, and the unlink completes the move. */
    if (link(from, to) != 0) return -1;
    unlink(from);
    return 0;
}

int plat_rename_replace(const char *from, const char *to)
{
    if (plat_fault_check("rename", to) != 0) return -1;
    return rename(from, to) == 0 ? 0 : -1;
}

/* ---- low-level files ---------------------------------------------------- */

int plat_open_append(const char *path)
{
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

int plat_read_file(const char *path, void *buf, size_t cap, size_t *out_len)
{
    if (!path || !out_len) return -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    auto *p = static_cast<char *>(buf);
    size_t n = 0;
    char extra;
    bool ok = true;
    /* One byte past cap tells a file that is too long. */
    for (;;) {
        const ssize_t got = n < cap ? read(fd, p + n, cap - n) : read(fd, &extra, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || n == cap) {
            ok = got == 0;
            break;
        }
        n += static_cast<size_t>(got);
    }
    close(fd);
    if (!ok) return -1;
    *out_len = n;
    return 0;
}

int64_t plat_write(int fd, const void *data, size_t len)
{
    ssize_t n;
    do {
        n = write(fd, data, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<int64_t>(n);
}

int plat_close(int fd)
{
    return close(fd) == 0 ? 0 : -1;
}

int plat_fsync(FILE *f)
{
    if (fflush(f) != 0) return -1;
    int rc;
    do {
        rc = fsync(fileno(f));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int plat_fseek64(FILE *f, int64_t offset)
{
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

/* ---- standard streams --------------------------------------------------- */

/* POSIX never translates line ends, so there is nothing to switch. */
int plat_stdout_binary(void)
{
    return 0;
}
int plat_stdin_binary(void)
{
    return 0;
}

void plat_outlive_hangup(void)
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
}

int plat_is_terminal(FILE *stream)
{
    return stream && isatty(fileno(stream)) ? 1 : 0;
}

namespace
{

/* The terminal's settings while plat_read_secret has its echo off, for the
 * handler that puts them back when a signal ends the wait. */
struct termios s_tty_saved;
constexpr int kSecretSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

void restore_tty_and_resend(int sig)
{
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &s_tty_saved);
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

int plat_read_secret(const char *prompt, char *buf, size_t cap)
{
    if (!buf || cap == 0) return -1;
    buf[0] = '\0';
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &s_tty_saved) != 0)
        return PLAT_SECRET_NO_TERMINAL;
    struct sigaction quiet = {}, old[sizeof kSecretSignals / sizeof kSecretSignals[0]];
    quiet.sa_handler = restore_tty_and_resend;
    for (size_t i = 0; i < sizeof kSecretSignals / sizeof kSecretSignals[0]; ++i)
        sigaction(kSecretSignals[i], &quiet, &old[i]);
    struct termios off = s_tty_saved;
    off.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    off.c_lflag |= ICANON; /* whole lines, with the terminal's own editing */
    /* Muted before the prompt shows: what is typed after it is never
     * echoed, and nothing typed before it is taken for the answer. */
    const bool muted = tcsetattr(STDIN_FILENO, TCSAFLUSH, &off) == 0;
    fputs(prompt, stderr);
    fflush(stderr);

    /* Byte by byte from the descriptor: nothing typed after the line is
     * left in a stdio buffer. */
    size_t len = 0;
    bool ended = false, too_long = false;
    for (;;) {
        char c;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (c == '\n') {
            ended = true;
            break;
        }
        if (len + 1 < cap)
            buf[len++] = c;
        else
            too_long = true;
    }
    if (muted) tcsetattr(STDIN_FILENO, TCSANOW, &s_tty_saved);
    for (size_t i = 0; i < sizeof kSecretSignals / sizeof kSecretSignals[0]; ++i)
        sigaction(kSecretSignals[i], &old[i], nullptr);
    fputs("\n", stderr);
    if (!ended || too_long) {
        memset(buf, 0, len);
        buf[0] = '\0';
        return -1;
    }
    if (len > 0 && buf[len - 1] == '\r') --len; /* a terminal sending CR LF */
    buf[len] = '\0';
    return static_cast<int>(len);
}

int plat_stdout_redirect(const char *path)
{
    fflush(stdout);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    int saved = dup(STDOUT_FILENO);
    if (saved < 0 || dup2(fd, STDOUT_FILENO) < 0) {
        if (saved >= 0) close(saved);
        close(fd);
        return -1;
    }
    close(fd);
    return saved;
}

void plat_stdout_restore(int saved)
{
    if (saved < 0) return;
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

/* ---- interruption -------------------------------------------------------- */

/* The signals are blocked in every thread and taken by one waiting thread
 * with sigwait, so the callback runs as ordinary code. After the first,
 * the watcher unblocks them for itself alone, restores their default
 * action and waits no more: the next one is delivered to it and ends the
 * process. The mask must be set before other threads exist, which inherit
 * it; a thread started earlier would take the signal with its default
 * action. */
int plat_on_interrupt(void (*fn)(void *ctx), void *ctx)
{
    if (!fn) return -1;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
    try {
        std::thread([set, fn, ctx]() {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) return;
            fn(ctx);
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            for (;;)
                pause();
        }).detach();
    } catch (...) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return -1;
    }
    return 0;
}

/* ---- time and process --------------------------------------------------- */

int64_t plat_time(void)
{
    return static_cast<int64_t>(time(nullptr));
}

/* By arithmetic on the proleptic Gregorian calendar: the C library's
 * gmtime_r loads the local time zone file first, a handful of system calls
 * in every request that logs. */
int plat_gmtime(int64_t t, struct tm *out)
{
    constexpr int64_t kDay = 86400;
    constexpr int64_t kEra = 146097; /* days in 400 years */
    /* Years that fit tm_year; beyond them there is nothing to print anyway. */
    if (!out || t < -(INT64_C(1) << 50) || t > (INT64_C(1) << 50)) return -1;
    int64_t days = t / kDay, secs = t % kDay;
    if (secs < 0) {
        secs += kDay;
        --days;
    }
    const int64_t z = days + 719468; /* days since 0000-03-01 */
    const int64_t era = (z >= 0 ? z : z - (kEra - 1)) / kEra;
    const int64_t doe = z - era * kEra;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100); /* from March 1 */
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t mday = doy - (153 * mp + 2) / 5 + 1;
    const int64_t mon = mp < 10 ? mp + 3 : mp - 9; /* 1..12 */
    const int64_t year = yoe + era * 400 + (mon <= 2 ? 1 : 0);
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static constexpr int kBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    *out = {};
    out->tm_sec = static_cast<int>(secs % 60);
    out->tm_min = static_cast<int>(secs / 60 % 60);
    out->tm_hour = static_cast<int>(secs / 3600);
    out->tm_mday = static_cast<int>(mday);
    out->tm_mon = static_cast<int>(mon - 1);
    out->tm_year = static_cast<int>(year - 1900);
    out->tm_wday = static_cast<int>(days >= -4 ? (days + 4) % 7 : (days + 5) % 7 + 6);
    out->tm_yday = kBeforeMonth[mon - 1] + static_cast<int>(mday) - 1 + (leap && mon > 2 ? 1 : 0);
    return 0;
}

uint64_t plat_tick_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

/* ---- failures ------------------------------------------------------------ */

int plat_last_failure(void)
{
    switch (errno) {
    case ENOSPC:
    case EDQUOT:
        return PLAT_FAIL_FULL;
    case EROFS:
    case EACCES:
    case EPERM:
        return PLAT_FAIL_NOT_WRITABLE;
    default:
        return PLAT_FAIL_OTHER;
    }
}

long plat_pid(void)
{
    return static_cast<long>(getpid());
}

int plat_random_bytes(void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return 0;
}

int plat_absolute_path(const char *path, char *out, size_t cap)
{
    if (!path || !out || cap == 0) return -1;
    size_t at = 0;
    if (path[0] != '/') {
        if (!getcwd(out, cap)) return -1;
        at = strlen(out);
        if (at == 0 || out[at - 1] != '/') {
            if (at + 1 >= cap) return -1;
            out[at++] = '/';
        }
    }
    const size_t len = strlen(path);
    if (at + len >= cap) return -1;
    memcpy(out + at, path, len + 1);
    return 0;
}

int64_t plat_file_to_stdout(const char *path, int64_t offset, int64_t length)
{
    if (!path || offset < 0 || length < 0) return -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    int64_t sent = 0;
#if defined(__linux__)
    /* The pages go from the page cache into the pipe or socket without a
     * copy through this process. An output sendfile cannot write to (one
     * opened for appending) refuses the first call: the copy below does it. */
    off_t at = static_cast<off_t>(offset);
    bool refused = false;
    while (sent < length) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(length - sent, 1 << 30));
        const ssize_t n = sendfile(STDOUT_FILENO, fd, &at, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && sent == 0 && (errno == EINVAL || errno == ENOSYS)) refused = true;
        if (n <= 0) break;
        sent += n;
    }
    if (!refused) {
        close(fd);
        return sent;
    }
#endif
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        close(fd);
        return -1;
    }
    constexpr size_t kBuf = 262144;
    char *buf = static_cast<char *>(malloc(kBuf));
    while (buf && sent < length) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(length - sent, kBuf));
        ssize_t got;
        do {
            got = read(fd, buf, want);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) break;
        ssize_t off = 0;
        while (off < got) {
            const int64_t w = plat_write(STDOUT_FILENO, buf + off, static_cast<size_t>(got - off));
            if (w <= 0) break;
            off += w;
        }
        sent += off;
        if (off < got) break;
    }
    free(buf);
    close(fd);
    return sent;
}

void plat_pipe_reserve(int fd, size_t bytes)
{
#if defined(__linux__) && defined(F_SETPIPE_SZ)
    struct stat st;
    if ((fd != 0 && fd != 1) || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
    /* Refused above /proc/sys/fs/pipe-max-size: halve until it fits. */
    for (size_t want = bytes; want >= 65536; want /= 2)
        if (fcntl(fd, F_SETPIPE_SZ, static_cast<int>(want)) >= 0) return;
#else
    (void)fd;
    (void)bytes;
#endif
}
