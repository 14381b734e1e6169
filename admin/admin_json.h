/*
 * admin_json.h - reading the engine's documents (C++ only, inside admin/).
 */
#ifndef REGISTRY_ADMIN_JSON_H
#define REGISTRY_ADMIN_JSON_H

#include <cstdint>
#include <cstring>
#include <memory>

#include <yyjson.h>

struct admin_doc_free {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using admin_doc = std::unique_ptr<yyjson_doc, admin_doc_free>;

/* Parses text (not modified); an empty pointer when it is not JSON. */
inline admin_doc admin_json_parse(const char *text)
{
    if (!text) return admin_doc();
    return admin_doc(yyjson_read_opts(const_cast<char *>(text), std::strlen(text), 0, nullptr,
                                      nullptr));
}

inline yyjson_val *admin_json_root(const admin_doc &doc)
{
    return doc ? yyjson_doc_get_root(doc.get()) : nullptr;
}

/* The integer member key of obj, or 0. */
inline int64_t admin_json_int(yyjson_val *obj, const char *key)
{
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_sint(v)) return yyjson_get_sint(v);
    if (yyjson_is_uint(v)) return static_cast<int64_t>(yyjson_get_uint(v));
    return 0;
}

inline bool admin_json_true(yyjson_val *obj, const char *key)
{
    return yyjson_is_true(yyjson_obj_get(obj, key));
}

/* The string member key of obj, or fallback. */
inline const char *admin_json_str(yyjson_val *obj, const char *key, const char *fallback = "")
{
    const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
    return s ? s : fallback;
}

#endif
