// SPDX-License-Identifier: GPL-3.0-or-later
// records_common.cc - DN and filter building, modification lists and entry
// value access shared by the record areas.
#include "records_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zt {

namespace {

void append_hex_pair(std::string &out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '\\';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

}  // namespace

Dn &Dn::text(std::string_view fixed) {
    escaped_.append(fixed);
    written_ += fixed.size();
    return *this;
}

Dn &Dn::value(std::string_view raw) {
    escaped_.append(dn_escape(raw));
    written_ += raw.size();
    return *this;
}

Dn entry_dn(std::string_view id, std::string_view container, std::string_view root) {
    return Dn().text("ztID=").value(id).text(", ").text(container).text(", ").text(root);
}

std::string search_base(std::string_view container, std::string_view root) {
    std::string base(container);
    base.append(", ").append(root);
    return base;
}

Dn entry_dn_compact(std::string_view id, std::string_view container, std::string_view root) {
    return Dn().text("ztID=").value(id).text(",").text(container).text(",").text(root);
}

std::string search_base_compact(std::string_view container, std::string_view root) {
    std::string base(container);
    base.append(",").append(root);
    return base;
}

std::string filter_escape(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0')
            append_hex_pair(escaped, static_cast<unsigned char>(c));
        else
            escaped += c;
    }
    return escaped;
}

std::string dn_escape(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        auto byte = static_cast<unsigned char>(value[i]);
        bool edge_blank = byte == ' ' && (i == 0 || i + 1 == value.size());
        if (byte < 0x20 || byte == 0x7f) {
            append_hex_pair(escaped, byte);
            continue;
        }
        if (std::strchr(",+\"\\<>;=", byte) != nullptr || edge_blank || (byte == '#' && i == 0)) escaped += '\\';
        escaped += static_cast<char>(byte);
    }
    return escaped;
}

namespace {

// Where the first RDN of `dn` ends: its first "," outside a quoted part
// and not escaped by a backslash; npos when there is none.
size_t first_rdn_end(std::string_view dn) {
    bool quoted = false;
    for (size_t i = 0; i < dn.size(); ++i) {
        if (dn[i] == '\\')
            ++i;
        else if (dn[i] == '"')
            quoted = !quoted;
        else if (dn[i] == ',' && !quoted)
            return i;
    }
    return std::string_view::npos;
}

// The RDN as a filter with its values filter-escaped; the RDN text itself
// when libldap cannot read it.
std::string rdn_filter(std::string_view rdn) {
    berval text{rdn.size(), const_cast<char *>(rdn.data())};
    LDAPRDN parsed = nullptr;
    char *end = nullptr;
    if (ldap_bv2rdn(&text, &parsed, &end, LDAP_DN_FORMAT_LDAP) != LDAP_SUCCESS) return std::string(rdn);
    std::string filter;
    int count = 0;
    for (LDAPAVA **ava = parsed; *ava != nullptr; ++ava, ++count) {
        std::string_view type((*ava)->la_attr.bv_val, (*ava)->la_attr.bv_len);
        std::string_view value((*ava)->la_value.bv_val, (*ava)->la_value.bv_len);
        filter.append("(").append(type).append("=").append(filter_escape(value)).append(")");
    }
    ldap_rdnfree(parsed);
    return count == 1 ? filter : "(&" + filter + ")";
}

}  // namespace

std::optional<FirstRdn> split_first_rdn(std::string_view dn) {
    size_t comma = first_rdn_end(dn);
    if (comma == std::string_view::npos) return std::nullopt;
    return FirstRdn{rdn_filter(dn.substr(0, comma)), std::string(dn.substr(comma + 1))};
}

void ModList::push(int op, const char *attr, const std::vector<std::string> &values) {
    Mod &m = mods_.emplace_back();
    m.type = attr;
    m.values = values;
    for (std::string &v : m.values) m.pointers.push_back(v.data());
    m.pointers.push_back(nullptr);
    m.mod.mod_op = op;
    m.mod.mod_type = m.type.data();
    m.mod.mod_values = m.pointers.data();
}

bool fits_ia5_string(const char *value) {
    if (value == nullptr) return true;
    for (const char *c = value; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) > 0x7f) return false;
    }
    return true;
}

