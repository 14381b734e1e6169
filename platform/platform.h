/*
 * platform.h - everything the modules may ask of the operating system.
 *
 * This header is the one seam between the registry modules and the OS.
 * No other directory includes <dirent.h>, <sys/stat.h>, <unistd.h>,
 * <windows.h> or <io.h>; they call these functions instead. Each backend
 * (platform_posix.cpp, platform_win32.cpp) implements all of it but the
 * few functions built on the others, which platform_common.cpp holds.
 *
 * Conventions: 0 for success and -1 for failure unless a function says
 * otherwise; paths are NUL-terminated bytes in the platform's own form;
 * times are seconds since 1970-01-01 UTC.
 */
#ifndef REGISTRY_PLATFORM_H
#define REGISTRY_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Directory separator used when composing paths. A backslash inside a
 * repository name also separates directories; on POSIX it is turned into
 * PLAT_SEP before the name enters a path. */
#ifdef _WIN32
#define PLAT_SEP '\\'
#define PLAT_SEP_STR "\\"
#else
#define PLAT_SEP '/'
#define PLAT_SEP_STR "/"
#endif

/* 1 where file names that differ only in case name one file (Windows):
 * a name test there cannot tell "V1" from "v1". */
#ifdef _WIN32
#define PLAT_NAMES_FOLD_CASE 1
#else
#define PLAT_NAMES_FOLD_CASE 0
#endif

/* ---- file attributes ---------------------------------------------------- */

typedef struct plat_file_info {
    int is_dir;    /* 1 for a directory */
    int64_t size;  /* bytes; 0 for a directory */
    int64_t mtime; /* last write, seconds since 1970 */
} plat_file_info;

/* Attributes of path without following a final symbolic link.
 * 0 when path exists, -1 otherwise. */
int plat_stat(const char *path, plat_file_info *out);
int plat_is_dir(const char *path);  /* 1 when path is an existing directory */
int plat_is_file(const char *path); /* 1 when path exists and is not a directory */
/* 1 when path is a directory or a symbolic link to one. For checks that
 * ask "can I create things in there?", such as a storage root that is a
 * link to where the data lives; walks use plat_is_dir instead. */
int plat_dir_exists(const char *path);
/* Sets the last-write time (used by maintenance code and its tests). */
int plat_set_mtime(const char *path, int64_t mtime);

/* ---- directory enumeration --------------------------------------------- */

typedef struct plat_dir plat_dir;

/* Opens dir for enumeration; NULL when it is not a directory or cannot be
 * read. Entries come in the platform's order, "." and ".." included. */
plat_dir *plat_dir_open(const char *dir);
/* Next entry: 1 and *name (valid until the next call) and *is_dir filled;
 * 0 at the end. A symbolic link is reported as a non-directory, so walks
 * and deletes never leave the tree they were given. */
int plat_dir_next(plat_dir *d, const char **name, int *is_dir);
/* Attributes of the entry plat_dir_next returned last, without following a
 * link; cheaper than plat_stat on the joined path (no path walk on POSIX,
 * no extra call at all on Windows, where enumeration carries them). */
int plat_dir_entry_info(plat_dir *d, plat_file_info *out);
void plat_dir_close(plat_dir *d);

/* ---- creating, removing, renaming -------------------------------------- */

#define PLAT_MKDIR_CREATED 0
#define PLAT_MKDIR_EXISTS 1        /* the name already exists, whatever it is */
int plat_mkdir(const char *path);  /* PLAT_MKDIR_CREATED, PLAT_MKDIR_EXISTS or -1 */
int plat_rmdir(const char *path);  /* empty directories only */
int plat_remove(const char *path); /* files only */
/* Creates path as a new, empty file: -1 when the name exists, whatever it
 * is, so two processes can never both believe they made it. 0 or -1. */
