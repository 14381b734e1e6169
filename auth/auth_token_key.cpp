/*
 * auth_token_key.cpp - the tokens' signing key, ROOT/_auth/token.key.
 *
 * Many processes may ask for the key before it exists (the first pushes
 * after installation). Each makes a candidate under a name of its own and
 * renames it to token.key without replacing: exactly one rename wins, and
 * every other process drops its candidate and reads the winner's file. A
 * reader never sees a partial key, because the name appears only once the
 * bytes are written.
 */
#include "auth_token.h"

#include "platform.h"

#include <stdio.h>
#include <string.h>

namespace
{

constexpr char kDir[] = "_auth";
constexpr char kFile[] = "token.key";
constexpr size_t kPathCap = 4096;

/* dst = root SEP dir [SEP name]; false when it does not fit. */
bool key_path(char (&dst)[kPathCap], const char *root, const char *name)
{
    const int n =
        name ? snprintf(dst, kPathCap, "%s%s%s%s%s", root, PLAT_SEP_STR, kDir, PLAT_SEP_STR, name)
             : snprintf(dst, kPathCap, "%s%s%s", root, PLAT_SEP_STR, kDir);
    return n > 0 && static_cast<size_t>(n) < kPathCap;
}

/* The key file's bytes: 0 when it holds exactly the key, else -1. */
int read_key(const char *path, uint8_t out[REGISTRY_TOKEN_KEY_BYTES])
{
    uint8_t buf[REGISTRY_TOKEN_KEY_BYTES];
    size_t n = 0;
    if (plat_read_file(path, buf, sizeof buf, &n) != 0 || n != sizeof buf) return -1;
    memcpy(out, buf, sizeof buf);
    return 0;
}

} // namespace

int registry_token_key_read(const char *storage_root, uint8_t out[REGISTRY_TOKEN_KEY_BYTES])
{
    char path[kPathCap];
    if (!storage_root || !*storage_root || !out || !key_path(path, storage_root, kFile)) return -1;
    /* Whatever hides the file, no token can be checked against it: the
     * caller refuses the token, which opens nothing. */
    if (plat_stat(path, nullptr) != 0) return 1;
    return read_key(path, out);
}

int registry_token_key(const char *storage_root, uint8_t out[REGISTRY_TOKEN_KEY_BYTES])
{
    if (!storage_root || !*storage_root || !out) return -1;
    char dir[kPathCap], path[kPathCap], candidate[kPathCap];
    if (!key_path(dir, storage_root, nullptr) || !key_path(path, storage_root, kFile)) return -1;
    /* Made once: every later request only reads. */
    if (plat_stat(path, nullptr) == 0) return read_key(path, out);

    if (plat_mkdir(dir) < 0 || !plat_is_dir(dir)) return -1;
    uint8_t fresh[REGISTRY_TOKEN_KEY_BYTES];
    uint32_t nonce[2]; /* with the process id, names a candidate among all threads' */
    if (plat_random_bytes(fresh, sizeof fresh) != 0 || plat_random_bytes(nonce, sizeof nonce) != 0)
        return -1;
    char name[64];
    snprintf(name, sizeof name, "%s.%ld.%08lx%08lx", kFile, plat_pid(),
             static_cast<unsigned long>(nonce[0]), static_cast<unsigned long>(nonce[1]));
    if (!key_path(candidate, storage_root, name) ||
        plat_create_secret(candidate, fresh, sizeof fresh) != 0)
        return -1;
    if (plat_rename_noreplace(candidate, path) == 0) {
        memcpy(out, fresh, sizeof fresh);
        return 0;
    }
    /* Another process won (or the rename failed, and so will the read). */
    plat_remove(candidate);
    return read_key(path, out);
}
