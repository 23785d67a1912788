/* SPDX-License-Identifier: GPL-3.0-or-later */
// records_common.h - what the record areas (users, tokens, translations,
// iterators, X configuration, desktops) share: the directory layout, DN and
// filter building with their length limits, LDAP modification lists, and
// reading values out of search entries.
#ifndef ZT_RECORDS_COMMON_H
#define ZT_RECORDS_COMMON_H

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin_private.h"

namespace zt {

// Containers directly below the configured subtree root.
inline constexpr const char *kUsersContainer = "ztName=users";
inline constexpr const char *kLogicalTokensContainer = "ztName=logicalTokens";
inline constexpr const char *kRawTokensContainer = "ztName=rawTokens";
inline constexpr const char *kDesktopsContainer = "ztName=desktops";

// DNs and search bases live in 500-byte buffers, single-entry filters in
// 128-byte buffers: a text of that many characters or more does not fit.
inline constexpr size_t kDnBufferSize = 500;
inline constexpr size_t kFilterBufferSize = 128;

inline bool fits(const std::string &text, size_t buffer_size) { return text.size() < buffer_size; }

// Escapes a value for use inside an LDAP filter (RFC 4515: '*', '(', ')',
// '\' and NUL become \2a, \28, \29, \5c, \00), so that an ID or name can
// never change what a filter selects.
std::string filter_escape(std::string_view value);

// Escapes a value for use as an attribute value in a DN (RFC 4514): ',',
// '+', '"', '\', '<', '>', ';' and '=' get a backslash, as do a leading
// '#' or blank and a trailing blank; NUL, the other C0 controls and DEL
// become hex pairs (\00, \1b, \7f).  The result always parses as exactly
// the one value it came from, so that an ID can never add or move an RDN.
std::string dn_escape(std::string_view value);

// A DN built from fixed text and values, each value passed through
// dn_escape.  Its limit counts the text as written from the raw values,
// before escaping, as the filters' limits do: an ID is accepted or refused
// alike with or without characters that need escaping.
class Dn {
public:
    Dn &text(std::string_view fixed);
    Dn &value(std::string_view raw);
    const std::string &str() const { return escaped_; }
    const char *c_str() const { return escaped_.c_str(); }
    // Whether the DN fits its 500-byte buffer.
    bool fits() const { return written_ < kDnBufferSize; }

private:
    std::string escaped_;
    size_t written_ = 0;
};

// A DN split after its first RDN: that RDN as a search filter (each value
// as the DN means it, escaped for a filter) and the rest of the DN as the
// search base, which together ask whether the entry exists.  Nothing when
// the DN has no "," between RDNs (an escaped "," is part of a value).
struct FirstRdn {
    std::string filter;
    std::string base;
};
std::optional<FirstRdn> split_first_rdn(std::string_view dn);

// "ztID=ID, CONTAINER, ROOT" and "CONTAINER, ROOT" (the blank after each
// comma is part of the form the record areas use).  The root comes from
// the configuration and is a DN already.
Dn entry_dn(std::string_view id, std::string_view container, std::string_view root);
std::string search_base(std::string_view container, std::string_view root);
// The same without blanks, as the X configuration and group code write them.
Dn entry_dn_compact(std::string_view id, std::string_view container, std::string_view root);
std::string search_base_compact(std::string_view container, std::string_view root);

// Whether the directory stores `value` in an attribute of the schema's
// IA5 String syntax (ASCII only; the empty value too) or Directory String
// syntax (well-formed UTF-8 as RFC 3629 defines it, never empty).  Absent
// values are left out of writes and always fit.
bool fits_ia5_string(const char *value);
bool fits_directory_string(const char *value);

// Builds the LDAPMod array of one add or modify.  Values are copied and
// owned here; mods() stays valid while the list lives.
class ModList {
public:
    ModList() = default;
    // The LDAPMod records point into the list's own storage: no copies.
    ModList(const ModList &) = delete;
    ModList &operator=(const ModList &) = delete;
    ModList(ModList &&) = default;
    ModList &operator=(ModList &&) = default;

    // Add operation: one attribute with one value; absent (null) is left out.
    void add(const char *attr, const char *value);
    void add(const char *attr, int value);
    // Add operation: all values of a null-terminated array; absent or empty
    // arrays are left out.
    void add_all(const char *attr, char *const *values);
    // Replace operation: one value, or none to remove the attribute.
    void replace(const char *attr, const char *value);
    void replace(const char *attr, int value);
    // Modify adding or deleting single values of a multi-valued attribute.
    void add_value(const char *attr, const char *value);
    void delete_value(const char *attr, const char *value);
    // Any operation with the given values (an empty list is allowed).
    void push(int op, const char *attr, const std::vector<std::string> &values);

    bool empty() const { return mods_.empty(); }
    LDAPMod **mods();

private:
    struct Mod {
        LDAPMod mod{};
        std::string type;
        std::vector<std::string> values;
        std::vector<char *> pointers;
    };
    std::deque<Mod> mods_;
    std::vector<LDAPMod *> array_;
};

// The first value of `attr` in `entry` as a new malloc'd string, or null.
char *first_value_dup(LDAP *session, LDAPMessage *entry, const char *attr);
// The first value as text, or nothing when the attribute is absent.
std::optional<std::string> first_value(LDAP *session, LDAPMessage *entry, const char *attr);
// atoi of the first value; 0 when absent.
int first_value_int(LDAP *session, LDAPMessage *entry, const char *attr);
// Every value in server order; none when the attribute is absent.
std::vector<std::string> all_values(LDAP *session, LDAPMessage *entry, const char *attr);
// Every value as a new null-terminated malloc'd array in server order, or
// null when the attribute is absent.
char **all_values_dup(LDAP *session, LDAPMessage *entry, const char *attr);

// "(nil)" for an absent string, as the record dumps print it.
inline const char *or_nil(const char *s) { return s != nullptr ? s : "(nil)"; }

// Prints an ID list the way the record dumps do: "LABEL= first" then one
// continuation line per further ID, or "LABEL= (nil)" when absent.
void print_id_list(FILE *stream, const char *label, char *const *ids);

// Frees a null-terminated malloc'd string array (null accepted).
void free_string_list(char **list);
// A malloc'd null-terminated array holding copies of `values`.
char **dup_string_list(const std::vector<std::string> &values);

}  // namespace zt

#endif  // ZT_RECORDS_COMMON_H
