/*
 * fuzz_repo_path - the request-path splitter and the name rules:
 * oci_parse_repo_marker, oci_valid_repo_name, oci_valid_tag, oci_valid_digest,
 * the storage engine's repo_name_valid and tag_valid, and digest_parse (the one
 * digest grammar: a digest kept, another algorithm's, or neither).
 *
 * Input: a marker on the first line and the request path after it (each
 * cut at a NUL). Without a line feed the whole input is the path, split
 * around each marker the endpoints use. Every split runs with name and rest
 * buffers of exactly the sizes given: small ones, the size the name needs,
 * and generous ones.
 *
 * Holds for every input: the split gives what a plain reading of its
 * header gives (leading '/' and "v2" dropped, the name before the first
 * marker, the rest after it without its leading '/' runs, cut to its
 * buffer, one trailing '/' dropped); both outputs stay NUL-terminated in
 * their buffers; each rule accepts exactly what its comment describes; and
 * a name the request rule accepts is accepted by the engine unless it has
 * a "." or ".." in it, which the engine alone refuses.
 */
#include "fuzz_support.h"
#include "oci_common.h"
#include "storage_internal.h"

#include <string>
#include <string_view>

namespace
{

using std::string_view;
constexpr size_t npos = string_view::npos;

constexpr const char *kMarkers[] = {"/blobs/", "/manifests/", "/tags/", "/blobs/uploads/"};

bool alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool plain_request_name(string_view s)
{
    if (s.empty() || s.size() > 255) return false;
    if (!alnum(s.front()) || !alnum(s.back())) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (!alnum(c) && c != '-' && c != '_' && c != '.' && c != '/') return false;
        if (c == '/' && s[i - 1] == '/') return false;
    }
    return true;
}

/* True when a component (between '/' or '\') is "." or "..". */
bool has_dot_component(string_view s)
{
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find_first_of("/\\", start);
        if (end == npos) end = s.size();
        const string_view c = s.substr(start, end - start);
        if (c == "." || c == "..") return true;
        start = end + 1;
    }
    return false;
}

bool plain_engine_name(string_view s)
{
    if (s.size() > 255) return false;
    for (char c : s)
        if (!alnum(c) && c != '-' && c != '.' && c != '_' && c != '/' && c != '\\') return false;
    return s.find("..") == npos && !has_dot_component(s);
}

bool plain_tag(string_view s)
{
    auto word = [](char c) { return alnum(c) || c == '_'; };
    if (s.empty() || s.size() > 128 || !word(s[0])) return false;
    for (char c : s.substr(1))
        if (!word(c) && c != '.' && c != '-') return false;
    return true;
}

void check_rules(const fuzz::text &t)
{
    const string_view s = t.view();
    const int request = oci_valid_repo_name(t.c_str());
    FUZZ_CHECK(request == (plain_request_name(s) ? 1 : 0));
    if (!s.empty()) {
        const int engine = storage::repo_name_valid(t.c_str());
        FUZZ_CHECK(engine == (plain_engine_name(s) ? 1 : 0));
        /* The request rule is the stricter one, dots aside. */
        if (request && s.find("..") == npos && !has_dot_component(s)) FUZZ_CHECK(engine == 1);
    }
    FUZZ_CHECK(storage::tag_valid(t.c_str()) == (plain_tag(s) ? 1 : 0));
    /* One digest grammar: its three answers, and the request layer's
     * rule is the same. */
    digest_algorithm algorithm = DIGEST_NONE;
    const digest_form form = digest_parse(t.c_str(), &algorithm);
    FUZZ_CHECK((form == DIGEST_FORM_OK) == fuzz::plain_digest(s));
    FUZZ_CHECK((form == DIGEST_FORM_UNSUPPORTED) == fuzz::plain_other_digest(s));
    FUZZ_CHECK((form == DIGEST_FORM_OK) == (algorithm != DIGEST_NONE));
    if (form == DIGEST_FORM_OK) {
        FUZZ_CHECK(digest_algorithm_of(t.c_str()) == algorithm);
        FUZZ_CHECK(s.size() ==
                   strlen(digest_algorithm_name(algorithm)) + 1 + digest_hex_len(algorithm));
        FUZZ_CHECK(s.size() < DIGEST_TEXT_CAP);
    }
    FUZZ_CHECK(digest_text_valid(t.c_str()) == (fuzz::plain_digest(s) ? 1 : 0));
    FUZZ_CHECK(oci_valid_tag(t.c_str()) == (plain_tag(s) ? 1 : 0));
    FUZZ_CHECK(oci_valid_digest(t.c_str()) == (fuzz::plain_digest(s) ? 1 : 0));
}

