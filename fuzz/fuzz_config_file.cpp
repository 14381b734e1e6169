/*
 * fuzz_config_file - the readers that read config.json anew on every call:
 * tv_config_read, common's integer and boolean settings, and auth's two
 * settings behind the authentication switch.
 *
 * Input: the file's bytes, written whole (NUL bytes included) to
 * config.json in a private working directory entered once per process.
 *
 * Holds for every input: tv_config_read returns the file's bytes up to the
 * first NUL, cut to its buffer, NUL-terminated; the integer settings are
 * never negative (digits only, saturated) and 0 when the key is absent;
 * the protection of "latest" is 0 or 1; authentication is on exactly when
 * a non-empty user below 128 bytes and a 64-byte digest were read, and
 * registry_auth_enabled agrees.
 */
#include "auth_internal.h"
#include "fuzz_support.h"
#include "oci_common.h"
#include "tv_config.h"
#include "v2_auth.h"

#include <algorithm>
#include <string_view>

namespace
{

void check_read(std::string_view file, size_t cap)
{
    fuzz::buffer buf(cap, '\x5a');
    const size_t n = tv_config_read(buf.get(), cap);
    if (cap == 0) {
        FUZZ_CHECK(n == 0);
        return;
    }
    const size_t want = strnlen(file.data(), std::min(file.size(), cap - 1));
    FUZZ_CHECK(n == want);
    FUZZ_CHECK(buf.get()[n] == '\0' && memcmp(buf.get(), file.data(), n) == 0);
}

/* The text the settings readers see: the first 4,095 bytes, up to a NUL. */
bool key_present(std::string_view file, const char *quoted_key)
{
    const fuzz::text t(file.substr(0, 4095));
    return strstr(t.c_str(), quoted_key) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::enter_work_dir();
    const std::string_view file(reinterpret_cast<const char *>(data), size);
    fuzz::write_file("config.json", file);

    for (size_t cap : {size_t{0}, size_t{1}, size_t{16}, size_t{2048}, size_t{4096}, size_t{8192}})
        check_read(file, cap);

    for (const char *key : {"\"registry_quota_bytes\"", "\"registry_retention_keep_n\"",
                            "\"registry_retention_days\"", "\"registry_access_log_max_bytes\""}) {
        const int64_t v = oci_config_int(key);
        FUZZ_CHECK(v >= 0);
        if (!key_present(file, key)) FUZZ_CHECK(v == 0);
    }
    FUZZ_CHECK(oci_retention_keep_n() >= 0);
    FUZZ_CHECK(oci_retention_days() >= 0);
    FUZZ_CHECK(oci_quota_bytes() >= 0);
    const int latest = oci_retention_protect_latest();
    FUZZ_CHECK(latest == 0 || latest == 1);
    if (!key_present(file, "\"registry_retention_protect_latest\"")) FUZZ_CHECK(latest == 1);

    auth::settings s;
    memset(&s, 0x5a, sizeof s);
    const int on = auth::read_settings(&s);
    FUZZ_CHECK(on == 0 || on == 1);
    if (on) {
        FUZZ_CHECK(memchr(s.user, '\0', sizeof s.user) != nullptr && s.user[0] != '\0');
        FUZZ_CHECK(memchr(s.digest, '\0', sizeof s.digest) != nullptr);
        FUZZ_CHECK(strlen(s.digest) == auth::kDigestHexLen);
    }
    FUZZ_CHECK(registry_auth_enabled() == on);
    return 0;
}
