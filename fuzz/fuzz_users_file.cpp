/*
 * fuzz_users_file - the users file: its line parser
 * (registry_users_parse_line) and the streaming check over a whole file
 * (registry_users_check).
 *
 * Input: the file's bytes, any. Every "$2a$"/"$2b$"/"$2y$" followed by two
 * digits gets cost 04 first, so no input asks for 2^31 rounds. A known
 * line, "fuzzer:" and the cost-4 hash of "pw", is appended after a line
 * feed.
 *
 * Holds for every input: each line parses to one of the three kinds, and
 * an entry's user and hash lie inside the line, the user non-empty, at
 * most 127 bytes, without ':', the hash a well-formed bcrypt hash; the
 * streaming check over the file finds, for the known user and for the
 * file's first user, the first line of that user as the line parser reads
 * the file: OK exactly when "pw" matches that line's hash, DENIED
 * otherwise (never UNREADABLE).
 */
#include "auth_passwords.h"
#include "fuzz_support.h"

#include <map>
#include <string>
#include <string_view>

namespace
{

constexpr std::string_view kKnownUser = "fuzzer";
constexpr char kPassword[] = "pw";

/* The cost-4 hash of "pw", made once. */
const std::string &known_hash()
{
    static const std::string h = [] {
        const unsigned char salt[REGISTRY_BCRYPT_SALT_LEN] = {7, 7, 7, 7, 7, 7, 7, 7,
                                                              7, 7, 7, 7, 7, 7, 7, 7};
        char out[REGISTRY_BCRYPT_HASH_CAP];
        FUZZ_CHECK(registry_bcrypt_hash_salt(kPassword, 2, 4, salt, out) == 0);
        return std::string(out);
    }();
    return h;
}

void cheap_costs(std::string *s)
{
    for (size_t i = 0; i + 6 <= s->size(); ++i) {
        char *p = s->data() + i;
        if (p[0] == '$' && p[1] == '2' && (p[2] == 'a' || p[2] == 'b' || p[2] == 'y') &&
            p[3] == '$' && p[4] >= '0' && p[4] <= '9' && p[5] >= '0' && p[5] <= '9') {
            p[4] = '0';
            p[5] = '4';
        }
    }
}

/* Parses every line as the reader cuts them (at each LF, kept); returns the
 * first hash of each user, in a map. */
std::map<std::string, std::string> first_hashes(std::string_view file, std::string *first_user)
{
    std::map<std::string, std::string> out;
    for (size_t at = 0; at < file.size();) {
        const size_t nl = file.find('\n', at);
        const size_t end = nl == std::string_view::npos ? file.size() : nl + 1;
        const std::string_view line = file.substr(at, end - at);
        at = end;
        registry_users_line e;
        const int kind = registry_users_parse_line(line.data(), line.size(), &e);
        FUZZ_CHECK(kind == e.kind);
        if (kind == REGISTRY_USERS_LINE_BROKEN) FUZZ_CHECK(e.reason != nullptr);
        if (kind != REGISTRY_USERS_LINE_ENTRY) {
            FUZZ_CHECK(kind == REGISTRY_USERS_LINE_BLANK || kind == REGISTRY_USERS_LINE_BROKEN);
            continue;
        }
        FUZZ_CHECK(e.user >= line.data() && e.user + e.user_len <= line.data() + line.size());
        FUZZ_CHECK(e.hash >= line.data() && e.hash + e.hash_len <= line.data() + line.size());
        const std::string user(e.user, e.user_len), hash(e.hash, e.hash_len);
        FUZZ_CHECK(!user.empty() && user.size() < REGISTRY_USER_NAME_CAP);
        FUZZ_CHECK(user.find(':') == std::string::npos);
        FUZZ_CHECK(registry_bcrypt_cost(hash.c_str()) == 4);
        if (out.emplace(user, hash).second && first_user->empty()) *first_user = user;
    }
    return out;
}

void expect(const std::string &path, const std::string &user, const std::string &hash)
{
    /* Each bcrypt is most of an input's time: the appended line's answer
     * is known. */
    const bool match =
        hash == known_hash() || registry_bcrypt_check(kPassword, 2, hash.c_str()) == 1;
    const int want = match ? REGISTRY_USERS_OK : REGISTRY_USERS_DENIED;
    FUZZ_CHECK(registry_users_check(path.c_str(), user.data(), user.size(), kPassword, 2) == want);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = (fuzz::work_dir() / "users").string();
    std::string file(reinterpret_cast<const char *>(data), size);
    cheap_costs(&file);
    file.append("\n").append(kKnownUser).append(":").append(known_hash()).append("\n");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << file;
        FUZZ_CHECK(out.good());
    }

    std::string first_user;
    const std::map<std::string, std::string> hashes = first_hashes(file, &first_user);
    const auto known = hashes.find(std::string(kKnownUser));
    FUZZ_CHECK(known != hashes.end()); /* the appended line at least */
    /* The warnings for broken lines are not the point here. */
    FILE *saved = stderr;
    static FILE *devnull = fopen("/dev/null", "w");
    stderr = devnull;
    expect(path, known->first, known->second);
    if (first_user != known->first) expect(path, first_user, hashes.at(first_user));
    stderr = saved;
    return 0;
}