void check_split(const fuzz::text &path, const char *marker, size_t name_size, size_t rest_size)
{
    const char kFill = '\x5a';
    fuzz::buffer name(name_size, kFill);
    fuzz::buffer rest(rest_size, kFill);
    char *rest_ptr = rest_size ? rest.get() : nullptr;
    const int rc =
        oci_parse_repo_marker(path.c_str(), marker, name.get(), name_size, rest_ptr, rest_size);
    FUZZ_CHECK(rc == 0 || rc == 1);
    if (name_size == 0) {
        FUZZ_CHECK(rc == 0 && name.all(kFill));
        return;
    }
    FUZZ_CHECK(name.terminated());
    if (rest_size) FUZZ_CHECK(rest.terminated());

    /* An empty marker splits nothing. */
    if (!*marker) {
        FUZZ_CHECK(rc == 0 && name.get()[0] == '\0');
        if (rest_size) FUZZ_CHECK(rest.get()[0] == '\0');
        return;
    }

    /* The same split read plainly. */
    string_view p = path.view();
    while (!p.empty() && p.front() == '/')
        p.remove_prefix(1);
    if (p.substr(0, 3) == "v2/")
        p.remove_prefix(3);
    else if (p == "v2")
        p = string_view();
    const size_t at = p.rfind(marker);
    if (at == npos || at == 0 || at >= name_size) {
        FUZZ_CHECK(rc == 0 && name.get()[0] == '\0');
        if (rest_size) FUZZ_CHECK(rest.get()[0] == '\0');
        return;
    }
    const string_view want_name = p.substr(0, at);
    FUZZ_CHECK(string_view(name.get()) == want_name);
    const bool valid = plain_request_name(want_name);
    FUZZ_CHECK(rc == (valid ? 1 : 0));
    if (!rest_size) return;
    if (!valid) {
        FUZZ_CHECK(rest.get()[0] == '\0');
        return;
    }
    string_view r = p.substr(at + strlen(marker));
    while (!r.empty() && r.front() == '/')
        r.remove_prefix(1);
    std::string want_rest(r.substr(0, rest_size - 1));
    if (!want_rest.empty() && want_rest.back() == '/') want_rest.pop_back();
    FUZZ_CHECK(want_rest == rest.get());
}

void check_splits(const fuzz::text &path, const char *marker)
{
    for (size_t name_size :
         {size_t{0}, size_t{1}, size_t{2}, size_t{9}, size_t{256}, path.size() + 1})
        for (size_t rest_size : {size_t{0}, size_t{1}, size_t{5}, size_t{4096}})
            check_split(path, marker, name_size, rest_size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::split in = fuzz::first_line(data, size);
    const fuzz::text path(in.rest);
    check_rules(path);
    if (in.had_line) {
        const fuzz::text marker(in.line);
        check_rules(marker);
        check_splits(path, marker.c_str());
    } else {
        for (const char *marker : kMarkers)
            check_splits(path, marker);
    }
    /* The rules on every part between slashes, too. */
    string_view all = path.view();
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('/', start);
        if (end == npos) end = all.size();
        check_rules(fuzz::text(all.substr(start, end - start)));
        start = end + 1;
    }
    return 0;
}
