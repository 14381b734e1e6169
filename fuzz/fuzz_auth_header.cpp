/*
 * fuzz_auth_header - the Authorization header: registry_auth_check with
 * HTTP_AUTHORIZATION set to the input (cut at a NUL, which the environment
 * cannot hold).
 *
 * Once per process the working directory becomes a private temporary one
 * whose config.json turns authentication on for user "fuzz" with password
 * "open:sesame" (a colon inside the password) and the access log off;
 * standard output, where a refusal writes its 401, goes to /dev/null.
 *
 * Holds for every input: the result is 1 exactly when the header is
 * "Basic" in any case after optional spaces, then one space or tab, then
 * Base64 that decodes to "fuzz:open:sesame"; else 0.
 */
#include "auth_internal.h"
#include "fuzz_support.h"
#include "v2_auth.h"

#include <strings.h>

#include <string>

namespace
{

constexpr char kUser[] = "fuzz";
constexpr char kPassword[] = "open:sesame";

void setup_once()
{
    static bool done = [] {
        fuzz::enter_work_dir();
        fuzz::write_file("config.json", "{\"registry_auth_user\": \"" + std::string(kUser) +
                                            "\", \"registry_auth_sha256\": \"" +
                                            fuzz::sha256_hex(kPassword) +
                                            "\", \"registry_access_log\": 0}\n");
        unsetenv("REGISTRY_STORAGE_ROOT");
        FUZZ_CHECK(freopen("/dev/null", "w", stdout) != nullptr);
        FUZZ_CHECK(registry_auth_enabled() == 1);
        return true;
    }();
    (void)done;
}

/* Whether the header carries the configured credentials, read plainly. */
bool accepted(const char *h)
{
    while (*h == ' ')
        ++h;
    if (strncasecmp(h, "basic", 5) != 0) return false;
    if (h[5] != ' ' && h[5] != '\t') return false;
    uint8_t cred[auth::kCredentialsMax];
    size_t len = 0;
    if (auth::base64_decode(h + 6, cred, sizeof cred, &len) != 0) return false;
    const std::string want = std::string(kUser) + ":" + kPassword;
    return len == want.size() && memcmp(cred, want.data(), len) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup_once();
    const fuzz::text header(std::string_view(reinterpret_cast<const char *>(data), size));
    fuzz::set_env("HTTP_AUTHORIZATION", header.c_str());
    const int rc = registry_auth_check();
    FUZZ_CHECK(rc == 0 || rc == 1);
    FUZZ_CHECK(rc == (accepted(header.c_str()) ? 1 : 0));
    fflush(stdout);
    return 0;
}
