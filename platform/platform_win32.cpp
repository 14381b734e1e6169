/*
 * platform_win32.cpp - the Win32 backend of platform.h.
 *
 * Divisions, in order: general declarations, file attributes, directory
 * enumeration, creating and removing, low-level files, standard streams,
 * interruption, failures, time and process. New OS calls go into the division they belong to;
 * nothing outside this folder includes <windows.h> or <io.h>.
 *
 * Paths are passed to the ANSI calls unchanged. Windows refuses a path
 * longer than its limit (MAX_PATH, 260) with an error of its own, so a
 * long path fails here instead of being cut; nothing in this file shortens
 * a path either.
 *
 * Symbolic links and junctions (reparse points) are reported as
 * non-directories, as on POSIX, so walks and deletes never leave the tree
 * they were given; plat_remove removes such a link without touching its
 * target.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#include "platform.h"
#include "platform_fault.h"

#include <windows.h>

#include <bcrypt.h>

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <new>

/* ---- general declarations ------------------------------------------------ */

namespace
{

/* FILETIME counts 100-nanosecond units since 1601-01-01 UTC. */
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kEpochDeltaSeconds = 11644473600; /* 1601-01-01 to 1970-01-01 */

int64_t filetime_to_unix(const FILETIME &ft)
{
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / kTicksPerSecond) - kEpochDeltaSeconds;
}

/* Times before 1601 cannot be expressed; the caller gets -1 for them. */
bool unix_to_filetime(int64_t t, FILETIME *ft)
{
    if (t < -kEpochDeltaSeconds || t > (INT64_MAX / kTicksPerSecond) - kEpochDeltaSeconds)
        return false;
    uint64_t ticks = static_cast<uint64_t>(t + kEpochDeltaSeconds) * kTicksPerSecond;
    ft->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return true;
}

int64_t size_of(DWORD high, DWORD low)
{
    return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

/* A real directory: a link or junction to one does not count. */
bool attr_is_dir(DWORD attr)
{
    return (attr & FILE_ATTRIBUTE_DIRECTORY) && !(attr & FILE_ATTRIBUTE_REPARSE_POINT);
}

void fill_info(plat_file_info *out, DWORD attr, const FILETIME &mtime, DWORD size_high,
               DWORD size_low)
{
    out->is_dir = attr_is_dir(attr) ? 1 : 0;
    out->size = out->is_dir ? 0 : size_of(size_high, size_low);
    out->mtime = filetime_to_unix(mtime);
}

bool is_sep(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

/* ---- file attributes ---------------------------------------------------- */

int plat_stat(const char *path, plat_file_info *out)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path || !*path || !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
    if (out)
        fill_info(out, data.dwFileAttributes, data.ftLastWriteTime, data.nFileSizeHigh,
                  data.nFileSizeLow);
    return 0;
}

int plat_dir_exists(const char *path)
{
    if (!path || !*path) return 0;
    DWORD attr = GetFileAttributesA(path);
    if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    if (!(attr & FILE_ATTRIBUTE_REPARSE_POINT)) return 1;
    /* A link: the C runtime's stat follows it, so a dangling one fails. */
    struct _stat64 st;
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFDIR) ? 1 : 0;
}