int plat_create_excl(const char *path);
/* The same, readable and writable by the owner and readable by the group
 * only (0640, whatever the umask): for a file that holds secrets such as
 * password hashes. Windows: as plat_create_excl, the folder's access rules
 * apply. 0 or -1. */
int plat_create_private(const char *path);
/* Gives path the permission bits, owner and group of like, as far as the
 * caller may (a change of owner or group the system refuses is left out),
 * so a file written beside like can replace it for the same readers.
 * Windows: nothing to copy, files take their folder's access rules; 0.
 * 0, or -1 when like cannot be read or the bits not set. */
int plat_copy_mode(const char *like, const char *path);
/* Creates path as a new file holding the len bytes of data that only its
 * owner may read or write (mode 0600 on POSIX; on Windows an access list
 * naming the current user alone, nothing inherited), the bytes on disk
 * before it returns: for secrets such as a signing key, written under a
 * temporary name and then renamed into place. -1 when the name exists or
 * anything fails; no file is left then. A fault-hook point, as "create". */
int plat_create_secret(const char *path, const void *data, size_t len);
/* Moves from to to; never replaces an existing to (fails instead). */
int plat_rename_noreplace(const char *from, const char *to);
/* Moves from to to, replacing an existing file atomically. */
int plat_rename_replace(const char *from, const char *to);
/* 1 when the calling thread's last failed call above failed because a name
 * on its path did not exist, such as a directory another process removed
 * meanwhile; a stale handle (ESTALE: a network or cluster file system's
 * directory removed through another machine) counts the same. 0 otherwise. */
int plat_error_vanished(void);

/* For tests: fn(op, path, ctx) runs before each plat_mkdir ("mkdir"),
 * plat_rmdir ("rmdir"), plat_rename_noreplace and plat_rename_replace
 * ("rename", path = to), plat_create_excl, plat_create_private and plat_create_secret
 * ("create") and may do what a concurrent process would; a
 * nonzero return fails the call with that errno value without making it.
 * NULL removes it. Not for concurrent use. */
typedef int (*plat_fault_fn)(const char *op, const char *path, void *ctx);
void plat_set_fault_hook(plat_fault_fn fn, void *ctx);

/* ---- low-level files ---------------------------------------------------- */

/* Opens path write-only for appending, creating it with mode 0644 when
 * absent, without line-end translation. A descriptor, or -1. */
int plat_open_append(const char *path);
/* Reads the whole file at path, at most cap bytes, into buf: 0 with
 * *out_len set, or -1 when it cannot be opened or read, or holds more than
 * cap bytes. For small files read at once (a key). On Windows the file is
 * opened sharing reading, writing and deletion, so another process renaming
 * it into place at that moment (which holds it open for deletion) does not
 * refuse the read. */
int plat_read_file(const char *path, void *buf, size_t cap, size_t *out_len);
/* Writes at most len bytes; the count written, or -1. */
int64_t plat_write(int fd, const void *data, size_t len);
int plat_close(int fd);
/* Writes f's buffers and has the system put its bytes on the disk, before a
 * rename makes the file the one others read. 0 or -1. */
int plat_fsync(FILE *f);
/* Positions a stdio stream at a 64-bit offset from its start (the runtime's
 * fseek takes a long, which is 32 bits on Windows). 0 or -1. */
int plat_fseek64(FILE *f, int64_t offset);

/* ---- standard streams --------------------------------------------------- */

/* Switch standard output / input to untranslated (binary) mode. They return
 * what the platform's mode switch returned; 0 where there is no such switch. */
int plat_stdout_binary(void);
/* Copies length bytes of the file at path from offset to standard output's
 * descriptor (stdio buffers must be flushed first), inside the kernel where
 * it can (sendfile on Linux), else through one buffer. The bytes written,
 * which is less than length when the file is shorter or the reader went
 * away; -1 when the file cannot be opened or positioned. */
