/*
 * auth_scope.cpp - what a token grants: the scope parameters a client asks
 * for, merged into grants, and the look-up of one repository's actions.
 *
 * A scope's text comes straight from the query string and goes back out in
 * a challenge header and in the token's JSON, so anything that could end a
 * quoted text or a header line is refused here, once.
 */
#include "auth_internal.h"

#include <string.h>

namespace auth
{
namespace
{

constexpr std::string_view kRepository = "repository";
constexpr std::string_view kRegistry = "registry";
constexpr std::string_view kCatalog = "catalog";

/* Printable ASCII but the quote and the backslash; the space separates
 * scopes and is handled by the caller. */
bool scope_byte_ok(unsigned char c)
{
    return c > ' ' && c < 0x7f && c != '"' && c != '\\';
}

/* The REGISTRY_ACTION_* bits of "pull,push,...": -1 for an empty item. */
int parse_actions(std::string_view list, unsigned *out)
{
    unsigned bits = 0;
    for (;;) {
        const size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        if (item.empty()) return -1;
        bits |= token_action_bits(item);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    *out = bits;
    return 0;
}

/* One "type:name:actions" into claims. The name runs from the first to the
 * last colon: a registry host's port ("host:5000/app") stays in it. */
int parse_one(std::string_view scope, registry_token_claims *claims)
{
    const size_t first = scope.find(':');
    const size_t last = scope.rfind(':');
    if (first == std::string_view::npos || first == last) return -1;
    const std::string_view type = scope.substr(0, first);
    const std::string_view name = scope.substr(first + 1, last - first - 1);
    unsigned actions = 0;
    if (type.empty() || name.empty() || name.size() >= REGISTRY_TOKEN_NAME_CAP) return -1;
    if (parse_actions(scope.substr(last + 1), &actions) != 0) return -1;
    if (type == kRepository) return token_grant_merge(claims, false, name, actions);
    if (type == kRegistry && name == kCatalog) return token_grant_merge(claims, true, "", actions);
    return 0; /* a resource we do not serve */
}

} // namespace

unsigned token_action_bits(std::string_view name)
{
    if (name == "pull") return REGISTRY_ACTION_PULL;
    if (name == "push") return REGISTRY_ACTION_PUSH;
    if (name == "delete") return REGISTRY_ACTION_DELETE;
    if (name == "*") return REGISTRY_ACTION_ALL;
    return 0;
}

int token_grant_merge(registry_token_claims *claims, bool catalog, std::string_view name,
                      unsigned actions)
{
    if (name.size() >= REGISTRY_TOKEN_NAME_CAP || claims->grant_count > REGISTRY_TOKEN_GRANTS_MAX)
        return -1;
    for (size_t i = 0; i < claims->grant_count; ++i) {
        registry_token_grant &g = claims->grants[i];
        const std::string_view held(g.repository, strnlen(g.repository, REGISTRY_TOKEN_NAME_CAP));
        if ((g.catalog != 0) == catalog && name == held) {
            g.actions |= actions;
            return 0;
        }
    }
    if (claims->grant_count == REGISTRY_TOKEN_GRANTS_MAX) return -1;
    registry_token_grant &g = claims->grants[claims->grant_count++];
    memset(&g, 0, sizeof g);
    g.catalog = catalog ? 1 : 0;
    memcpy(g.repository, name.data(), name.size());
    g.actions = actions;
    return 0;
}

} // namespace auth

int registry_scope_parse(const char *scope, registry_token_claims *claims)
{
    if (!scope || !claims) return -1;
    const std::string_view all(scope);
    for (const unsigned char c : all)
        if (c != ' ' && !auth::scope_byte_ok(c)) return -1;
    /* Merged into a copy, so a refusal leaves claims as they were. */
    registry_token_claims work = *claims;
    size_t taken = 0;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(' ', start);
        if (end == std::string_view::npos) end = all.size();
        const std::string_view one = all.substr(start, end - start);
        if (!one.empty()) {
            if (auth::parse_one(one, &work) != 0) return -1;
            ++taken;
        }
        start = end + 1;
    }
    if (taken == 0) return -1;
    *claims = work;
    return 0;
}

unsigned registry_token_actions(const registry_token_claims *claims, const char *repository)
{
    if (!claims || !repository) return 0;
    const size_t n = claims->grant_count < REGISTRY_TOKEN_GRANTS_MAX ? claims->grant_count
                                                                     : REGISTRY_TOKEN_GRANTS_MAX;
    for (size_t i = 0; i < n; ++i) {
        const registry_token_grant &g = claims->grants[i];
        if (!g.catalog && strncmp(g.repository, repository, REGISTRY_TOKEN_NAME_CAP) == 0)
            return g.actions;
    }
    return 0;
}