int plat_set_mtime(const char *path, int64_t mtime)
{
    FILETIME ft;
    if (!path || !unix_to_filetime(mtime, &ft)) return -1;
    /* BACKUP_SEMANTICS opens directories too; OPEN_REPARSE_POINT keeps a
     * link's own time, as the POSIX backend does. */
    HANDLE h = CreateFileA(
        path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
    return ok ? 0 : -1;
}

/* ---- directory enumeration --------------------------------------------- */

/* Invariant: while pending is set, data holds an entry not yet handed out
 * (FindFirstFileA returns the first entry together with the handle). */
struct plat_dir {
    HANDLE find;
    WIN32_FIND_DATAA data;
    bool pending;
    bool returned; /* data describes the entry plat_dir_next returned last */
};

plat_dir *plat_dir_open(const char *dir)
{
    if (!dir || !*dir) return nullptr;
    size_t len = strlen(dir);
    /* "%s\\*", without doubling a separator the caller already wrote. On
     * the heap: the pattern is as long as the caller's path, never cut. */
    char *pattern = new (std::nothrow) char[len + 3];
    if (!pattern) return nullptr;
    memcpy(pattern, dir, len);
    size_t n = len;
    if (!is_sep(dir[len - 1])) pattern[n++] = '\\';
    pattern[n++] = '*';
    pattern[n] = '\0';

    plat_dir *h = new (std::nothrow) plat_dir;
    if (!h) {
        delete[] pattern;
        return nullptr;
    }
    h->find = FindFirstFileA(pattern, &h->data);
    delete[] pattern;
    h->returned = false;
    if (h->find != INVALID_HANDLE_VALUE) {
        h->pending = true;
        return h;
    }
    /* A drive's root directory has no "." or "..", so an empty one matches
     * nothing; that is an empty listing, not a failure. */
    if (GetLastError() == ERROR_FILE_NOT_FOUND && plat_is_dir(dir)) {
        h->pending = false;
        return h;
    }
    delete h;
    return nullptr;
}

int plat_dir_next(plat_dir *d, const char **name, int *is_dir)
{
    if (!d || d->find == INVALID_HANDLE_VALUE) return 0;
    if (d->pending) {
        d->pending = false;
    } else if (!FindNextFileA(d->find, &d->data)) {
        d->returned = false;
        return 0;
    }
    d->returned = true;
    if (name) *name = d->data.cFileName;
    if (is_dir) *is_dir = attr_is_dir(d->data.dwFileAttributes) ? 1 : 0;
    return 1;
}

int plat_dir_entry_info(plat_dir *d, plat_file_info *out)
{
    if (!d || !d->returned) return -1;
    if (out)
        fill_info(out, d->data.dwFileAttributes, d->data.ftLastWriteTime, d->data.nFileSizeHigh,
                  d->data.nFileSizeLow);
    return 0;
}

void plat_dir_close(plat_dir *d)
{
    if (!d) return;
    if (d->find != INVALID_HANDLE_VALUE) FindClose(d->find);
    delete d;
}

/* ---- creating, removing, renaming -------------------------------------- */

int plat_mkdir(const char *path)
{
    if (!path || !*path) return -1;
    if (plat_fault_check("mkdir", path) != 0) return -1;
    if (_mkdir(path) == 0) return PLAT_MKDIR_CREATED;
    return errno == EEXIST ? PLAT_MKDIR_EXISTS : -1;
}

/* Another process listing or pruning the same directory holds it open for a
 * moment, and Windows refuses the removal meanwhile (EACCES) where POSIX
 * would have gone ahead. A few short waits ride that out; a directory that
 * is missing or not empty fails at once. */
int plat_rmdir(const char *path)
{
    if (!path) return -1;
    if (plat_fault_check("rmdir", path) != 0) return -1;
    /* Under load the holder may keep it for several milliseconds (a delete
     * walking the tree while a prune watches it): five waits were seen to
     * fall short. */
    constexpr int kAttempts = 25;
    for (int attempt = 1;; ++attempt) {
        if (_rmdir(path) == 0) return 0;
        if (errno != EACCES || attempt == kAttempts) return -1;
        Sleep(1);
    }
}

int plat_remove(const char *path)
{
    if (!path || !*path) return -1;
    DWORD attr = GetFileAttributesA(path);
    if (attr == INVALID_FILE_ATTRIBUTES) return -1;
    if (attr & FILE_ATTRIBUTE_DIRECTORY) {
        /* Files only, but a link to a directory is no directory here (it is
         * listed as a non-directory): removing it leaves the target alone. */
        if (!(attr & FILE_ATTRIBUTE_REPARSE_POINT)) return -1;
        return RemoveDirectoryA(path) ? 0 : -1;
    }
    return remove(path) == 0 ? 0 : -1;
}

int plat_create_excl(const char *path)
{
    if (!path || !*path) return -1;
    if (plat_fault_check("create", path) != 0) return -1;
    /* The runtime's fopen has no "x" mode; _O_EXCL is its exclusive create. */
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0) return -1;
    if (_close(fd) == 0) return 0;
    remove(path);
    return -1;
}

int plat_create_private(const char *path)
{
    /* No group bits to express; the folder's access rules decide. */
    return plat_create_excl(path);
}

int plat_copy_mode(const char *like, const char *)
{
    /* A file takes its access rules from its folder, as the one it replaces did. */
    return GetFileAttributesA(like) == INVALID_FILE_ATTRIBUTES ? -1 : 0;
}

namespace
{

/* An access list allowing everything to the process's user and nothing to
 * anyone else, in buf; null when the user cannot be read. */
ACL *owner_only_acl(unsigned char *buf, DWORD cap)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    alignas(8) unsigned char user[256];
    DWORD need = 0;
    const BOOL got = GetTokenInformation(token, TokenUser, user, sizeof user, &need);
    CloseHandle(token);
    if (!got) return nullptr;
    PSID sid = reinterpret_cast<TOKEN_USER *>(user)->User.Sid;
    ACL *acl = reinterpret_cast<ACL *>(buf);
    const DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
    if (size > cap || !InitializeAcl(acl, size, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid))
        return nullptr;
    return acl;
}

} // namespace

