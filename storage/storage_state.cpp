/*
 * storage_state.cpp - the engine's module state, initialisation, clean-up
 * and error slot.
 */
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "storage_internal.h"

namespace storage
{

char s_root[kRootMax + 1];
int s_ready;
uint32_t s_seed;
char s_error[kErrorCap];
int s_error_kind;
int s_noted_failure;
char s_result[kResultCap];

/* A cause once kept stays until the next message: the calls that follow
 * on the way out (cleaning up, looking again) often fail for other reasons. */
void note_failure(int plat_failure)
{
    if (plat_failure != PLAT_FAIL_OTHER) s_noted_failure = plat_failure;
}

/* Also keeps what the OS call that failed just before ran into (or what
 * note_failure kept): a full or unwritable store is told apart from the
 * message's other causes. */
void set_error(const char *format, ...)
{
    const int failure = s_noted_failure != PLAT_FAIL_OTHER ? s_noted_failure : plat_last_failure();
    s_noted_failure = PLAT_FAIL_OTHER;
    s_error_kind = failure == PLAT_FAIL_FULL           ? REG_ERROR_FULL
                   : failure == PLAT_FAIL_NOT_WRITABLE ? REG_ERROR_NOT_WRITABLE
                                                       : REG_ERROR_OTHER;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(s_error, sizeof s_error, format, ap);
    va_end(ap);
}

void copy_cut(char *dst, size_t size, std::string_view src)
{
    if (!dst || size == 0) return;
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

namespace
{

/* The marker file: 110 bytes, never read back by the engine. */
constexpr char kMarker[] = "{\n"
                           "  \"schemaVersion\": 2,\n"
                           "  \"title\": \"tarnvale-registry-storage\",\n"
                           "  \"version\": \"1.9.0\",\n"
                           "  \"maxUploadSize\": -1\n"
                           "}\n";
static_assert(sizeof kMarker - 1 == 110, "marker file is 110 bytes");

/* One trailing backslash goes, but never the whole root: a lone separator
 * (or a drive root "X:\") names a different place once stripped. */
void strip_trailing_backslash(char *root)
{
    size_t len = std::strlen(root);
    if (len < 2 || root[len - 1] != '\\') return;
    if (len == 3 && root[1] == ':') return;
    root[len - 1] = '\0';
}

void seed_generator()
{
    uint32_t t = static_cast<uint32_t>(plat_time());
    uint32_t a = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&s_seed));
    /* A fully static program loads at the same address in every process,
     * so time and address alone give every process of one second the same
     * ids: the process id keeps them apart. */
    uint32_t p = static_cast<uint32_t>(plat_pid()) * 0x9E3779B9u;
    s_seed = t ^ a ^ p;
    if (s_seed == 0) s_seed = kSeedFallback;
}

void forget_root()
{
    s_ready = 0;
    s_root[0] = '\0';
}

} // namespace
} // namespace storage

using namespace storage;

extern "C" int reg_storage_init(const char *root)
{
    if (!root || !*root) {
        set_error("storage root dir is empty");
        return -1;
    }
    forget_root();
    if (std::strlen(root) > kRootMax) {
        set_error("storage root dir too long (max %zu chars)", kRootMax);
        return -1;
    }
    copy_cut(s_root, sizeof s_root, root);
    strip_trailing_backslash(s_root);

    if (mkdirs(s_root) != 0) {
        set_error("mkdirs failed: %s", s_root);
        forget_root();
        return -1;
    }
    /* The root is at most kRootMax bytes, so these never come out cut. */
    char path[kPathCap];
    using builder = int (*)(char *);
    for (builder b : {blobs_dir, repositories_dir, uploads_dir}) {
        if (b(path) != 0 || mkdirs(path) != 0) {
            set_error("mkdirs failed: %s", path);
            forget_root();
            return -1;
        }
    }
    /* Another front-end making a new store at the same moment may have
     * written it first (some cluster file systems then refuse even a plain
     * create): what counts is that it stands. */
    if (path_join(path, s_root, "config.json") != 0 ||
        (!plat_is_file(path) && write_file(path, kMarker, sizeof kMarker - 1) != 0 &&
         !plat_is_file(path))) {
        set_error("write config.json failed");
        forget_root();
        return -1;
    }
    seed_generator();
    s_ready = 1;
    s_error[0] = '\0';
    return 0;
}

extern "C" void reg_storage_cleanup(void)
{
    forget_root();
}

extern "C" const char *reg_storage_last_error(void)
{
    return s_error;
}

extern "C" int reg_storage_last_error_kind(void)
{
    return s_error[0] ? s_error_kind : REG_ERROR_OTHER;
}
