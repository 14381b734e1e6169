/*
 * tv_config_path.cpp - where the settings file is, reading it once per
 * process, and the storage root every module uses.
 *
 * An installed registry keeps its programs in one directory and its
 * configuration in another; the web server names the file in the
 * environment it gives the programs, which costs a request nothing.
 */
#include "tv_config.h"

#include "tv_cgi.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

namespace
{

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;
struct heap_free {
    void operator()(char *p) const { free(p); }
};

int s_loaded = 0;
unsigned s_generation = 0;
tv_settings s_settings;
char s_error[TV_CONFIG_ERROR_CAP];
int s_has_error = 0;

void set_error(const char *problem)
{
    tv_snprintf(s_error, sizeof s_error, "settings file %s: %s", tv_config_path(), problem);
    s_has_error = 1;
}

/* Reads and parses the file; on any problem the settings stay at their
 * defaults and s_error says why. */
void load()
{
    const char *path = tv_config_path();
    const bool named = strcmp(path, TV_CONFIG_FILE) != 0;
    char problem[TV_CONFIG_ERROR_CAP];
    tv_config_parse("{}", 2, &s_settings, nullptr, 0);

    errno = 0;
    file_ptr f(fopen(path, "rb"));
    if (!f) {
        if (errno == ENOENT && !named) return; /* nothing configured */
        tv_snprintf(problem, sizeof problem, "cannot be read (%s)", strerror(errno));
        set_error(problem);
        return;
    }
    std::unique_ptr<char, heap_free> text(static_cast<char *>(malloc(TV_CONFIG_MAX_BYTES + 1)));
    if (!text) {
        set_error("no memory to read it");
        return;
    }
    const size_t n = fread(text.get(), 1, TV_CONFIG_MAX_BYTES + 1, f.get());
    if (ferror(f.get())) {
        set_error("cannot be read");
        return;
    }
    if (n > TV_CONFIG_MAX_BYTES) {
        tv_snprintf(problem, sizeof problem, "larger than %d bytes", TV_CONFIG_MAX_BYTES);
        set_error(problem);
        return;
    }
    tv_config_release(&s_settings);
    if (tv_config_parse(text.get(), n, &s_settings, problem, sizeof problem) != 0) {
        set_error(problem);
        return;
    }
    s_settings.file_bytes = static_cast<int64_t>(n);
}

} // namespace

const char *tv_config_path(void)
{
    const char *v = getenv(TV_CONFIG_ENV);
    return v && *v ? v : TV_CONFIG_FILE;
}

const tv_settings *tv_config(void)
{
    if (!s_loaded) {
        s_loaded = 1;
        ++s_generation;
        load();
    }
    return &s_settings;
}

unsigned tv_config_generation(void)
{
    tv_config();
    return s_generation;
}

const char *tv_config_error(void)
{
    tv_config();
    return s_has_error ? s_error : nullptr;
}

void tv_config_reload(void)
{
    if (s_loaded) tv_config_release(&s_settings);
    s_loaded = 0;
    s_has_error = 0;
    s_error[0] = '\0';
}

const char *tv_config_storage_root(void)
{
    const char *env = getenv(TV_CONFIG_ROOT_ENV);
    if (env && *env) return env;
    const tv_settings *s = tv_config();
    return s->storage_root[0] ? s->storage_root : TV_CONFIG_DEFAULT_ROOT;
}