int plat_create_secret(const char *path, const void *data, size_t len)
{
    if (!path || !*path || len > MAXDWORD) return -1;
    if (plat_fault_check("create", path) != 0) return -1;
    alignas(8) unsigned char acl_buf[512];
    ACL *acl = owner_only_acl(acl_buf, sizeof acl_buf);
    SECURITY_DESCRIPTOR sd;
    /* Protected: the folder's inheritable entries are not added. */
    if (!acl || !InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return -1;
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    DWORD written = 0;
    bool ok = WriteFile(h, data, static_cast<DWORD>(len), &written, nullptr) && written == len;
    ok = FlushFileBuffers(h) && ok;
    ok = CloseHandle(h) && ok;
    if (ok) return 0;
    DeleteFileA(path);
    return -1;
}

namespace
{

/* MoveFileEx reports through GetLastError; plat_error_vanished reads errno. */
int move_file(const char *from, const char *to, DWORD flags)
{
    if (!from || !to) return -1;
    if (plat_fault_check("rename", to) != 0) return -1;
    if (MoveFileExA(from, to, flags)) return 0;
    const DWORD e = GetLastError();
    errno = (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) ? ENOENT : EIO;
    return -1;
}

} // namespace

int plat_rename_noreplace(const char *from, const char *to)
{
    /* Without MOVEFILE_REPLACE_EXISTING the move fails when to exists; the
     * blob store relies on that. */
    return move_file(from, to, 0);
}

int plat_rename_replace(const char *from, const char *to)
{
    return move_file(from, to, MOVEFILE_REPLACE_EXISTING);
}

/* ---- low-level files ---------------------------------------------------- */

int plat_open_append(const char *path)
{
    if (!path || !*path) return -1;
    /* _O_BINARY: no line-end translation. _O_NOINHERIT: like O_CLOEXEC, no
     * child process keeps the log open. Read and write for the owner is
     * what Windows can express of 0644. */
    return _open(path, _O_APPEND | _O_CREAT | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
}

int plat_read_file(const char *path, void *buf, size_t cap, size_t *out_len)
{
    constexpr DWORD kReadChunk = 1u << 30; /* ReadFile takes a 32-bit count */
    if (!path || !*path || !out_len) return -1;
    /* A directory fails here: it opens only with FILE_FLAG_BACKUP_SEMANTICS. */
    HANDLE h =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    auto *p = static_cast<char *>(buf);
    size_t n = 0;
    char extra;
    bool ok = true;
    /* One byte past cap tells a file that is too long. */
    for (;;) {
        DWORD got = 0;
        const size_t left = cap - n;
        const DWORD want = n == cap ? 1 : left > kReadChunk ? kReadChunk : static_cast<DWORD>(left);
        if (!ReadFile(h, n < cap ? p + n : &extra, want, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0 || n == cap) {
            ok = got == 0;
            break;
        }
        n += got;
    }
    CloseHandle(h);
    if (!ok) return -1;
    *out_len = n;
    return 0;
}

int64_t plat_write(int fd, const void *data, size_t len)
{
    /* _write takes an unsigned int count; a larger request is written in
     * part, which the contract allows. */
    unsigned int n = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<unsigned int>(len);
    return static_cast<int64_t>(_write(fd, data, n));
}

int plat_close(int fd)
{
    return _close(fd) == 0 ? 0 : -1;
}

int plat_fsync(FILE *f)
{
    if (fflush(f) != 0) return -1;
    return _commit(_fileno(f)) == 0 ? 0 : -1;
}

int plat_fseek64(FILE *f, int64_t offset)
{
    return _fseeki64(f, offset, SEEK_SET) == 0 ? 0 : -1;
}

/* ---- standard streams --------------------------------------------------- */

/* In text mode the runtime turns "\n" into "\r\n" and stops reading at a
 * Ctrl-Z: CGI headers and request bodies must pass unchanged. */
int plat_stdout_binary(void)
{
    return _setmode(_fileno(stdout), _O_BINARY);
}

void plat_outlive_hangup(void) {}

int plat_is_terminal(FILE *stream)
{
    return stream && _isatty(_fileno(stream)) ? 1 : 0;
}

int plat_stdin_binary(void)
{
    return _setmode(_fileno(stdin), _O_BINARY);
}

int plat_read_secret(const char *prompt, char *buf, size_t cap)
{
    if (!buf || cap == 0) return -1;
    buf[0] = '\0';
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return PLAT_SECRET_NO_TERMINAL;
    fputs(prompt, stderr);
    fflush(stderr);
    /* Line input with the console's editing, without echo. The console
     * keeps its own mode: Ctrl-C ending the program leaves it to the shell,
     * which sets the mode it reads with. */
    SetConsoleMode(in, (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
    size_t len = 0;
    bool ended = false, too_long = false;
    for (;;) {
        char c;
        DWORD got = 0;
        if (!ReadConsoleA(in, &c, 1, &got, nullptr) || got == 0) break;
        if (c == '\n') {
            ended = true;
            break;
        }
        if (c == '\r') continue;
        if (len + 1 < cap)
            buf[len++] = c;
        else
            too_long = true;
    }
    SetConsoleMode(in, mode);
    fputs("\n", stderr);
    if (!ended || too_long) {
        memset(buf, 0, len);
        buf[0] = '\0';
        return -1;
    }
    buf[len] = '\0';
    return static_cast<int>(len);
}

int plat_stdout_redirect(const char *path)
{
    if (!path || !*path) return -1;
    fflush(stdout);
    int out = _fileno(stdout);
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0) return -1;
    int saved = _dup(out);
    if (saved < 0 || _dup2(fd, out) != 0) {
        if (saved >= 0) _close(saved);
        _close(fd);
        return -1;
    }
    _close(fd);
    return saved;
}

void plat_stdout_restore(int saved)
{
    if (saved < 0) return;
    fflush(stdout);
    _dup2(saved, _fileno(stdout));
    _close(saved);
}

/* ---- interruption -------------------------------------------------------- */

/* The console runs a control handler in a thread of its own already. The
 * first event is taken (TRUE), the next one left to the default handler,
 * which ends the process. */
namespace
{
void (*s_interrupt_fn)(void *) = nullptr;
void *s_interrupt_ctx = nullptr;
volatile LONG s_interrupts = 0;

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (InterlockedIncrement(&s_interrupts) != 1) return FALSE;
    s_interrupt_fn(s_interrupt_ctx);
    return TRUE;
}
} // namespace

int plat_on_interrupt(void (*fn)(void *ctx), void *ctx)
{
    if (!fn) return -1;
    s_interrupt_fn = fn;
    s_interrupt_ctx = ctx;
    return SetConsoleCtrlHandler(on_console_event, TRUE) ? 0 : -1;
}

/* ---- time and process --------------------------------------------------- */

int64_t plat_time(void)
{
    return static_cast<int64_t>(_time64(nullptr));
}

int plat_gmtime(int64_t t, struct tm *out)
{
    if (!out) return -1;
    __time64_t tt = static_cast<__time64_t>(t);
    /* The runtime refuses times before 1970 and after 3000 with NULL. Its
     * result lives in per-thread storage; copy it out at once. */
    struct tm *r = _gmtime64(&tt);
    if (!r) return -1;
    *out = *r;
    return 0;
}

uint64_t plat_tick_ms(void)
{
    return static_cast<uint64_t>(GetTickCount64());
}

/* ---- failures ------------------------------------------------------------ */

/* The Win32 calls of this file leave their reason in GetLastError; the C
 * runtime's (fopen, fwrite) in errno, and a failed write sets both. */
int plat_last_failure(void)
{
    switch (GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return PLAT_FAIL_FULL;
    case ERROR_WRITE_PROTECT:
    case ERROR_ACCESS_DENIED:
        return PLAT_FAIL_NOT_WRITABLE;
    default:
        break;
    }
    if (errno == ENOSPC) return PLAT_FAIL_FULL;
    if (errno == EACCES || errno == EPERM) return PLAT_FAIL_NOT_WRITABLE;
    return PLAT_FAIL_OTHER;
}

long plat_pid(void)
{
    return static_cast<long>(_getpid());
}

int plat_random_bytes(void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        const ULONG chunk = n > 0x10000000u ? 0x10000000u : static_cast<ULONG>(n);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return -1;
        p += chunk;
        n -= chunk;
    }
    return 0;
}

int plat_absolute_path(const char *path, char *out, size_t cap)
{
    if (!path || !out || cap == 0 || cap > INT_MAX) return -1;
    return _fullpath(out, path, cap) ? 0 : -1;
}

int64_t plat_file_to_stdout(const char *path, int64_t offset, int64_t length)
{
    if (!path || offset < 0 || length < 0) return -1;
    const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) return -1;
    if (_lseeki64(fd, offset, SEEK_SET) < 0) {
        _close(fd);
        return -1;
    }
    constexpr unsigned kBuf = 262144;
    char *buf = static_cast<char *>(malloc(kBuf));
    const int out = _fileno(stdout);
    int64_t sent = 0;
    while (buf && sent < length) {
        const unsigned want = static_cast<unsigned>(length - sent < kBuf ? length - sent : kBuf);
        const int got = _read(fd, buf, want);
        if (got <= 0) break;
        int off = 0;
        while (off < got) {
            const int w = _write(out, buf + off, static_cast<unsigned>(got - off));
            if (w <= 0) break;
            off += w;
        }
        sent += off;
        if (off < got) break;
    }
    free(buf);
    _close(fd);
    return sent;
}

void plat_pipe_reserve(int, size_t) {}