bool fits_directory_string(const char *value) {
    if (value == nullptr) return true;
    if (*value == '\0') return false;
    for (std::string_view rest(value); !rest.empty();) {
        size_t length = utf8_sequence_length(rest);
        if (length == 0) return false;
        rest.remove_prefix(length);
    }
    return true;
}

void ModList::add(const char *attr, const char *value) {
    if (value != nullptr) push(LDAP_MOD_ADD, attr, {value});
}

void ModList::add(const char *attr, int value) { push(LDAP_MOD_ADD, attr, {std::to_string(value)}); }

void ModList::add_all(const char *attr, char *const *values) {
    if (values == nullptr || values[0] == nullptr) return;
    std::vector<std::string> list;
    for (char *const *v = values; *v != nullptr; ++v) list.emplace_back(*v);
    push(LDAP_MOD_ADD, attr, list);
}

void ModList::replace(const char *attr, const char *value) {
    push(LDAP_MOD_REPLACE, attr, value != nullptr ? std::vector<std::string>{value} : std::vector<std::string>{});
}

void ModList::replace(const char *attr, int value) { push(LDAP_MOD_REPLACE, attr, {std::to_string(value)}); }

void ModList::add_value(const char *attr, const char *value) { push(LDAP_MOD_ADD, attr, {value}); }

void ModList::delete_value(const char *attr, const char *value) { push(LDAP_MOD_DELETE, attr, {value}); }

LDAPMod **ModList::mods() {
    array_.clear();
    for (Mod &m : mods_) array_.push_back(&m.mod);
    array_.push_back(nullptr);
    return array_.data();
}

namespace {

BervalsPtr values_of(LDAP *session, LDAPMessage *entry, const char *attr) {
    return BervalsPtr(ldap_get_values_len(session, entry, attr));
}

std::string text_of(const berval *value) { return std::string(value->bv_val, value->bv_len); }

}  // namespace

std::optional<std::string> first_value(LDAP *session, LDAPMessage *entry, const char *attr) {
    BervalsPtr values = values_of(session, entry, attr);
    if (!values || values.get()[0] == nullptr) return std::nullopt;
    return text_of(values.get()[0]);
}

char *first_value_dup(LDAP *session, LDAPMessage *entry, const char *attr) {
    std::optional<std::string> value = first_value(session, entry, attr);
    return value ? dup_c(*value) : nullptr;
}

int first_value_int(LDAP *session, LDAPMessage *entry, const char *attr) {
    std::optional<std::string> value = first_value(session, entry, attr);
    return value ? std::atoi(value->c_str()) : 0;
}

namespace {

std::vector<std::string> texts_of(berval **values) {
    std::vector<std::string> list;
    for (berval **v = values; v != nullptr && *v != nullptr; ++v) list.push_back(text_of(*v));
    return list;
}

}  // namespace

std::vector<std::string> all_values(LDAP *session, LDAPMessage *entry, const char *attr) {
    return texts_of(values_of(session, entry, attr).get());
}

char **all_values_dup(LDAP *session, LDAPMessage *entry, const char *attr) {
    BervalsPtr values = values_of(session, entry, attr);
    return values ? dup_string_list(texts_of(values.get())) : nullptr;
}

void print_id_list(FILE *stream, const char *label, char *const *ids) {
    if (ids == nullptr || ids[0] == nullptr) {
        std::fprintf(stream, "%s= (nil)\n", label);
        return;
    }
    std::fprintf(stream, "%s= %s\n", label, ids[0]);
    for (char *const *id = ids + 1; *id != nullptr; ++id) std::fprintf(stream, "                     = %s\n", *id);
}

void free_string_list(char **list) {
    if (list == nullptr) return;
    for (char **s = list; *s != nullptr; ++s) std::free(*s);
    std::free(list);
}

char **dup_string_list(const std::vector<std::string> &values) {
    auto **list = static_cast<char **>(safe_calloc(static_cast<int>(values.size()) + 1, sizeof(char *)));
    for (size_t i = 0; i < values.size(); ++i) list[i] = dup_c(values[i]);
    return list;
}

}  // namespace zt
