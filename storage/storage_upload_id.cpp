/*
 * storage_upload_id.cpp - upload ids: the generator and the
 * exclusive creation of a new upload's file.
 *
 * The generator is seeded from the time in seconds and a load address, so
 * two processes starting uploads in the same second can draw the same id.
 * A plain "wb" open would then truncate the other process's upload; we
 * create the file exclusively instead and draw the next id when the name
 * is taken, so a new upload never destroys an existing one.
 */
#include "storage_internal.h"

namespace storage
{

void upload_id_next(uint32_t *state, char *out)
{
    uint32_t x = *state;
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const unsigned byte = x & 0xFFu;
        /* Two digits per byte, low nibble first, dashes at 8, 13, 18, 23. */
        for (unsigned digit : {byte & 0x0Fu, byte >> 4}) {
            if (pos == 8 || pos == 13 || pos == 18 || pos == 23) out[pos++] = '-';
            out[pos++] = hx[digit];
        }
    }
    out[kUploadIdLen] = '\0';
    *state = x != 0 ? x : kSeedFallback;
}

int upload_create(uint32_t *state, char *out_id, char *out_path)
{
    for (int attempt = 0; attempt < kUploadCreateTries; ++attempt) {
        upload_id_next(state, out_id);
        if (upload_path_for_uuid(out_id, out_path) != 0) return -1; /* root too long: never */
        /* Fails when the name exists, whatever it is (fopen's C11 "x" would
         * do, but the Windows runtime ignores it and truncates). */
        if (plat_create_excl(out_path) == 0) return 0;
        /* Taken by another upload: draw again. No space or no permission
         * will not get better, nor will a missing uploads directory. */
        const int why = plat_last_failure();
        plat_file_info info;
        if (plat_stat(out_path, &info) == 0) continue;
        if (why != PLAT_FAIL_OTHER) {
            note_failure(why);
            return -1;
        }
        /* The name was taken and is free again: the other upload finished
         * (its file moved into the blob store) between our two looks. */
        char dir[kPathCap];
        if (uploads_dir(dir) != 0 || !plat_dir_exists(dir)) return -1;
    }
    return -1;
}

} // namespace storage
