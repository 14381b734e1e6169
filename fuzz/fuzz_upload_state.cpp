/*
 * fuzz_upload_state - the reader of an upload's saved SHA-256 state: the
 * first input byte is the upload size the finish would ask about, the rest
 * the state file's bytes.
 *
 * Holds for every input: a state is taken only when it covers exactly that
 * size (bit count size * 8, size % 64 bytes pending), and the taken state
 * saved again is the input byte for byte, so nothing but a record the
 * writer itself makes is ever believed. Once per process, a real state of
 * 100 bytes round-trips and finishes to the digest of those bytes.
 */
#include "fuzz_support.h"
#include "storage_internal.h"

#include <string>
#include <string_view>

namespace
{

namespace fs = std::filesystem;

constexpr char kId[] = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b";
fs::path g_state;

std::string read_all(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void setup_once()
{
    static bool done = [] {
        const fs::path root = fuzz::work_dir() / "store";
        FUZZ_CHECK(reg_storage_init(root.string().c_str()) == 0);
        g_state = root / "uploads" / "sha256-state" / kId;
        /* The writer's own record is believed and finishes right. */
        std::string bytes(100, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 37);
        sha256_ctx ctx, back;
        sha256_init(&ctx);
        sha256_update(&ctx, bytes.data(), bytes.size());
        FUZZ_CHECK(storage::upload_hash_save(kId, 100, &ctx) == 0);
        FUZZ_CHECK(storage::upload_hash_load(kId, 100, &back) == 0);
        FUZZ_CHECK(storage::upload_hash_load(kId, 99, &back) != 0);
        uint8_t a[32], b[32];
        sha256_final(&back, a);
        sha256_init(&ctx);
        sha256_update(&ctx, bytes.data(), bytes.size());
        sha256_final(&ctx, b);
        FUZZ_CHECK(memcmp(a, b, 32) == 0);
        return true;
    }();
    (void)done;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup_once();
    if (size == 0) return 0;
    const int64_t covered = data[0];
    const std::string_view record(reinterpret_cast<const char *>(data + 1), size - 1);
    fuzz::write_file(g_state, record);

    sha256_ctx ctx;
    if (storage::upload_hash_load(kId, covered, &ctx) != 0) return 0;
    FUZZ_CHECK(ctx.bit_count == static_cast<uint64_t>(covered) * 8);
    FUZZ_CHECK(ctx.buffer_len == static_cast<uint64_t>(covered % 64));
    storage::upload_hash_forget(kId);
    FUZZ_CHECK(storage::upload_hash_save(kId, covered, &ctx) == 0);
    FUZZ_CHECK(read_all(g_state) == record);
    return 0;
}
