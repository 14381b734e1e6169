/*
 * fuzz_gc_progress - the progress-snapshot reader: the input written to
 * R/_gc/progress.json of a store made once per process in a private
 * temporary directory, then reg_gc_progress_json.
 *
 * Holds for every input: the document is never NULL, fits the snapshot
 * buffer (511 bytes and a NUL), is valid JSON: an object with exactly the
 * ten members of a snapshot, each of its type, the phase at most 15 bytes;
 * and the three flags are true exactly when the snapshot, read as JSON,
 * has them as the literal true.
 */
#include "fuzz_support.h"
#include "reg_storage.h"

#include <string>
#include <string_view>

namespace
{

namespace fs = std::filesystem;

constexpr size_t kSnapshotCap = 512;
fs::path g_snapshot;

void setup_once()
{
    static bool done = [] {
        const fs::path root = fuzz::work_dir() / "store";
        FUZZ_CHECK(reg_storage_init(root.string().c_str()) == 0);
        fs::create_directories(root / "_gc");
        g_snapshot = root / "_gc" / "progress.json";
        return true;
    }();
    (void)done;
}

bool is_true(yyjson_val *obj, const char *key)
{
    return yyjson_is_true(yyjson_obj_get(obj, key));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup_once();
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    fuzz::write_file(g_snapshot, bytes);

    const char *doc = reg_gc_progress_json();
    FUZZ_CHECK(doc != nullptr);
    const size_t len = strnlen(doc, kSnapshotCap);
    FUZZ_CHECK(len < kSnapshotCap);
    fuzz::doc_ptr parsed = fuzz::parse_json(doc, len);
    FUZZ_CHECK(parsed != nullptr);
    yyjson_val *root = yyjson_doc_get_root(parsed.get());
    FUZZ_CHECK(yyjson_is_obj(root) && yyjson_obj_size(root) == 10);
    for (const char *flag : {"running", "dry_run", "cancelled"})
        FUZZ_CHECK(yyjson_is_bool(yyjson_obj_get(root, flag)));
    for (const char *count : {"blobs_scanned", "blobs_total", "blobs_deleted", "bytes_freed",
                              "started_unix", "elapsed_ms"})
        FUZZ_CHECK(yyjson_is_int(yyjson_obj_get(root, count)));
    yyjson_val *phase = yyjson_obj_get(root, "phase");
    FUZZ_CHECK(yyjson_is_str(phase) && yyjson_get_len(phase) <= 15);
    yyjson_val *elapsed = yyjson_obj_get(root, "elapsed_ms");
    FUZZ_CHECK(yyjson_is_uint(elapsed) || yyjson_get_sint(elapsed) >= 0);

    /* The flags come from the snapshot as written (it is fresh). */
    fuzz::doc_ptr input = fuzz::parse_json(bytes.data(), bytes.size());
    yyjson_val *in = input ? yyjson_doc_get_root(input.get()) : nullptr;
    const bool object = yyjson_is_obj(in);
    for (const char *flag : {"running", "dry_run", "cancelled"})
        FUZZ_CHECK(is_true(root, flag) == (object && is_true(in, flag)));
    return 0;
}