int64_t plat_file_to_stdout(const char *path, int64_t offset, int64_t length);
int plat_stdin_binary(void);
/* Lets the writer of a pipe on standard input (fd 0) or output (fd 1) run
 * up to bytes ahead of its reader (Linux: the pipe's capacity, within the
 * system's limit for unprivileged processes); nothing elsewhere or for
 * other kinds of stream. A body then keeps flowing while the other side
 * works on the last piece, in fewer, larger steps. */
void plat_pipe_reserve(int fd, size_t bytes);
/* Lets a CGI program finish its request whatever the web server does once
 * it has the answer: a write to a standard output whose reader has gone (a
 * client that hung up, a server that wants no body after HEAD headers)
 * fails with an error instead of ending the process, and the termination
 * request a server sends when the response is complete (lighttpd does, on
 * the last byte of a known length) is ignored. Without this the program
 * dies before its exit hook writes the access-log line. The program still
 * ends on its own: its reads and writes fail once the pipes are closed.
 * Nothing to do where no such signals exist. */
void plat_outlive_hangup(void);
/* 1 when stream is a terminal (a console on Windows): where a command may
 * draw a progress line instead of writing a log. */
int plat_is_terminal(FILE *stream);

/* Reads one line typed on the terminal that is standard input without
 * showing it, after writing prompt to standard error; the line end is
 * dropped, and a line end goes to standard error after it. The length;
 * PLAT_SECRET_NO_TERMINAL when standard input is no terminal (a console on
 * Windows); -1 when the input ended or failed, or the line does not fit in
 * cap bytes with its NUL. buf holds "" on failure. The terminal's echo
 * comes back before it returns, and also when the program is interrupted
 * while waiting. */
#define PLAT_SECRET_NO_TERMINAL (-2)
int plat_read_secret(const char *prompt, char *buf, size_t cap);

/* Points standard output (the descriptor and the stdio stream) at path,
 * created or truncated; returns a handle for plat_stdout_restore, or -1.
 * For tests and tools that capture what a CGI writer prints. */
int plat_stdout_redirect(const char *path);
void plat_stdout_restore(int saved);

/* ---- interruption -------------------------------------------------------- */

/* Calls fn(ctx) once when the user interrupts the program (Ctrl-C, Ctrl-Break,
 * SIGINT or SIGTERM), from a thread of its own, never from a signal handler,
 * so fn may do ordinary work (write a file) while the program goes on. The
 * next interruption after that ends the program as usual, a way out when the
 * work fn asked to stop does not stop. Call once, before starting threads.
 * 0 or -1. */
int plat_on_interrupt(void (*fn)(void *ctx), void *ctx);

/* ---- failures ------------------------------------------------------------ */

/* What the calling thread's last failed call ran into, for telling a
 * client why a write was refused: no room (device or quota full), or a
 * store that cannot be written (read-only file system, permissions).
 * Meaningful only right after the failure; later calls may change it. */
#define PLAT_FAIL_OTHER 0
#define PLAT_FAIL_FULL 1
#define PLAT_FAIL_NOT_WRITABLE 2
int plat_last_failure(void);

/* ---- time and process --------------------------------------------------- */

int64_t plat_time(void);                    /* seconds since 1970, UTC */
int plat_gmtime(int64_t t, struct tm *out); /* 0, or -1 when t cannot be broken down */
uint64_t plat_tick_ms(void);                /* monotonic milliseconds */
long plat_pid(void);
/* n bytes from the system's cryptographic random source (getrandom,
 * BCryptGenRandom): key material and password salts. 0, or -1 when the
 * source fails; buf is then not to be used. */
int plat_random_bytes(void *buf, size_t n);
/* path made absolute against the working directory (unchanged when it is
 * absolute already), into out of cap bytes. 0, or -1 when it does not fit
 * or the working directory cannot be read. */
int plat_absolute_path(const char *path, char *out, size_t cap);

#ifdef __cplusplus
}
#endif

#endif
