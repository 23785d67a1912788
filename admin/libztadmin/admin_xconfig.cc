// SPDX-License-Identifier: GPL-3.0-or-later
// admin_xconfig.cc - a token's own X display configuration, stored on the
// token's directory entry through the auxiliary class ztXconfig.
#include <strings.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "admin_private.h"
#include "records_common.h"

namespace zt {
namespace {

constexpr const char *kResolution = "ztScreenResolution";
constexpr const char *kRefresh = "ztScreenRefresh";
constexpr const char *kEnablePc = "ztScreenEnablePC";
constexpr const char *kDefaultPc = "ztScreenDefaultPC";
constexpr const char *kDimRows = "ztScreenDimRows";
constexpr const char *kDimColumns = "ztScreenDimColumns";
constexpr const char *kOrdering = "ztScreenOrdering";
constexpr const char *kAutosizing = "ztScreenEnableAutoSizing";
constexpr const char *kXinerama = "ztScreenEnableXinerama";
constexpr const char *kMultiscreen = "ztScreenEnableMultiscreen";
constexpr const char *kX11Options = "ztScreenX11Options";
constexpr const char *kXconfigClass = "ztXconfig";

// Kinds of token IDs (isValidToken).
constexpr int kInvalidToken = 0;
constexpr int kLogicalToken = 1;

// One known element of the X11 options value: its name and the converter
// between the text and the record field (read mode: *value null on entry).
struct X11Element {
    const char *name;
    int (*convert)(Xconfig *, char **);
};

const X11Element kX11Elements[] = {
    {"screenEnableXKB", convXKB},
};

// The container of a token of the given kind and the ID its entry is
// named by: logical tokens by their ID, raw tokens without "pseudo.".
const char *container_of(int kind) { return kind == kLogicalToken ? kLogicalTokensContainer : kRawTokensContainer; }
const char *entry_id_of(const char *id, int kind) { return kind == kLogicalToken ? id : getTokenId(id); }

// rows x columns when it is positive and fits an int, else 0.
int ordering_count(int rows, int columns) {
    int64_t product = static_cast<int64_t>(rows) * columns;
    return product > 0 && product <= INT_MAX ? static_cast<int>(product) : 0;
}

// The first `count` values of `ordering` as "%d" joined by ",".
std::string ordering_text(const int *ordering, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += ',';
        text += std::to_string(ordering[i]);
    }
    return text;
}

// The modifications of one _modXconf, in the stored order; `op` is
// LDAP_MOD_ADD or LDAP_MOD_DELETE; `csv` is the X11 options value or null.
// Deletes remove whole attributes, so a value stored in another spelling
// ("060", "ON") goes as well.
void xconfig_mods(ModList &mods, int op, const Xconfig *x, const char *csv) {
    auto put = [&](const char *attr, const char *value) {
        if (value == nullptr) return;
        mods.push(op, attr, op == LDAP_MOD_DELETE ? std::vector<std::string>{} : std::vector<std::string>{value});
    };
    put(kResolution, x->resolution);
    if (x->refresh != -1) put(kRefresh, std::to_string(x->refresh).c_str());
    put(kEnablePc, x->enable_pc);
    put(kDefaultPc, x->default_pc);
    mods.push(op, "objectClass", {kXconfigClass});
    if (x->dim_rows != 0) put(kDimRows, std::to_string(x->dim_rows).c_str());
    if (x->dim_columns != 0) put(kDimColumns, std::to_string(x->dim_columns).c_str());
    int count = ordering_count(x->dim_rows, x->dim_columns);
    if (count > 0 && x->ordering != nullptr) put(kOrdering, ordering_text(x->ordering, count).c_str());
    put(kAutosizing, x->enable_autosizing);
    put(kXinerama, x->enable_xinerama);
    put(kMultiscreen, x->enable_multiscreen);
    put(kX11Options, csv);
}

// Copies the first value of `attr` into `*field` when the entry has one.
void fill_text(LDAP *session, LDAPMessage *entry, const char *attr, char **field) {
    if (char *value = first_value_dup(session, entry, attr)) {
        std::free(*field);
        *field = value;
    }
}

void fill_int(LDAP *session, LDAPMessage *entry, const char *attr, int *field) {
    if (auto value = first_value(session, entry, attr)) *field = std::atoi(value->c_str());
}

// The screen geometry of the entry: dimensions, and the ordering when the
// stored list holds enough numbers for them.
void fill_geometry(LDAP *session, LDAPMessage *entry, Xconfig *x) {
    fill_int(session, entry, kDimRows, &x->dim_rows);
    fill_int(session, entry, kDimColumns, &x->dim_columns);
    if (static_cast<int64_t>(x->dim_rows) * x->dim_columns <= 0) {
        x->dim_rows = 0;
        x->dim_columns = 0;
        return;
    }
    int count = ordering_count(x->dim_rows, x->dim_columns);
    auto text = first_value(session, entry, kOrdering);
    if (count > 0 && text) parse_intList(text->c_str(), &x->ordering, count);
}

// Which of the configuration attributes the entry at `dn` holds; the
// search's failure leaves the list empty.
std::vector<std::string> stored_xconfig_attributes(LDAP *session, const std::string &dn) {
    static const char *const kAll[] = {kResolution, kRefresh,    kEnablePc,  kDefaultPc,   kDimRows,    kDimColumns,
                                       kOrdering,   kAutosizing, kXinerama,  kMultiscreen, kX11Options, nullptr};
    std::vector<std::string> present;
    LdapMsgPtr result(search_for_entries(session, "objectclass=*", dn.c_str(), const_cast<char **>(kAll), 1,
                                         SEARCH_SINGLE));
    LDAPMessage *entry = result ? ldap_first_entry(session, result.get()) : nullptr;
    if (entry == nullptr) return present;
    BerElement *raw_ber = nullptr;
    for (char *name = ldap_first_attribute(session, entry, &raw_ber); name != nullptr;
         name = ldap_next_attribute(session, entry, raw_ber)) {
        present.emplace_back(name);
        ldap_memfree(name);
    }
    BerPtr ber(raw_ber);
    return present;
}

// Whether the token entry a configuration belongs to exists: 0 yes, -4
// no, or the status of the failed question.
AdminStatus token_entry_status(AdminConfig *conn, const char *token_id, int kind) {
    const char *object_class = kind == kLogicalToken ? "ztLogicalToken" : "ztRawToken";
    const char *id = entry_id_of(token_id, kind);
    std::string filter = std::string("(&(ztID=") + id + ")(objectclass=" + object_class + "))";
    std::string base = search_base_compact(container_of(kind), conn->subtree);
    if (!fits(filter, kDnBufferSize) || !fits(base, kDnBufferSize)) return ADMIN_ERR_NO_BUFFER;
    filter = std::string("(&(ztID=") + filter_escape(id) + ")(objectclass=" + object_class + "))";
    switch (entry_exists(conn->session, filter.c_str(), base.c_str())) {
        case 1: return ADMIN_SUCCESS;
        case 0: return ADMIN_ERR_NOT_FOUND;
        default: return ADMIN_ERR_INTERNAL;
    }
}

// Creates the raw-token entry a configuration is stored on, named as the
// configuration will address it (a pseudo token under the bare ID).
AdminStatus create_raw_token_for(AdminConfig *conn, const char *token_id) {
    RawToken rt{};
    rt.id = const_cast<char *>(getTokenId(token_id));
    rt.token_type = const_cast<char *>("user");
    rt.token_state = const_cast<char *>("unknown");
    rt.enabled = const_cast<char *>("allowed");
    return add_raw_token(conn, &rt) == 0 ? ADMIN_SUCCESS : ADMIN_ERR_INTERNAL;
}

void print_text(FILE *stream, const char *format, const char *value) {
    std::fprintf(stream, format, value != nullptr ? value : "<not defined>");
}

}  // namespace
}  // namespace zt

