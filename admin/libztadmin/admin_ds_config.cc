// SPDX-License-Identifier: GPL-3.0-or-later
// admin_ds_config.cc - reader of the directory server's own configuration.
//
// The directory server describes its replication topology in a text file:
// "database" lines open a backend, and "suffix", "rootdn", "replica",
// "slave" and "master" lines describe it.  The reader turns that file into
// a BackendList; select_backend() then finds the backend holding a DN.
//
// All state lives in the arguments (the tokenizer's position included), so
// several threads may read independent lists at once.  Allocation failures
// are reported as ADMIN_ERR_NO_MEMORY rather than ending the process, since
// callers decide what a missing topology means for them.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin_private.h"

namespace {

constexpr int kBufferSize = 1024;     // one physical line
constexpr int kLineSize = 1000;       // one logical line, continuations included
constexpr int kMaxTokens = 100;
constexpr const char *kDelimiters = " \t";
constexpr int kSlotIncrement = 10;

bool has_prefix(const char *text, const char *prefix) {
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// Reads one physical line into buf (at most bufsize - 1 bytes) without its
// line end.  Returns false at the end of the file when nothing was read.
// `complete` tells whether the whole physical line fitted.
bool read_physical(FILE *fp, char *buf, int bufsize, bool *complete) {
    int length = 0;
    int c = EOF;
    while ((c = std::getc(fp)) != EOF && c != '\n') {
        buf[length++] = static_cast<char>(c);
        if (length == bufsize - 1) {
            // Full: the line ends here only when its line end comes next.
            c = std::getc(fp);
            if (c != '\n' && c != EOF) std::ungetc(c, fp);
            break;
        }
    }
    buf[length] = '\0';
    *complete = (c == '\n' || c == EOF);
    return length > 0 || c == '\n';
}

// Drops what is left of a physical line that did not fit the buffer.
void skip_rest_of_line(FILE *fp) {
    int c;
    while ((c = std::getc(fp)) != EOF && c != '\n') {
    }
}

bool only_whitespace(const char *text) {
    for (; *text != '\0'; ++text) {
        if (!std::isspace(static_cast<unsigned char>(*text))) return false;
    }
    return true;
}

int line_too_long(int linesize) {
    zt::dprintf("fp_getline(): buffer larger than %d", linesize);
    return ADMIN_ERR_INTERNAL;
}

}  // namespace

extern "C" {

// Returns 0 with the next logical line in `line`, ADMIN_ERR_NO_MORE_DATA at
// the end of the file, -1 when the logical line would reach `linesize`.
// `buf` carries the look-ahead physical line from one call to the next.
int fp_getline(FILE *fp, int *lineno, char *buf, int bufsize, char *line, int linesize) {
    if (fp == nullptr || lineno == nullptr || buf == nullptr || line == nullptr || bufsize < 2 || linesize < 1)
        return ADMIN_ERR_INTERNAL;
    size_t used = strnlen(buf, static_cast<size_t>(bufsize));
    if (used >= static_cast<size_t>(linesize) || used == static_cast<size_t>(bufsize)) return line_too_long(linesize);
    std::memcpy(line, buf, used + 1);
    ++*lineno;
    if (has_prefix(line, "include")) {
        buf[0] = '\0';
        return 0;
    }
    bool complete = true;
    while (read_physical(fp, buf, bufsize, &complete)) {
        if (buf[0] == '#') {
            if (!complete) skip_rest_of_line(fp);
            ++*lineno;
        } else if (std::isspace(static_cast<unsigned char>(buf[0]))) {
            size_t extra = std::strlen(buf);
            if (extra + used >= static_cast<size_t>(linesize)) return line_too_long(linesize);
            std::memcpy(line + used, buf, extra + 1);
            used += extra;
            ++*lineno;
        } else {
            if (only_whitespace(line)) line[0] = '\0';
            return 0;
        }
    }
    buf[0] = '\0';
    if (only_whitespace(line)) line[0] = '\0';
    return line[0] != '\0' ? 0 : ADMIN_ERR_NO_MORE_DATA;
}

// Returns the next token and leaves `next` behind it.  Double quotes toggle
// a quoted state in which delimiters belong to the token; quotes and
// backslashes are removed.  The text is rewritten in place.
char *strtok_quote(char *str, const char *delimiters, char **next) {
    char *read = str != nullptr ? str : *next;
    if (read == nullptr) return nullptr;
    while (*read != '\0' && std::strchr(delimiters, *read) != nullptr) ++read;
    if (*read == '\0') {
        *next = nullptr;
        return nullptr;
    }
    char *token = read;
    char *write = read;
    bool quoted = false;
    for (; *read != '\0'; ++read) {
        if (*read == '"') {
            quoted = !quoted;
        } else if (*read == '\\') {
            // Dropped; the character after it is examined like any other.
        } else if (!quoted && std::strchr(delimiters, *read) != nullptr) {
            *write = '\0';
            *next = read + 1;
            return token;
        } else {
            *write++ = *read;
        }
    }
    *write = '\0';
    *next = read;
    return token;
}

// Splits `line` in place into at most `max` tokens plus a closing null
// entry.  More tokens than that end the process: the file is unusable.
void fp_parse_line(char *line, int *argc, char **argv, int max) {
    char *next = nullptr;
    *argc = 0;
    for (char *token = strtok_quote(line, kDelimiters, &next); token != nullptr;
         token = strtok_quote(nullptr, kDelimiters, &next)) {
        if (*argc == max) {
            zt::dprintf("fp_parse_line(): Too many tokens (max %d)", max);
            std::exit(1);
        }
        argv[(*argc)++] = token;
    }
    argv[*argc] = nullptr;
}

// Appends a zero-filled backend; absent when the slots cannot be grown.
Backend *new_backend(BackendList *list, const char *type) {
    if (list->count == list->capacity) {
        int capacity = list->capacity + kSlotIncrement;
        auto *slots = static_cast<Backend *>(std::realloc(list->backends, sizeof(Backend) * capacity));
        if (slots == nullptr) {
            zt::dprintf("new_backend(): failed to allocate backend struct");
            return nullptr;
        }
        std::memset(slots + list->capacity, 0, sizeof(Backend) * kSlotIncrement);
        list->backends = slots;
        list->capacity = capacity;
    }
    Backend *backend = &list->backends[list->count++];
    backend->type = (type != nullptr && strcasecmp(type, "ldbm") == 0) ? "ldbm" : nullptr;
    return backend;
}

void free_backend(BackendList *list) {
    if (list == nullptr) return;
    for (int i = 0; i < list->count; ++i) {
        Backend &backend = list->backends[i];
        zt_free_array(backend.suffixes);
        std::free(backend.rootdn);
        zt_free_array(backend.replicas);
        free_treeS(backend.slaves);
        free_treeS(backend.masters);
    }
    std::free(list->backends);
    list->backends = nullptr;
    list->count = 0;
    list->capacity = 0;
}

// The first backend, in file order, with a suffix that ends `dn`
// (without regard to case, and without looking for an RDN boundary).
Backend *select_backend(const BackendList *list, const char *dn) {
    if (list == nullptr || dn == nullptr) return nullptr;
    size_t dn_length = std::strlen(dn);
    for (int i = 0; i < list->count; ++i) {
        char **suffixes = list->backends[i].suffixes;
        for (int j = 0; suffixes != nullptr && suffixes[j] != nullptr; ++j) {
            size_t length = std::strlen(suffixes[j]);
            if (length <= dn_length && strcasecmp(dn + dn_length - length, suffixes[j]) == 0)
                return &list->backends[i];
        }
    }
    return nullptr;
}

void free_treeS(TreeS *chain) {
    while (chain != nullptr) {
        TreeS *next = chain->next;
        for (SubtreeNode *node = chain->subtrees; node != nullptr;) {
            SubtreeNode *following = node->next;
            std::free(node->dn);
            std::free(node);
            node = following;
        }
        zt_free_array(chain->referrals);
        std::free(chain->replicadn);
        std::free(chain);
        chain = next;
    }
}

}  // extern "C"

namespace {

// Applies one item of a "slave" or "master" line to `tree`.  Returns false
// when a copy could not be allocated.
bool apply_tree_item(TreeS *tree, const char *item, bool is_slave) {
    if (has_prefix(item, "subtree=")) {
        auto *node = static_cast<SubtreeNode *>(std::calloc(1, sizeof(SubtreeNode)));
        if (node == nullptr) return false;
        node->dn = strdup(item + 8);
        if (node->dn == nullptr) {
            std::free(node);
            return false;
        }
        node->flag = 1;
        node->next = tree->subtrees;
        tree->subtrees = node;
    } else if (is_slave && has_prefix(item, "replicadn=")) {
        char *copy = strdup(item + 10);
        if (copy == nullptr) return false;
        std::free(tree->replicadn);
        tree->replicadn = copy;
    } else if (is_slave && has_prefix(item, "referral=")) {
        char *copy = strdup(item + 9);
        if (copy == nullptr) return false;
        if (zt_add_array(&tree->referrals, copy) != ADMIN_SUCCESS) {
            std::free(copy);
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" {

// Builds one TreeS from argv[1..argc-1] and puts it at the head of the
// backend's slave or master chain.  Returns 0, or -10 with the chain as
// it was.
int configure_treeS(Backend *backend, int argc, char **argv, int is_slave) {
    auto *tree = static_cast<TreeS *>(std::calloc(1, sizeof(TreeS)));
    if (tree == nullptr) return ADMIN_ERR_NO_MEMORY;
    for (int i = 1; i < argc; ++i) {
        if (!apply_tree_item(tree, argv[i], is_slave != 0)) {
            free_treeS(tree);
            return ADMIN_ERR_NO_MEMORY;
        }
    }
    TreeS **chain = is_slave ? &backend->slaves : &backend->masters;
    tree->next = *chain;
    *chain = tree;
    return ADMIN_SUCCESS;
}

}  // extern "C"

namespace {

// The reader's state while it walks the file.  A directive handler returns
// ADMIN_SUCCESS to go on (also after a line that is logged and ignored) or
// the status that ends the read.
struct Reader {
    BackendList *list;
    std::string path;
    int lineno = -1;
    Backend *current = nullptr;
};

AdminStatus no_copy() {
    zt::dprintf("read_ds_config(): strdup() failed.");
    return ADMIN_ERR_NO_MEMORY;
}

AdminStatus on_database(Reader &r, int argc, char **argv) {
    if (argc < 2) {
        zt::dprintf("read_ds_config(): [line %d] missing type in \"database <type>\" line in %s file.", r.lineno,
                    r.path.c_str());
        return ADMIN_ERR_INTERNAL;
    }
    r.current = new_backend(r.list, argv[1]);
    return r.current != nullptr ? ADMIN_SUCCESS : ADMIN_ERR_NO_MEMORY;
}

AdminStatus on_suffix(Reader &r, int argc, char **argv) {
    if (argc < 2) {
        zt::dprintf("read_ds_config(): [line %d] missing dn in \"suffix <dn>\" line in %s file.", r.lineno,
                    r.path.c_str());
        return ADMIN_ERR_INTERNAL;
    }
    if (argc > 2) {
        zt::dprintf("read_ds_config(): [line %d] extra nonsense after <dn> in \"suffix %s\" line in %s file. (ignored)",
                    r.lineno, argv[1], r.path.c_str());
    }
    if (r.current == nullptr) {
        zt::dprintf("read_ds_config(): [line %d] suffix line must appear inside a database definition in %s file. "
                    "(ignored)",
                    r.lineno, r.path.c_str());
        return ADMIN_SUCCESS;
    }
    char *copy = strdup(argv[1]);
    if (copy == nullptr) return no_copy();
    AdminStatus status = zt_add_array(&r.current->suffixes, copy);
    if (status != ADMIN_SUCCESS) {
        std::free(copy);
        zt::dprintf("read_ds_config(): [line %d] failed to add \"suffix\" into the \"be\" array.  (%s)", r.lineno,
                    zt_err2str(status));
        return ADMIN_ERR_INTERNAL;
    }
    return ADMIN_SUCCESS;
}

AdminStatus on_rootdn(Reader &r, int argc, char **argv) {
    if (argc < 2) {
        zt::dprintf("read_ds_config(): [line %d] missing dn in \"rootdn <dn>\" line in %s file.", r.lineno,
                    r.path.c_str());
        return ADMIN_ERR_INTERNAL;
    }
    if (r.current == nullptr) {
        zt::dprintf("read_ds_config(): [line %d] rootdn line must appear inside a database definition in %s file. "
                    "(ignored)",
                    r.lineno, r.path.c_str());
        return ADMIN_SUCCESS;
    }
    char *copy = strdup(argv[1]);
    if (copy == nullptr) return no_copy();
    std::free(r.current->rootdn);
    r.current->rootdn = copy;
    return ADMIN_SUCCESS;
}

AdminStatus on_replica(Reader &r, int argc, char **argv) {
    if (argc < 2) {
        zt::dprintf("read_ds_config(): [line %d] missing host in \"replica <host[:port]>\" line in%s file.", r.lineno,
                    r.path.c_str());
        return ADMIN_ERR_INTERNAL;
    }
    if (r.current == nullptr) {
        zt::dprintf("read_ds_config(): [line %d] replica line must appear inside a database definition in %s file. "
                    "(ignored)",
                    r.lineno, r.path.c_str());
        return ADMIN_SUCCESS;
    }
    for (int i = 1; i < argc; ++i) {
        if (!has_prefix(argv[i], "host=")) continue;
        char *copy = strdup(argv[i] + 5);
        if (copy == nullptr) return no_copy();
        AdminStatus status = zt_add_array(&r.current->replicas, copy);
        if (status != ADMIN_SUCCESS) {
            std::free(copy);
            zt::dprintf("read_ds_config(): [line %d] failed to add \"%s\" into the \"be\" array.  (%s)", r.lineno,
                        argv[0], zt_err2str(status));
            return ADMIN_ERR_INTERNAL;
        }
        return ADMIN_SUCCESS;
    }
    zt::dprintf("read_ds_config(): [line %d] missing host in \"replica\" line in %s file. (ignored)", r.lineno,
                r.path.c_str());
    return ADMIN_SUCCESS;
}

// A line that cannot be stored is dropped: the result is not examined.
AdminStatus on_tree(Reader &r, int argc, char **argv, bool is_slave) {
    if (r.current == nullptr) {
        zt::dprintf("read_ds_config(): [line %d] %s line must appear inside a database definition in %s file. "
                    "(ignored)",
                    r.lineno, is_slave ? "slave" : "master", r.path.c_str());
        return ADMIN_SUCCESS;
    }
    configure_treeS(r.current, argc, argv, is_slave ? 1 : 0);
    return ADMIN_SUCCESS;
}

// Applies one logical line; unknown directives, "include" and
// "pull_replica" are ignored.
AdminStatus apply_line(Reader &r, char *line) {
    if (line[0] == '\0' || line[0] == '#') return ADMIN_SUCCESS;
    char *argv[kMaxTokens + 1];
    int argc = 0;
    fp_parse_line(line, &argc, argv, kMaxTokens);
    if (argc == 0) return ADMIN_SUCCESS;
    const char *directive = argv[0];
    if (strcasecmp(directive, "database") == 0) return on_database(r, argc, argv);
    if (strcasecmp(directive, "suffix") == 0) return on_suffix(r, argc, argv);
    if (strcasecmp(directive, "rootdn") == 0) return on_rootdn(r, argc, argv);
    if (strcasecmp(directive, "replica") == 0 || strcasecmp(directive, "push_replica") == 0)
        return on_replica(r, argc, argv);
    if (strcasecmp(directive, "slave") == 0) return on_tree(r, argc, argv, true);
    if (strcasecmp(directive, "master") == 0) return on_tree(r, argc, argv, false);
    return ADMIN_SUCCESS;
}

}  // namespace

extern "C" {

// Reads the data-store configuration into `list` (passed empty).  Returns
// 0, or a failure after which `list` is empty again; when the file cannot
// be opened `list` is left alone.
AdminStatus read_ds_config(BackendList *list) {
    Reader reader{list, zt::fixed_path(zt::kDsConfigPath)};
    // It names the primary that root binds to with its password.
    zt::FilePtr file = geteuid() == 0 ? zt::open_trusted_config_file(reader.path, "read_ds_config", "config file")
                                      : zt::open_config_file(reader.path);
    if (!file) {
        int err = errno;
        zt::dprintf("read_ds_config(): could not open config file \"%s\" (%s)", reader.path.c_str(),
                    std::strerror(err));
        return zt_errno2zterr(err, ADMIN_ERR_FILE_ACCESS);
    }
    char buffer[kBufferSize] = "";
    char line[kLineSize];
    for (;;) {
        int got = fp_getline(file.get(), &reader.lineno, buffer, kBufferSize, line, kLineSize);
        if (got == ADMIN_ERR_NO_MORE_DATA) return ADMIN_SUCCESS;
        AdminStatus status = got == 0 ? apply_line(reader, line) : ADMIN_ERR_INTERNAL;
        if (status != ADMIN_SUCCESS) {
            file.reset();
            free_backend(list);
            return status;
        }
    }
}

}  // extern "C"