using namespace zt;

extern "C" {

int isValidToken(const char *id) {
    if (id == nullptr || id[0] == '.') return kInvalidToken;
    const char *period = std::strchr(id, '.');
    if (period == nullptr || period[1] == '\0') return kInvalidToken;
    if (std::strlen(id) >= 6 && strncasecmp(id, "user.", 5) == 0) return kLogicalToken;
    return 2;
}

const char *getTokenId(const char *id) {
    if (id != nullptr && strncasecmp(id, "pseudo", 6) == 0 && id[6] == '.') return id + 7;
    return id;
}

char *constructDN(AdminConfig *conn, const char *token_id) {
    int kind = isValidToken(token_id);
    if (conn == nullptr || conn->subtree == nullptr || kind == kInvalidToken) return nullptr;
    Dn dn = entry_dn_compact(entry_id_of(token_id, kind), container_of(kind), conn->subtree);
    return dn.fits() ? dup_c(dn.str()) : nullptr;
}

Xconfig *allocate_xconfig(void) {
    auto *x = static_cast<Xconfig *>(safe_malloc(sizeof(Xconfig)));
    x->refresh = -1;
    return x;
}

void zt_freeXconf(Xconfig *x) {
    if (x == nullptr) return;
    for (char *field : {x->token_id, x->resolution, x->enable_pc, x->default_pc, x->enable_autosizing,
                        x->enable_multiscreen, x->enable_xinerama, x->enable_xkb}) {
        std::free(field);
    }
    std::free(x->ordering);
    std::free(x);
}

char *makeToggle(const char *text) {
    if (text == nullptr) return nullptr;
    if (strcasecmp(text, "yes") == 0 || strcasecmp(text, "on") == 0) return dup_c("yes");
    if (strcasecmp(text, "no") == 0 || strcasecmp(text, "off") == 0) return dup_c("no");
    return nullptr;
}

int convXKB(Xconfig *x, char **value_ref) {
    if (x == nullptr || value_ref == nullptr) return -1;
    if (*value_ref != nullptr) {
        char *toggle = makeToggle(*value_ref);
        if (toggle == nullptr) return -1;
        std::free(x->enable_xkb);
        x->enable_xkb = toggle;
        return 0;
    }
    if (x->enable_xkb == nullptr) return -1;
    *value_ref = dup_c(x->enable_xkb);
    return 0;
}

void parse_intList(const char *text, int **out, int count) {
    if (out == nullptr) return;
    *out = nullptr;
    if (text == nullptr || *text == '\0' || count <= 0) return;
    std::vector<int> values;
    std::string_view rest(text);
    while (static_cast<int>(values.size()) < count) {
        size_t comma = rest.find(',');
        std::string piece(rest.substr(0, comma));
        CString trimmed(strip_leading_and_trailing_whitespace(piece.c_str()));
        values.push_back(trimmed ? std::atoi(trimmed.get()) : 0);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (static_cast<int>(values.size()) != count) return;
    auto *array = static_cast<int *>(std::malloc(sizeof(int) * values.size()));
    if (array == nullptr) return;
    std::memcpy(array, values.data(), sizeof(int) * values.size());
    *out = array;
}

int constructCSV(Xconfig *x, char **out) {
    if (x == nullptr || out == nullptr) return -1;
    std::string text;
    for (const X11Element &element : kX11Elements) {
        char *raw = nullptr;
        if (element.convert(x, &raw) != 0 || raw == nullptr) return -1;
        CString value(raw);
        if (std::strchr(value.get(), ',') != nullptr) {
            value.reset(escape(value.get(), ','));
            if (!value) return -1;
        }
        if (!text.empty()) text += ',';
        text.append(element.name).append("=").append(value.get());
    }
    *out = dup_c(text);
    return 0;
}

int deconstructCSV(Xconfig *x, const char *text) {
    if (x == nullptr || text == nullptr) return -1;
    char **items = parse_args(text, ',');
    bool failed = false;
    int result = -1;
    for (char **item = items; *item != nullptr; ++item) {
        char *name = nullptr;
        char *value = nullptr;
        if (parse_key_and_value(*item, &name, &value) == 0) continue;
        CString name_owner(name), value_owner(value);
        if (name == nullptr || value == nullptr) {
            failed = true;
            break;
        }
        const X11Element *known = nullptr;
        for (const X11Element &element : kX11Elements) {
            if (std::strcmp(element.name, name) == 0) known = &element;
        }
        if (known == nullptr || (result = known->convert(x, &value)) != 0) failed = true;
    }
    free_args(items);
    return failed ? -1 : result;
}

Xconfig *fill_Xconfig_struct(AdminConfig *conn, LDAPMessage *entry) {
    if (conn == nullptr || entry == nullptr) return nullptr;
    LDAP *session = conn->session;
    auto id = first_value(session, entry, "ztID");
    if (!id) return nullptr;
    Xconfig *x = allocate_xconfig();
    // A terminal's pseudo token keeps its configuration under the bare
    // terminal ID, which is not a token ID of its own.
    x->token_id = dup_c(isValidToken(id->c_str()) == kInvalidToken ? "pseudo." + *id : *id);
    fill_text(session, entry, kResolution, &x->resolution);
    fill_text(session, entry, kEnablePc, &x->enable_pc);
    fill_text(session, entry, kDefaultPc, &x->default_pc);
    fill_text(session, entry, kAutosizing, &x->enable_autosizing);
    fill_text(session, entry, kXinerama, &x->enable_xinerama);
    fill_text(session, entry, kMultiscreen, &x->enable_multiscreen);
    fill_int(session, entry, kRefresh, &x->refresh);
    fill_geometry(session, entry, x);
    auto options = first_value(session, entry, kX11Options);
    if (options && deconstructCSV(x, options->c_str()) == -1) {
        zt_freeXconf(x);
        return nullptr;
    }
    return x;
}

AdminStatus zt_getXconfByTokenID(AdminConfig *conn, const char *token_id, Xconfig **out) {
    if (out != nullptr) *out = nullptr;
    int kind = isValidToken(token_id);
    if (conn == nullptr || conn->subtree == nullptr || out == nullptr || kind == kInvalidToken) {
        return ADMIN_ERR_INVALID_ARGS;
    }
    std::string filter = "(&(ztID=" + filter_escape(entry_id_of(token_id, kind)) + ")(objectclass=ztXconfig))";
    std::string base = search_base_compact(container_of(kind), conn->subtree);
    LdapMsgPtr result(search_for_entries(conn->session, filter.c_str(), base.c_str(), nullptr, 0, SEARCH_SINGLE));
    LDAPMessage *entry = result ? ldap_first_entry(conn->session, result.get()) : nullptr;
    if (entry == nullptr) return ADMIN_ERR_NOT_FOUND;
    *out = fill_Xconfig_struct(conn, entry);
    return *out != nullptr ? ADMIN_SUCCESS : ADMIN_ERR_NOT_FOUND;
}

AdminStatus _modXconf(AdminConfig *conn, Xconfig *x, int operation) {
    if (conn == nullptr || x == nullptr || (operation != 0 && operation != 1)) return ADMIN_ERR_INVALID_ARGS;
    // Without the switch there is nothing to say in the options value, and
    // the rest of the configuration is still worth storing.
    CString csv;
    if (x->enable_xkb != nullptr) {
        char *raw_csv = nullptr;
        if (constructCSV(x, &raw_csv) != 0) return ADMIN_ERR_INTERNAL;
        csv.reset(raw_csv);
    }
    if (isValidToken(x->token_id) == kInvalidToken) return ADMIN_ERR_INVALID_ARGS;
    CString dn(constructDN(conn, x->token_id));
    if (!dn) {
        dprintf("_modXconf(): DN too long for token (%s)", x->token_id);
        return ADMIN_ERR_NO_BUFFER;
    }
    ModList mods;
    xconfig_mods(mods, operation == 0 ? LDAP_MOD_ADD : LDAP_MOD_DELETE, x, csv.get());
    return zt_modifyDsEntry(conn, dn.get(), mods.mods(), 0);
}

AdminStatus zt_delXconfByTokenID(AdminConfig *conn, const char *token_id) {
    if (conn == nullptr || isValidToken(token_id) == kInvalidToken) return ADMIN_ERR_INVALID_ARGS;
    Xconfig *raw = nullptr;
    AdminStatus status = zt_getXconfByTokenID(conn, token_id, &raw);
    if (status != ADMIN_SUCCESS) return status;
    std::unique_ptr<Xconfig, decltype(&zt_freeXconf)> x(raw, zt_freeXconf);
    CString dn(constructDN(conn, token_id));
    if (!dn) return ADMIN_ERR_NO_BUFFER;
    // Remove what the entry holds rather than what the record could show:
    // dimensions without a usable ordering, or an ordering longer than the
    // dimensions, would otherwise outlive the object class that allows them.
    ModList mods;
    for (const std::string &attr : stored_xconfig_attributes(conn->session, dn.get())) {
        mods.push(LDAP_MOD_DELETE, attr.c_str(), {});
    }
    mods.push(LDAP_MOD_DELETE, "objectClass", {kXconfigClass});
    return zt_modifyDsEntry(conn, dn.get(), mods.mods(), 0);
}

AdminStatus zt_addXconf(AdminConfig *conn, Xconfig *x, int replace) {
    int kind = x != nullptr ? isValidToken(x->token_id) : kInvalidToken;
    if (conn == nullptr || conn->subtree == nullptr || kind == kInvalidToken) return ADMIN_ERR_INVALID_ARGS;
    Xconfig *current = nullptr;
    AdminStatus status = zt_getXconfByTokenID(conn, x->token_id, &current);
    zt_freeXconf(current);
    if (status == ADMIN_SUCCESS) {
        if (replace != 1) return ADMIN_ERR_EXISTS;
        if (zt_delXconfByTokenID(conn, x->token_id) != ADMIN_SUCCESS) return ADMIN_ERR_INTERNAL;
        return _modXconf(conn, x, 0);
    }
    if (status != ADMIN_ERR_NOT_FOUND) return status;
    status = token_entry_status(conn, x->token_id, kind);
    if (status == ADMIN_ERR_NOT_FOUND) {
        if (kind == kLogicalToken) return ADMIN_ERR_TOKEN_NOT_FOUND;
        if (create_raw_token_for(conn, x->token_id) != ADMIN_SUCCESS) return ADMIN_ERR_INTERNAL;
    } else if (status != ADMIN_SUCCESS) {
        return status;
    }
    return _modXconf(conn, x, 0);
}

void zt_printXconfig(FILE *stream, const Xconfig *x) {
    if (x == nullptr) return;
    if (stream == nullptr) stream = stdout;
    print_text(stream, "\tLogical Token: %s\n", x->token_id);
    print_text(stream, "\tScreen Resolution: %s\n", x->resolution);
    std::fprintf(stream, "\tScreen Refresh: %d\n", x->refresh);
    print_text(stream, "\tScreen EnablePC: %s\n", x->enable_pc);
    print_text(stream, "\tScreen DefaultPC: %s\n", x->default_pc);
    int count = ordering_count(x->dim_rows, x->dim_columns);
    if (count > 0 && x->ordering != nullptr) {
        std::fprintf(stream, "\tScreen Ordering: %d", x->ordering[0]);
        for (int i = 1; i < count; ++i) std::fprintf(stream, ", %d", x->ordering[i]);
        std::fprintf(stream, "\n");
    } else {
        std::fprintf(stream, "\tScreen Ordering: <not set>\n");
    }
    std::fprintf(stream, "\tScreen Ordering Dimension: %d x %d\n", x->dim_rows, x->dim_columns);
    print_text(stream, "\tScreen EnableAutoSizing: %s\n", x->enable_autosizing);
    print_text(stream, "\tScreen EnableMultiscreen: %s\n", x->enable_multiscreen);
    print_text(stream, "\tScreen EnableXinerama: %s\n", x->enable_xinerama);
}

}  // extern "C"
